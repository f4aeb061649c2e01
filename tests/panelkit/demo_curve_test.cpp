#include "demo_curve.h"

#include <gtest/gtest.h>

namespace {

using panelkit::captionOrigin;
using panelkit::curveSegments;
using panelkit::wave;

TEST(DemoCurve, WaveStartsAt85OnA185PixelCanvas) {
  EXPECT_EQ(wave(0, 185), 85);
}

TEST(DemoCurve, WaveTruncatesTowardsZero) {
  // On a 2-pixel canvas the middle row is 1; at x = 0 the sum is 1 + 7.85..., so the row is
  // 2 - 8.85... = -6.85..., which truncates to -6 (flooring would give -7).
  EXPECT_EQ(wave(0, 2), -6);
  // An odd height loses its half row: 185 and 184 share the middle row 92.
  EXPECT_EQ(wave(0, 184), 84);
}

TEST(DemoCurve, SamplesEveryFivePixelsAcrossTheCanvas) {
  const std::vector<panelkit::Segment> segments = curveSegments(280, 185);
  ASSERT_EQ(segments.size(), 56u);
  EXPECT_EQ(segments.front().from.x, 0);
  EXPECT_EQ(segments.front().from.y, 85);
  EXPECT_EQ(segments.back().from.x, 275);
  EXPECT_EQ(segments.back().to.x, 280);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(segments[i].to.x, segments[i].from.x + 5);
    EXPECT_EQ(segments[i].to.y, wave(segments[i].to.x, 185));
    if (i > 0) {
      EXPECT_EQ(segments[i].from.x, segments[i - 1].to.x);
      EXPECT_EQ(segments[i].from.y, segments[i - 1].to.y);
    }
  }
}

TEST(DemoCurve, PartialLastStepAndEmptyCanvas) {
  EXPECT_EQ(curveSegments(281, 185).size(), 57u);
  EXPECT_EQ(curveSegments(1, 185).size(), 1u);
  EXPECT_TRUE(curveSegments(0, 185).empty());
  EXPECT_TRUE(curveSegments(-15, -12).empty());
}

TEST(DemoCurve, CaptionIsCentredOnItsEstimatedWidth) {
  // 11 characters of 15 pixels: 165 wide, of which 82 lie left of the centre.
  const panelkit::CanvasPoint origin = captionOrigin(280, 185);
  EXPECT_EQ(origin.x, 58);
  EXPECT_EQ(origin.y, 92);
  const panelkit::CanvasPoint small = captionOrigin(100, 30);
  EXPECT_EQ(small.x, -32);
  EXPECT_EQ(small.y, 15);
}

}  // namespace
