// A drawing area without a window of its own: `paint` draws an off-screen image and copies
// it onto the parent window at the canvas's stored rectangle, framed by a sunken edge.
// Subclasses replace `draw`, which works in canvas coordinates on the off-screen image.
#ifndef PANELKIT_CANVAS_H
#define PANELKIT_CANVAS_H

#include <string>

#include "widget.h"

class Canvas : public Widget {
 public:
  // Asks for a child window of the unregistered class "CANVAS", so the handle stays null and
  // the canvas lives on its parent's device context.
  Canvas(HWND parent, int controlId, int left, int top, int canvasWidth, int canvasHeight);
  // Not virtual: subclasses add no fields and are deleted as what they are.
  ~Canvas();

  // Draws the whole canvas onto `window` in one transfer. An empty or inverted rectangle
  // draws nothing.
  void paint(HWND window);
  virtual void draw();

  // Drawing primitives on the off-screen image; each leaves the selected pen and brush as
  // it found them.
  void fill(int left, int top, int right, int bottom, const COLORREF& colour);
  void line(int x1, int y1, int x2, int y2, const COLORREF& colour);
  void text(int left, int top, const std::string& caption);
  void setBackColor(const COLORREF& colour);
  void setTextColor(const COLORREF& colour);
  // Selects a new font made with the current colours; the previous font is released.
  void setFont(const std::string& faceName, int fontWidth, int fontHeight);

 protected:
  HDC windowDc = nullptr;
  HDC memoryDc = nullptr;
  COLORREF backColor = 0;
  COLORREF textColor = 0;
  HFONT font = nullptr;
  int id;
  int penWidth = 1;
};

#endif  // PANELKIT_CANVAS_H
