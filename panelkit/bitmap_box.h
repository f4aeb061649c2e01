// A picture loaded from a bitmap file and shown in a static control of the bitmap's own size.
#ifndef PANELKIT_BITMAP_BOX_H
#define PANELKIT_BITMAP_BOX_H

#include <string>

#include "widget.h"

class BitmapBox : public Widget {
 public:
  // Creates the window only when the file loads. The window always gets control id 1; the
  // id and size passed in are accepted for symmetry with the other wrappers and not used.
  BitmapBox(HWND parent, const std::string& fileName, int controlId, int left, int top,
            int boxWidth, int boxHeight);
  ~BitmapBox();

 private:
  HBITMAP image = nullptr;
};

#endif  // PANELKIT_BITMAP_BOX_H
