#include "list_box.h"

#include "control_window.h"

ListBox::ListBox(HWND parent, int controlId, int left, int top, int boxWidth, int boxHeight) {
  init();
  handle = createControl(WS_EX_CLIENTEDGE, "LISTBOX", nullptr, WS_CHILD | WS_VISIBLE | LBS_STANDARD,
                         left, top, boxWidth, boxHeight, parent, controlId);
}

ListBox::~ListBox() {
  destroy();
}

void ListBox::addItem(const std::string& text) {
  items.push_back(text);
  if (handle) SendMessageA(handle, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items.back().c_str()));
}
