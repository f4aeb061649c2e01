#include "demo_application.h"

#include <commctrl.h>

#include <new>
#include <utility>

#include "demo_layout.h"
#include "tab_pages.h"

DemoApplication* theApplication = nullptr;

namespace {

const int kButtonId = 101;
const int kTabsId = 107;

// A control that cannot be allocated stays absent; the rest of the window still comes up.
template <typename Control, typename... Arguments>
std::unique_ptr<Control> make(Arguments&&... arguments) {
  return std::unique_ptr<Control>(new (std::nothrow)
                                      Control(std::forward<Arguments>(arguments)...));
}

template <typename Control>
void place(const std::unique_ptr<Control>& control, const panelkit::ControlRect& rect) {
  if (!control) return;
  control->resize(rect.width, rect.height);
  control->move(rect.x, rect.y);
}

template <typename Control>
void setVisible(const std::unique_ptr<Control>& control, bool visible) {
  if (!control) return;
  if (visible) {
    control->show();
  } else {
    control->hide();
  }
}

}  // namespace

DemoApplication::DemoApplication(HINSTANCE instance, int showCommand) {
  // Registered first: the window procedure needs the application while the window is made.
  theApplication = this;
  mainWindow = make<MainWindow>("Quib Win", instance, showCommand, "Quib Win...", 0, 0, 640, 480);
}

DemoApplication::~DemoApplication() {
  edit.reset();
  button.reset();
  canvas.reset();
  textLabel.reset();
  listBox.reset();
  comboBox.reset();
  tabs.reset();
  firstPage.reset();
  secondPage.reset();
  thirdPage.reset();
  ipAddress.reset();
  bitmap.reset();
  mainWindow.reset();
  // No window of ours is left to deliver a message to a destroyed application.
  if (theApplication == this) theApplication = nullptr;
}

void DemoApplication::update() {
  if (bitmap) bitmap->update();
}

bool DemoApplication::hasMainWindow() const {
  return mainWindow && mainWindow->windowHandle() != nullptr;
}

void DemoApplication::onCreate(HWND window) {
  edit = make<EditBox>(window, "Quib Win...", 102, 65, 100, 100, 35, true);
  button = make<Button>(window, "Click Me", kButtonId, 50, 250, 200, 50);
  canvas = make<DemoCanvas>(window, 103, 50, 100, 100, 50);
  textLabel = make<Label>(window, "Text:", 104, 50, 100, 100, 50);

  listBox = make<ListBox>(window, 105, 50, 100, 100, 200);
  if (listBox) {
    listBox->addItem("List Item 1");
    listBox->addItem("List Item 2");
    listBox->addItem("List Item 3");
  }

  comboBox = make<ComboBox>(window, 106, 0, 0, 100, 100);
  if (comboBox) {
    comboBox->addItem("Item 1");
    comboBox->addItem("Item 2");
    comboBox->addItem("Item 3");
    comboBox->select(0);
  }

  tabs = make<TabControl>(window, kTabsId, 65, 100, 100, 35);
  if (tabs) {
    tabs->insertTab(0, "First");
    tabs->insertTab(1, "Second");
    tabs->insertTab(2, "Third");
    tabs->select(1);
  }

  firstPage = make<Label>(window, "First", 108, 0, 0, 0, 0);
  secondPage = make<Label>(window, "Second", 109, 0, 0, 0, 0);
  thirdPage = make<Label>(window, "Third", 110, 0, 0, 0, 0);
  setVisible(firstPage, false);
  setVisible(secondPage, true);
  setVisible(thirdPage, false);

  ipAddress = make<IpAddressBox>(window, 111, 0, 0, 0, 0);
  bitmap = make<BitmapBox>(window, "image.bmp", 112, 0, 0, 100, 56);
  setVisible(bitmap, false);
}

void DemoApplication::onDestroy() {
  edit.reset();
  button.reset();
  canvas.reset();
  textLabel.reset();
  listBox.reset();
  comboBox.reset();
  firstPage.reset();
  secondPage.reset();
  thirdPage.reset();
  tabs.reset();
  ipAddress.reset();
  bitmap.reset();
  PostQuitMessage(0);
}

void DemoApplication::onSize(int clientWidth, int clientHeight, HWND /*window*/) {
  const panelkit::DemoLayout layout = panelkit::demoLayout(clientWidth, clientHeight);
  place(edit, layout.edit);
  place(button, layout.button);
  place(tabs, layout.tabs);
  place(firstPage, layout.pageLabel);
  place(secondPage, layout.pageLabel);
  place(thirdPage, layout.pageLabel);
  place(canvas, layout.canvas);  // no window: only the stored rectangle changes
  place(textLabel, layout.textLabel);
  place(listBox, layout.listBox);
  place(comboBox, layout.comboBox);
  place(ipAddress, layout.ipAddress);
  place(bitmap, layout.bitmap);
}

void DemoApplication::onNotify(WPARAM wParam, NMHDR* header, HWND /*window*/) {
  if (LOWORD(wParam) != kTabsId || !header || header->code != TCN_SELCHANGE || !tabs) return;
  const std::optional<panelkit::PageVisibility> row = panelkit::pageVisibility(tabs->selected());
  if (!row) return;
  setVisible(firstPage, row->firstPage);
  setVisible(secondPage, row->secondPage);
  setVisible(thirdPage, row->thirdPage);
  setVisible(ipAddress, row->ipAddress);
  setVisible(bitmap, row->bitmap);
}

void DemoApplication::onCommand(WPARAM wParam, LPARAM /*lParam*/, HWND window) {
  if (LOWORD(wParam) != kButtonId || !edit) return;
  const std::string text = edit->getText();
  MessageBoxA(window, text.c_str(), "Information", MB_OK);
}

void DemoApplication::repaintCanvas(HWND window) {
  if (canvas) canvas->paint(window);
}
