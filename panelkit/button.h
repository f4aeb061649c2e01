// A default push button with a text.
#ifndef PANELKIT_BUTTON_H
#define PANELKIT_BUTTON_H

#include <string>

#include "widget.h"

class Button : public Widget {
 public:
  Button(HWND parent, const std::string& buttonText, int controlId, int left, int top,
         int buttonWidth, int buttonHeight);
  virtual ~Button();

 private:
  int id;
  std::string text;
};

#endif  // PANELKIT_BUTTON_H
