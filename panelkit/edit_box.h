// An edit box, single- or multi-line, whose text can be read back.
#ifndef PANELKIT_EDIT_BOX_H
#define PANELKIT_EDIT_BOX_H

#include <string>

#include "widget.h"

class EditBox : public Widget {
 public:
  EditBox(HWND parent, const std::string& initialText, int controlId, int left, int top,
          int boxWidth, int boxHeight, bool multiLine);
  virtual ~EditBox();

  // The current contents, at most 255 characters; empty without a window.
  std::string getText() const;

 private:
  int id;
  std::string text;
};

#endif  // PANELKIT_EDIT_BOX_H
