// A sorted list box that remembers its items in the order they were added.
#ifndef PANELKIT_LIST_BOX_H
#define PANELKIT_LIST_BOX_H

#include <list>
#include <string>

#include "widget.h"

class ListBox : public Widget {
 public:
  ListBox(HWND parent, int controlId, int left, int top, int boxWidth, int boxHeight);
  ~ListBox();

  // Keeps a copy of the text and hands that copy to the list box, which sorts what it shows.
  void addItem(const std::string& text);

 private:
  std::list<std::string> items;
};

#endif  // PANELKIT_LIST_BOX_H
