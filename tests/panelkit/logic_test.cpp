// The demo's pure logic: layout, tab pages, curve and caption.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "demo_curve.h"
#include "demo_layout.h"
#include "tab_pages.h"

namespace {

using panelkit::ControlRect;
using panelkit::demoLayout;
using panelkit::wave;

std::string str(const ControlRect& r) {
  return std::to_string(r.width) + "x" + std::to_string(r.height) + "@" + std::to_string(r.x) +
         "," + std::to_string(r.y);
}

TEST(DemoLayout, PlacesEveryControl) {
  const panelkit::DemoLayout big = demoLayout(600, 400);
  // W/2 and (W - 20)/2 truncate separately; (5 - 20)/2 is -7, not -8.
  const panelkit::DemoLayout tiny = demoLayout(5, 7);
  const struct {
    ControlRect got, want;
  } cases[] = {
      {big.textLabel, {10, 10, 50, 20}},
      {big.listBox, {10, 30, 290, 50}},
      {big.comboBox, {10, 80, 290, 100}},
      {big.edit, {10, 130, 290, 65}},
      {big.button, {10, 205, 290, 185}},
      {big.canvas, {310, 10, 280, 185}},
      {big.tabs, {310, 205, 280, 185}},
      {big.pageLabel, {335, 305, 50, 20}},
      {big.bitmap, {335, 325, 100, 56}},
      {big.ipAddress, {335, 345, 100, 20}},
      {tiny.edit, {10, 130, -8, -132}},
      {tiny.button, {10, 8, -7, -12}},
      {tiny.tabs, {13, 8, -17, -12}},
      {tiny.canvas, {12, 10, -18, -12}},
      {tiny.pageLabel, {38, 108, 50, 20}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(str(cases[i].got), str(cases[i].want)) << "case " << i;
  }
}

TEST(TabPages, EachTabShowsItsPageControls) {
  // First, second, third label, IP address, picture.
  const char* const rows[] = {"10001", "01010", "00100"};
  for (int tab = -1; tab <= 3; ++tab) {
    const auto v = panelkit::pageVisibility(tab);
    std::string shown = "none";
    if (v) {
      shown.clear();
      for (bool on : {v->firstPage, v->secondPage, v->thirdPage, v->ipAddress, v->bitmap}) {
        shown += on ? '1' : '0';
      }
    }
    EXPECT_EQ(shown, tab >= 0 && tab < 3 ? rows[tab] : "none") << "tab " << tab;
  }
}

// Samples every five pixels across the canvas, from the middle row at x = 0.
TEST(DemoCurve, SegmentsFollowTheWaveAndTheCaptionIsCentred) {
  EXPECT_EQ(wave(0, 184), 84);  // 185 loses its half row: 85 below, as the segments start
  // Middle row 1, sum 1 + 7.85...: the row 2 - 8.85... truncates to -6 (flooring gives -7).
  EXPECT_EQ(wave(0, 2), -6);
  const std::vector<panelkit::Segment> segments = panelkit::curveSegments(280, 185);
  ASSERT_EQ(segments.size(), 56u);
  for (int i = 0; i < 56; ++i) {
    const panelkit::Segment& s = segments[static_cast<std::size_t>(i)];
    EXPECT_EQ(s.from.x, 5 * i) << i;
    EXPECT_EQ(s.to.x, 5 * i + 5) << i;
    EXPECT_EQ(s.from.y, i == 0 ? 85 : segments[static_cast<std::size_t>(i) - 1].to.y) << i;
    EXPECT_EQ(s.to.y, wave(s.to.x, 185)) << i;
  }
  EXPECT_EQ(panelkit::curveSegments(281, 185).size(), 57u);  // a partial last step
  EXPECT_TRUE(panelkit::curveSegments(-15, -12).empty());
  // 11 characters of 15 pixels: 165 wide, of which 82 lie left of the centre.
  for (const auto& [width, height, x, y] : {std::array{280, 185, 58, 92}, {100, 30, -32, 15}}) {
    const panelkit::CanvasPoint origin = panelkit::captionOrigin(width, height);
    EXPECT_EQ(std::pair(origin.x, origin.y), std::pair(x, y)) << width << "x" << height;
  }
}

}  // namespace
