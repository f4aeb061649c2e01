// Looks at and operates the running demo window from outside, through Win32 itself: without a
// window manager the X side shows only client areas, so sizes and controls are read here.
//
//   panelkit_probe wait SECONDS           wait until the main window is visible
//   panelkit_probe controls [WIDTH HEIGHT]
//                                         check the window (at the origin, 640x480 unless
//                                         told otherwise), its controls and their layout;
//                                         print screen points for the tests to click at
//   panelkit_probe pages                  print the selected tab and which page controls show
//   panelkit_probe message-box CAPTION TEXT SECONDS
//                                         wait for a message box owned by the main window,
//                                         check its text, then press its OK button
//   panelkit_probe resize WIDTH HEIGHT    resize the main window and check it still answers
//   panelkit_probe repaint TIMES          press the right mouse button on the main window
//                                         TIMES times, each of which repaints the canvas
//   panelkit_probe close                  ask the main window to close
//
// Exit status 0 when every check holds; 1 with a line on standard error otherwise.
#include <windows.h>
// The common controls' declarations build on the types declared above.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "demo_layout.h"

namespace {

const char kClassName[] = "Sample Window";
const char kTitle[] = "Quib Win...";

int failures = 0;

void expect(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++failures;
}

HWND mainWindow() {
  return FindWindowA(kClassName, kTitle);
}

std::string textOf(HWND window) {
  char buffer[256] = {};
  // WM_GETTEXT is carried across processes; the text is the control's own.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

std::string classOf(HWND window) {
  char buffer[256] = {};
  GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

// The window's rectangle in its parent's client coordinates.
RECT rectInParent(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string describe(const RECT& r) {
  return std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) + " at (" +
         std::to_string(r.left) + ", " + std::to_string(r.top) + ")";
}

BOOL CALLBACK collectChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

// The direct children of the main window (EnumChildWindows also yields grandchildren, such
// as the fields inside the IP-address control).
std::vector<HWND> directChildren(HWND parent) {
  std::vector<HWND> all, direct;
  EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&all));
  for (HWND child : all) {
    if (GetParent(child) == parent) direct.push_back(child);
  }
  return direct;
}

struct ExpectedControl {
  int id;
  const char* className;
  const char* text;  // null: not checked
  panelkit::ControlRect panelkit::DemoLayout::*rect;
  bool checkHeight;  // list and combo boxes adjust their own height
};

const ExpectedControl kControls[] = {
    {101, "Button", "Click Me", &panelkit::DemoLayout::button, true},
    {102, "Edit", "Quib Win...", &panelkit::DemoLayout::edit, true},
    {104, "Static", "Text:", &panelkit::DemoLayout::textLabel, true},
    {105, "ListBox", nullptr, &panelkit::DemoLayout::listBox, false},
    {106, "ComboBox", nullptr, &panelkit::DemoLayout::comboBox, false},
    {107, "SysTabControl32", nullptr, &panelkit::DemoLayout::tabs, true},
    {108, "Static", "First", &panelkit::DemoLayout::pageLabel, true},
    {109, "Static", "Second", &panelkit::DemoLayout::pageLabel, true},
    {110, "Static", "Third", &panelkit::DemoLayout::pageLabel, true},
    {111, "SysIPAddress32", nullptr, &panelkit::DemoLayout::ipAddress, true},
    {1, "Static", nullptr, &panelkit::DemoLayout::bitmap, true},  // the picture
};

// Where tab `index` sits inside a tab control of the given size: measured on a hidden tab
// control of our own with the same style and tabs, since the item rectangle of another
// process's control cannot be asked for.
POINT tabCentre(int index, int width, int height) {
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_TAB_CLASSES};
  InitCommonControlsEx(&classes);
  HWND host = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, width + 20, height + 20, nullptr,
                              nullptr, GetModuleHandleA(nullptr), nullptr);
  HWND tabs = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0,
                              width, height, host, nullptr, GetModuleHandleA(nullptr), nullptr);
  const char* names[] = {"First", "Second", "Third"};
  for (int i = 0; i < 3; ++i) {
    TCITEMA item = {};
    item.mask = TCIF_TEXT | TCIF_IMAGE;
    item.iImage = -1;
    item.pszText = const_cast<char*>(names[i]);
    SendMessageA(tabs, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
  }
  SendMessageA(tabs, TCM_SETCURSEL, 1, 0);
  RECT item = {};
  SendMessageA(tabs, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item));
  DestroyWindow(host);
  return {(item.left + item.right) / 2, (item.top + item.bottom) / 2};
}

int waitForWindow(int seconds) {
  for (int waited = 0; waited < seconds * 10; ++waited) {
    HWND window = mainWindow();
    if (window && IsWindowVisible(window)) return 0;
    Sleep(100);
  }
  std::fprintf(stderr, "FAILED: no visible window \"%s\" after %d s\n", kTitle, seconds);
  return 1;
}

int checkControls(int width, int height) {
  HWND window = mainWindow();
  if (!window) {
    std::fprintf(stderr, "FAILED: no main window\n");
    return 1;
  }
  RECT outer;
  GetWindowRect(window, &outer);
  expect(outer.left == 0 && outer.top == 0 && outer.right == width && outer.bottom == height,
         "main window is " + std::to_string(width) + "x" + std::to_string(height) +
             " at (0, 0), got " + describe(outer));

  RECT client;
  GetClientRect(window, &client);
  const panelkit::DemoLayout layout = panelkit::demoLayout(client.right, client.bottom);

  const std::vector<HWND> children = directChildren(window);
  // Twelve controls, of which the canvas has no window of its own.
  expect(children.size() == 11, "11 child windows, got " + std::to_string(children.size()));
  for (const ExpectedControl& control : kControls) {
    const std::string name = "control " + std::to_string(control.id);
    HWND child = GetDlgItem(window, control.id);
    if (!child) {
      expect(false, name + " exists");
      continue;
    }
    expect(lstrcmpiA(classOf(child).c_str(), control.className) == 0,
           name + " is a " + control.className + ", got " + classOf(child));
    if (control.text) {
      expect(textOf(child) == control.text,
             name + " says \"" + control.text + "\", got \"" + textOf(child) + "\"");
    }
    const panelkit::ControlRect want = layout.*control.rect;
    const RECT got = rectInParent(child);
    const bool placed = got.left == want.x && got.top == want.y &&
                        got.right - got.left == want.width &&
                        (!control.checkHeight || got.bottom - got.top == want.height);
    expect(placed, name + " laid out as " + std::to_string(want.width) + "x" +
                       std::to_string(want.height) + " at (" + std::to_string(want.x) + ", " +
                       std::to_string(want.y) + "), got " + describe(got));
  }

  HWND combo = GetDlgItem(window, 106);
  expect(SendMessageA(combo, CB_GETCOUNT, 0, 0) == 3, "combo box holds 3 items");
  expect(SendMessageA(combo, CB_GETCURSEL, 0, 0) == 0, "combo box has item 0 selected");
  HWND list = GetDlgItem(window, 105);
  expect(SendMessageA(list, LB_GETCOUNT, 0, 0) == 3, "list box holds 3 items");
  HWND tabs = GetDlgItem(window, 107);
  expect(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0) == 3, "tab control has 3 tabs");

  // Screen points for the test script: the button's centre, the centres of tabs 0 and 2,
  // and the canvas's rectangle (it has no window, so it is found through the layout).
  RECT button, tabArea;
  GetWindowRect(GetDlgItem(window, 101), &button);
  GetWindowRect(tabs, &tabArea);
  POINT canvas = {layout.canvas.x, layout.canvas.y};
  ClientToScreen(window, &canvas);
  std::printf("button %ld %ld\n", (button.left + button.right) / 2,
              (button.top + button.bottom) / 2);
  for (int index : {0, 2}) {
    const POINT centre =
        tabCentre(index, tabArea.right - tabArea.left, tabArea.bottom - tabArea.top);
    std::printf("tab%d %ld %ld\n", index, tabArea.left + centre.x, tabArea.top + centre.y);
  }
  std::printf("canvas %ld %ld %d %d\n", canvas.x, canvas.y, layout.canvas.width,
              layout.canvas.height);
  return failures == 0 ? 0 : 1;
}

int printPages() {
  HWND window = mainWindow();
  if (!window) {
    std::fprintf(stderr, "FAILED: no main window\n");
    return 1;
  }
  auto shown = [window](int id) { return IsWindowVisible(GetDlgItem(window, id)) ? 1 : 0; };
  std::printf("selected=%d First=%d Second=%d Third=%d IP=%d Picture=%d\n",
              static_cast<int>(SendMessageA(GetDlgItem(window, 107), TCM_GETCURSEL, 0, 0)),
              shown(108), shown(109), shown(110), shown(111), shown(1));
  return 0;
}

struct BoxSearch {
  HWND owner;
  const char* caption;
  HWND found;
};

BOOL CALLBACK findBox(HWND window, LPARAM search) {
  BoxSearch* s = reinterpret_cast<BoxSearch*>(search);
  if (classOf(window) == "#32770" && GetWindow(window, GW_OWNER) == s->owner &&
      textOf(window) == s->caption && IsWindowVisible(window)) {
    s->found = window;
    return FALSE;
  }
  return TRUE;
}

int handleMessageBox(const char* caption, const char* text, int seconds) {
  HWND window = mainWindow();
  BoxSearch search = {window, caption, nullptr};
  for (int waited = 0; !search.found && waited < seconds * 10; ++waited) {
    EnumWindows(findBox, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(100);
  }
  if (!window || !search.found) {
    std::fprintf(stderr, "FAILED: no message box \"%s\" owned by the main window\n", caption);
    return 1;
  }
  bool textFound = false;
  for (HWND child : directChildren(search.found)) {
    if (lstrcmpiA(classOf(child).c_str(), "Static") == 0 && textOf(child) == text) {
      textFound = true;
    }
  }
  expect(textFound, std::string("message box shows \"") + text + "\"");
  expect(!IsWindowEnabled(window), "main window is disabled while the box is open");

  PostMessageA(search.found, WM_COMMAND, IDOK, 0);
  for (int waited = 0; IsWindow(search.found) && waited < 100; ++waited) Sleep(100);
  expect(!IsWindow(search.found), "message box closes on OK");
  expect(IsWindowEnabled(window) != FALSE, "main window is enabled again");
  return failures == 0 ? 0 : 1;
}

int resizeWindow(int width, int height) {
  HWND window = mainWindow();
  if (!window) {
    std::fprintf(stderr, "FAILED: no main window\n");
    return 1;
  }
  SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
  DWORD_PTR ignored;
  // The program must still answer after laying out and painting at this size.
  expect(
      SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) != 0,
      "window answers after resizing to " + std::to_string(width) + "x" + std::to_string(height));
  return failures == 0 ? 0 : 1;
}

int repaint(int times) {
  HWND window = mainWindow();
  DWORD_PTR ignored;
  for (int i = 0; window && i < times; ++i) {
    // Sent, not posted: each press is handled before the next one goes.
    if (!SendMessageTimeoutA(window, WM_RBUTTONDOWN, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored)) {
      std::fprintf(stderr, "FAILED: press %d was not answered\n", i);
      return 1;
    }
  }
  return window ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: panelkit_probe wait SECONDS | controls [WIDTH HEIGHT] | pages | "
               "message-box CAPTION TEXT SECONDS | resize WIDTH HEIGHT | repaint TIMES | close\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "wait" && argc == 3) return waitForWindow(std::atoi(argv[2]));
  if (command == "controls" && argc == 2) return checkControls(640, 480);
  if (command == "controls" && argc == 4) {
    return checkControls(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  if (command == "pages" && argc == 2) return printPages();
  if (command == "message-box" && argc == 5) {
    return handleMessageBox(argv[2], argv[3], std::atoi(argv[4]));
  }
  if (command == "resize" && argc == 4) return resizeWindow(std::atoi(argv[2]), std::atoi(argv[3]));
  if (command == "repaint" && argc == 3) return repaint(std::atoi(argv[2]));
  if (command == "close" && argc == 2) {
    HWND window = mainWindow();
    return window && PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  return usage();
}
