// A static text.
#ifndef PANELKIT_LABEL_H
#define PANELKIT_LABEL_H

#include <string>

#include "widget.h"

class Label : public Widget {
 public:
  // The rectangle is given to the window only; the stored one stays zero until the first
  // move and resize.
  Label(HWND parent, const std::string& labelText, int controlId, int left, int top, int labelWidth,
        int labelHeight);
  ~Label();

 private:
  std::string text;
};

#endif  // PANELKIT_LABEL_H
