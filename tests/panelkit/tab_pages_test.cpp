#include "tab_pages.h"

#include <gtest/gtest.h>

namespace {

using panelkit::pageVisibility;

// The five page controls in the order first, second, third, IP address, picture.
std::string row(int tab) {
  const auto visibility = pageVisibility(tab);
  if (!visibility) return "none";
  std::string shown;
  for (bool on : {visibility->firstPage, visibility->secondPage, visibility->thirdPage,
                  visibility->ipAddress, visibility->bitmap}) {
    shown += on ? '1' : '0';
  }
  return shown;
}

TEST(TabPages, FirstTabShowsItsLabelAndThePicture) {
  EXPECT_EQ(row(0), "10001");
}

TEST(TabPages, SecondTabShowsItsLabelAndTheAddressField) {
  EXPECT_EQ(row(1), "01010");
}

TEST(TabPages, ThirdTabShowsOnlyItsLabel) {
  EXPECT_EQ(row(2), "00100");
}

TEST(TabPages, NoSelectionOrUnknownTabChangesNothing) {
  EXPECT_EQ(row(-1), "none");
  EXPECT_EQ(row(3), "none");
}

}  // namespace
