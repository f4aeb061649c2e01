// The demo application: owns the main window and its twelve controls, and answers the
// main window's messages (creation, layout, button, tab changes, painting, destruction).
#ifndef PANELKIT_DEMO_APPLICATION_H
#define PANELKIT_DEMO_APPLICATION_H

#include <windows.h>

#include <memory>

#include "application.h"
#include "bitmap_box.h"
#include "button.h"
#include "combo_box.h"
#include "demo_canvas.h"
#include "edit_box.h"
#include "ip_address_box.h"
#include "label.h"
#include "list_box.h"
#include "main_window.h"
#include "tab_control.h"

class DemoApplication : public Application {
 public:
  // Registers itself in `theApplication`, then creates and shows the main window, whose
  // creation message builds the controls.
  DemoApplication(HINSTANCE instance, int showCommand);
  ~DemoApplication() override;

  void update() override;

  // True when the main window exists; without it nothing could ever end the message loop.
  bool hasMainWindow() const;

  void onCreate(HWND window);
  // Deletes every control and posts the quit message.
  void onDestroy();
  void onSize(int clientWidth, int clientHeight, HWND window);
  void onNotify(WPARAM wParam, NMHDR* header, HWND window);
  void onCommand(WPARAM wParam, LPARAM lParam, HWND window);
  void repaintCanvas(HWND window);

 private:
  // Each pointer is null while its control does not exist.
  std::unique_ptr<EditBox> edit;
  std::unique_ptr<Button> button;
  std::unique_ptr<MainWindow> mainWindow;
  std::unique_ptr<DemoCanvas> canvas;
  std::unique_ptr<Label> textLabel;
  std::unique_ptr<ListBox> listBox;
  std::unique_ptr<ComboBox> comboBox;
  std::unique_ptr<TabControl> tabs;
  std::unique_ptr<Label> firstPage;
  std::unique_ptr<Label> secondPage;
  std::unique_ptr<Label> thirdPage;
  std::unique_ptr<IpAddressBox> ipAddress;
  std::unique_ptr<BitmapBox> bitmap;
};

// The running application; the window procedure reaches it only through this pointer.
extern DemoApplication* theApplication;

#endif  // PANELKIT_DEMO_APPLICATION_H
