#include "tab_control.h"

#include <commctrl.h>

#include "control_window.h"

TabControl::TabControl(HWND parent, int controlId, int left, int top, int controlWidth,
                       int controlHeight) {
  init();
  INITCOMMONCONTROLSEX classes = {};
  classes.dwSize = sizeof classes;
  classes.dwICC = ICC_TAB_CLASSES;
  InitCommonControlsEx(&classes);
  handle = createControl(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, left, top,
                         controlWidth, controlHeight, parent, controlId);
}

TabControl::~TabControl() {
  destroy();
}

void TabControl::insertTab(int index, const std::string& text) {
  if (!handle) return;
  TCITEMA item = {};
  item.mask = TCIF_TEXT | TCIF_IMAGE;
  item.iImage = -1;
  item.pszText = const_cast<char*>(text.c_str());  // only read by TCM_INSERTITEMA
  SendMessageA(handle, TCM_INSERTITEMA, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(&item));
}

void TabControl::select(int index) {
  if (handle) SendMessageA(handle, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int TabControl::selected() const {
  if (!handle) return -1;
  return static_cast<int>(SendMessageA(handle, TCM_GETCURSEL, 0, 0));
}
