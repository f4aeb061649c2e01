#include "edit_box.h"

#include "control_window.h"

EditBox::EditBox(HWND parent, const std::string& initialText, int controlId, int left, int top,
                 int boxWidth, int boxHeight, bool multiLine)
    : id(controlId), text(initialText) {
  init();
  const DWORD style = multiLine
                          ? WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL
                          : WS_CHILD | WS_VISIBLE;
  handle = createControl(WS_EX_CLIENTEDGE, "EDIT", "", style, left, top, boxWidth, boxHeight,
                         parent, id);
  x = left;
  y = top;
  width = boxWidth;
  height = boxHeight;
  if (handle) {
    setDefaultFont(handle);
    SendMessageA(handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
}

EditBox::~EditBox() {
  destroy();
}

std::string EditBox::getText() const {
  char buffer[256] = {};
  if (handle) {
    SendMessageA(handle, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  }
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}
