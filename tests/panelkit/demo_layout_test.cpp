#include "demo_layout.h"

#include <gtest/gtest.h>

namespace {

using panelkit::ControlRect;
using panelkit::demoLayout;

void expectRect(const ControlRect& got, int x, int y, int width, int height) {
  EXPECT_EQ(got.x, x);
  EXPECT_EQ(got.y, y);
  EXPECT_EQ(got.width, width);
  EXPECT_EQ(got.height, height);
}

TEST(DemoLayout, PlacesEveryControlOn600By400) {
  const panelkit::DemoLayout layout = demoLayout(600, 400);
  const struct {
    const char* name;
    ControlRect got;
    ControlRect want;
  } controls[] = {
      {"text label", layout.textLabel, {10, 10, 50, 20}},
      {"list box", layout.listBox, {10, 30, 290, 50}},
      {"combo box", layout.comboBox, {10, 80, 290, 100}},
      {"edit box", layout.edit, {10, 130, 290, 65}},
      {"button", layout.button, {10, 205, 290, 185}},
      {"canvas", layout.canvas, {310, 10, 280, 185}},
      {"tabs", layout.tabs, {310, 205, 280, 185}},
      {"page labels", layout.pageLabel, {335, 305, 50, 20}},
      {"bitmap", layout.bitmap, {335, 325, 100, 56}},
      {"ip address", layout.ipAddress, {335, 345, 100, 20}},
  };
  for (const auto& control : controls) {
    SCOPED_TRACE(control.name);
    expectRect(control.got, control.want.x, control.want.y, control.want.width,
               control.want.height);
  }
}

TEST(DemoLayout, OddSizesTruncateEachHalf) {
  // W/2 and (W - 20)/2 are truncated separately: 601/2 = 300, 581/2 = 290.
  const panelkit::DemoLayout layout = demoLayout(601, 401);
  expectRect(layout.edit, 10, 130, 290, 65);
  expectRect(layout.button, 10, 205, 290, 185);
  expectRect(layout.tabs, 310, 205, 280, 185);
  expectRect(layout.canvas, 310, 10, 280, 185);
}

TEST(DemoLayout, PassesNegativeSizesThroughOnATinyClientArea) {
  // Below a client height of 270 the edit box's height goes negative; below 40 pixels of
  // width the canvas and the tab control do too. (5 - 20)/2 truncates to -7, not -8.
  const panelkit::DemoLayout layout = demoLayout(5, 7);
  expectRect(layout.edit, 10, 130, -8, -132);
  expectRect(layout.button, 10, 8, -7, -12);
  expectRect(layout.tabs, 13, 8, -17, -12);
  expectRect(layout.canvas, 12, 10, -18, -12);
  expectRect(layout.listBox, 10, 30, -8, 50);
  expectRect(layout.pageLabel, 38, 108, 50, 20);
  expectRect(layout.ipAddress, 38, 148, 100, 20);
  expectRect(layout.bitmap, 38, 128, 100, 56);

  EXPECT_EQ(demoLayout(640, 269).edit.height, -1);
  EXPECT_EQ(demoLayout(640, 270).edit.height, 0);
}

TEST(DemoLayout, EmptyClientArea) {
  const panelkit::DemoLayout layout = demoLayout(0, 0);
  expectRect(layout.button, 10, 5, -10, -15);
  expectRect(layout.tabs, 10, 5, -20, -15);
}

}  // namespace
