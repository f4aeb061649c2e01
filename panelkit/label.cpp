#include "label.h"

#include "control_window.h"

Label::Label(HWND parent, const std::string& labelText, int controlId, int left, int top,
             int labelWidth, int labelHeight)
    : text(labelText) {
  init();
  handle = createControl(0, "STATIC", nullptr, WS_CHILD | WS_VISIBLE, left, top, labelWidth,
                         labelHeight, parent, controlId);
  if (handle) {
    setDefaultFont(handle);
    SendMessageA(handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
}

Label::~Label() {
  destroy();
}
