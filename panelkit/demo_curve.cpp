#include "demo_curve.h"

#include <cmath>
#include <cstring>

namespace panelkit {

int wave(int x, int height) {
  const double middle = static_cast<double>(height / 2);
  const double column = static_cast<double>(x);
  // The terms are added one by one in this order so the rounding matches the plotted rows.
  double sum = 20.0 * std::sin(20.0 * column - 2.0) + middle;
  sum = 30.0 * std::sin(30.0 * column - 3.0) + sum;
  sum = 40.0 * std::sin(40.0 * column - 4.0) + sum;
  return static_cast<int>(height - sum);
}

std::vector<Segment> curveSegments(int width, int height) {
  std::vector<Segment> segments;
  for (int i = 0; i < width; i += kSampleStep) {
    segments.push_back({{i, wave(i, height)}, {i + kSampleStep, wave(i + kSampleStep, height)}});
  }
  return segments;
}

CanvasPoint captionOrigin(int width, int height) {
  const int estimatedWidth = static_cast<int>(std::strlen(kCaption)) * 15;
  return {width / 2 - estimatedWidth / 2, height / 2};
}

}  // namespace panelkit
