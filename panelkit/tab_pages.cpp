#include "tab_pages.h"

namespace panelkit {

std::optional<PageVisibility> pageVisibility(int selectedTab) {
  //                       first  second third  ip     bitmap
  static const PageVisibility kRows[] = {{true, false, false, false, true},
                                         {false, true, false, true, false},
                                         {false, false, true, false, false}};
  if (selectedTab < 0 || selectedTab > 2) return std::nullopt;
  return kRows[selectedTab];
}

}  // namespace panelkit
