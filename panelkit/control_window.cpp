#include "control_window.h"

HWND createControl(DWORD extendedStyle, const char* className, const char* title, DWORD style,
                   int x, int y, int width, int height, HWND parent, int id) {
  return CreateWindowExA(extendedStyle, className, title, style, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleA(nullptr), nullptr);
}

void setDefaultFont(HWND control) {
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
               FALSE);
}
