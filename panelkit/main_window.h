// The program's top-level window and its window class "Sample Window".
#ifndef PANELKIT_MAIN_WINDOW_H
#define PANELKIT_MAIN_WINDOW_H

#include <string>

#include "widget.h"

class MainWindow : public Widget {
 public:
  // Registers the class, creates the window and shows it. A failed registration or creation
  // is reported in a message box and leaves a null handle.
  MainWindow(const std::string& shortName, HINSTANCE instance, int showCommand,
             const std::string& windowCaption, int left, int top, int windowWidth,
             int windowHeight);
  virtual ~MainWindow();

 private:
  std::string caption;
  WNDCLASSEXA windowClass;
  char nameBuffer[256];
};

#endif  // PANELKIT_MAIN_WINDOW_H
