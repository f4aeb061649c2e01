// The common base of every wrapped window: the window handle and its rectangle in the
// parent's client area. A null handle is tolerated everywhere: the window calls are skipped
// and only the stored fields change.
#ifndef PANELKIT_WIDGET_H
#define PANELKIT_WIDGET_H

#include <windows.h>

class Widget {
 public:
  Widget() = default;
  Widget(const Widget&) = delete;
  Widget& operator=(const Widget&) = delete;

  // Sets the handle and the rectangle to zero.
  void init();
  // Destroys the window; the handle is kept, so the wrapper must not be used afterwards.
  void destroy();
  void show();
  void hide();
  void update();
  // Stores the new position and moves the window there, keeping the stored size.
  void move(int newX, int newY);
  // Stores the new size and resizes the window, keeping the stored position.
  void resize(int newWidth, int newHeight);

  HWND windowHandle() const { return handle; }

 protected:
  HWND handle = nullptr;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

#endif  // PANELKIT_WIDGET_H
