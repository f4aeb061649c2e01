#include "demo_canvas.h"

#include "demo_curve.h"

void DemoCanvas::draw() {
  const COLORREF black = RGB(0, 0, 0);
  const COLORREF green = RGB(0, 255, 0);
  const COLORREF white = RGB(255, 255, 255);

  fill(0, 0, width, height, black);
  for (const panelkit::Segment& segment : panelkit::curveSegments(width, height)) {
    line(segment.from.x, segment.from.y, segment.to.x, segment.to.y, green);
  }
  setBackColor(black);
  setTextColor(green);
  setFont("Times New Roman", 15, 0);
  setTextColor(white);
  const panelkit::CanvasPoint origin = panelkit::captionOrigin(width, height);
  text(origin.x, origin.y, panelkit::kCaption);
}

int DemoCanvas::wave(int column) const {
  return panelkit::wave(column, height);
}
