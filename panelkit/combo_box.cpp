#include "combo_box.h"

#include "control_window.h"

ComboBox::ComboBox(HWND parent, int controlId, int left, int top, int boxWidth, int boxHeight) {
  init();
  handle = createControl(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWN | CBS_HASSTRINGS,
                         left, top, boxWidth, boxHeight, parent, controlId);
}

ComboBox::~ComboBox() {
  destroy();
}

void ComboBox::addItem(const std::string& text) {
  items.push_back(text);
  if (handle) SendMessageA(handle, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items.back().c_str()));
}

void ComboBox::select(int index) {
  if (handle) SendMessageA(handle, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}
