#include "button.h"

#include "control_window.h"

Button::Button(HWND parent, const std::string& buttonText, int controlId, int left, int top,
               int buttonWidth, int buttonHeight)
    : id(controlId), text(buttonText) {
  init();
  handle = createControl(0, "BUTTON", text.c_str(),
                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, left, top,
                         buttonWidth, buttonHeight, parent, id);
  x = left;
  y = top;
  width = buttonWidth;
  height = buttonHeight;
  if (handle) setDefaultFont(handle);
}

Button::~Button() {
  destroy();
}
