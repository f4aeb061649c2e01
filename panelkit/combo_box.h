// A drop-down combo box that remembers its items in the order they were added.
#ifndef PANELKIT_COMBO_BOX_H
#define PANELKIT_COMBO_BOX_H

#include <list>
#include <string>

#include "widget.h"

class ComboBox : public Widget {
 public:
  ComboBox(HWND parent, int controlId, int left, int top, int boxWidth, int boxHeight);
  ~ComboBox();

  // Keeps a copy of the text and hands that copy to the combo box.
  void addItem(const std::string& text);
  void select(int index);

 private:
  std::list<std::string> items;
};

#endif  // PANELKIT_COMBO_BOX_H
