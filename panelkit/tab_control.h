// A tab control: a row of tabs, one of them selected. The pages themselves are sibling
// controls that the owner shows and hides.
#ifndef PANELKIT_TAB_CONTROL_H
#define PANELKIT_TAB_CONTROL_H

#include <string>

#include "widget.h"

class TabControl : public Widget {
 public:
  TabControl(HWND parent, int controlId, int left, int top, int controlWidth, int controlHeight);
  ~TabControl();

  void insertTab(int index, const std::string& text);
  // Selects a tab; the control sends no selection notification for it.
  void select(int index);
  // The selected tab, -1 when none (or without a window).
  int selected() const;
};

#endif  // PANELKIT_TAB_CONTROL_H
