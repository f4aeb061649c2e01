// The demo's canvas: a green curve of three summed sine waves on black, with a white caption
// across the middle.
#ifndef PANELKIT_DEMO_CANVAS_H
#define PANELKIT_DEMO_CANVAS_H

#include "canvas.h"

// Final, because it is deleted through its own type and Canvas has no virtual destructor.
class DemoCanvas final : public Canvas {
 public:
  using Canvas::Canvas;

  void draw() override;
  // The curve's row at pixel column x of this canvas.
  int wave(int column) const;
};

#endif  // PANELKIT_DEMO_CANVAS_H
