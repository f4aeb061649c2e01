// The curve and caption of the demo canvas: a sum of three sine waves sampled every few
// pixels, and the position of the centred caption. Pure arithmetic, free of drawing calls.
#ifndef PANELKIT_DEMO_CURVE_H
#define PANELKIT_DEMO_CURVE_H

#include <vector>

namespace panelkit {

// The caption drawn across the middle of the canvas.
inline constexpr const char kCaption[] = "Quib Win...";

// Columns between two samples of the curve.
inline constexpr int kSampleStep = 5;

struct CanvasPoint {
  int x;
  int y;
};

// One straight piece of the plotted curve.
struct Segment {
  CanvasPoint from;
  CanvasPoint to;
};

// The row of the curve at pixel column x on a canvas `height` pixels tall: the middle row
// moved by 20 sin(20x - 2) + 30 sin(30x - 3) + 40 sin(40x - 4), larger sums higher up.
int wave(int x, int height);

// The segments joining the samples at x = 0, 5, 10, ... while x < width.
std::vector<Segment> curveSegments(int width, int height);

// Top-left corner of the caption, centred on an estimated width of 15 pixels per character.
CanvasPoint captionOrigin(int width, int height);

}  // namespace panelkit

#endif  // PANELKIT_DEMO_CURVE_H
