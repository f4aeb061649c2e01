// Looks at and operates the running demo from outside through Win32 itself: without a window
// manager X shows only client areas. Commands: wait SECONDS | controls WIDTH HEIGHT | pages |
// message-box CAPTION TEXT SECONDS | lone-box CAPTION TEXT SECONDS | resize WIDTH HEIGHT |
// repaint TIMES | close. A lone box is one shown by a program without a window of its own.
// `controls` prints screen points for the test script to click at. Exit status 0 when every
// check holds, 1 with a line on standard error otherwise.
#include <windows.h>
// The common controls' declarations build on the types declared above.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "demo_layout.h"

namespace {

int failures = 0;

void expect(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++failures;
}

HWND mainWindow() {
  HWND window = FindWindowA("Sample Window", "Quib Win...");
  expect(window != nullptr, "the main window exists");
  return window;
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

std::string describe(int x, int y, int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height) + " at (" + std::to_string(x) + ", " +
         std::to_string(y) + ")";
}

BOOL CALLBACK collectChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

// EnumChildWindows also yields grandchildren, such as the IP-address control's fields.
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

// Where tab `index` sits in a tab control of the given size, measured on a hidden one of our
// own: the item rectangle of another process's control cannot be asked for.
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

void checkControls(HWND window, int width, int height) {
  RECT outer;
  GetWindowRect(window, &outer);
  expect(outer.left == 0 && outer.top == 0 && outer.right == width && outer.bottom == height,
         "main window is " + describe(0, 0, width, height) + ", got " +
             describe(outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top));
  RECT client;
  GetClientRect(window, &client);
  const panelkit::DemoLayout layout = panelkit::demoLayout(client.right, client.bottom);

  // Twelve controls, of which the canvas has no window of its own.
  const std::size_t children = directChildren(window).size();
  expect(children == 11, "11 child windows, got " + std::to_string(children));
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
    RECT got;
    GetWindowRect(child, &got);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&got), 2);
    const int gotHeight = control.checkHeight ? got.bottom - got.top : want.height;
    expect(got.left == want.x && got.top == want.y && got.right - got.left == want.width &&
               gotHeight == want.height,
           name + " laid out as " + describe(want.x, want.y, want.width, want.height) + ", got " +
               describe(got.left, got.top, got.right - got.left, gotHeight));
  }
  HWND combo = GetDlgItem(window, 106), tabs = GetDlgItem(window, 107);
  expect(SendMessageA(combo, CB_GETCOUNT, 0, 0) == 3, "combo box holds 3 items");
  expect(SendMessageA(combo, CB_GETCURSEL, 0, 0) == 0, "combo box has item 0 selected");
  expect(SendMessageA(GetDlgItem(window, 105), LB_GETCOUNT, 0, 0) == 3, "list box holds 3 items");
  expect(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0) == 3, "tab control has 3 tabs");

  // The button's centre, the centres of tabs 0 and 2, and the canvas (windowless: placed by
  // the layout), in screen coordinates.
  RECT button, tabArea;
  GetWindowRect(GetDlgItem(window, 101), &button);
  GetWindowRect(tabs, &tabArea);
  POINT canvas = {layout.canvas.x, layout.canvas.y};
  ClientToScreen(window, &canvas);
  std::printf("button %ld %ld\n", (button.left + button.right) / 2,
              (button.top + button.bottom) / 2);
  for (int index : {0, 2}) {
    const POINT c = tabCentre(index, tabArea.right - tabArea.left, tabArea.bottom - tabArea.top);
    std::printf("tab%d %ld %ld\n", index, tabArea.left + c.x, tabArea.top + c.y);
  }
  std::printf("canvas %ld %ld %d %d\n", canvas.x, canvas.y, layout.canvas.width,
              layout.canvas.height);
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

// Waits for a message box owned by the main window (or by no window), checks its text and
// presses OK.
void handleMessageBox(HWND window, const char* caption, const char* text, int seconds) {
  BoxSearch search = {window, caption, nullptr};
  for (int waited = 0; !search.found && waited < seconds * 10; ++waited) {
    EnumWindows(findBox, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(100);
  }
  expect(search.found != nullptr, std::string("a message box \"") + caption + "\"");
  if (!search.found) return;
  bool textFound = false;
  for (HWND child : directChildren(search.found)) {
    textFound |= lstrcmpiA(classOf(child).c_str(), "Static") == 0 && textOf(child) == text;
  }
  expect(textFound, std::string("message box shows \"") + text + "\"");
  if (window) expect(!IsWindowEnabled(window), "main window is disabled while the box is open");
  PostMessageA(search.found, WM_COMMAND, IDOK, 0);
  for (int waited = 0; IsWindow(search.found) && waited < 100; ++waited) Sleep(100);
  expect(!IsWindow(search.found), "message box closes on OK");
  if (window) expect(IsWindowEnabled(window) != FALSE, "main window is enabled again");
}

// Sent, not posted: each message is handled before the next one goes.
void send(HWND window, UINT message, const std::string& what) {
  DWORD_PTR ignored;
  expect(SendMessageTimeoutA(window, message, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) != 0,
         "window answers " + what);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const int a = argc > 2 ? std::atoi(argv[2]) : 0, b = argc > 3 ? std::atoi(argv[3]) : 0;
  if (command == "wait") {
    for (int waited = 0; waited < a * 10; ++waited) {
      HWND window = FindWindowA("Sample Window", "Quib Win...");
      if (window && IsWindowVisible(window)) return 0;
      Sleep(100);
    }
    expect(false, "a visible window \"Quib Win...\"");
  } else if (command == "lone-box" && argc == 5) {
    handleMessageBox(nullptr, argv[2], argv[3], std::atoi(argv[4]));
  } else if (HWND window = mainWindow(); !window) {
  } else if (command == "controls" && argc == 4) {
    checkControls(window, a, b);
  } else if (command == "pages") {
    auto shown = [window](int id) { return IsWindowVisible(GetDlgItem(window, id)) ? 1 : 0; };
    std::printf("selected=%d First=%d Second=%d Third=%d IP=%d Picture=%d\n",
                static_cast<int>(SendMessageA(GetDlgItem(window, 107), TCM_GETCURSEL, 0, 0)),
                shown(108), shown(109), shown(110), shown(111), shown(1));
  } else if (command == "message-box" && argc == 5) {
    handleMessageBox(window, argv[2], argv[3], std::atoi(argv[4]));
  } else if (command == "resize" && argc == 4) {
    SetWindowPos(window, nullptr, 0, 0, a, b, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    send(window, WM_NULL, "after resizing to " + std::to_string(a) + "x" + std::to_string(b));
  } else if (command == "repaint") {
    // Each right-button press repaints the canvas.
    for (int i = 0; i < a && failures == 0; ++i) send(window, WM_RBUTTONDOWN, "a press");
  } else if (command == "close") {
    expect(PostMessageA(window, WM_CLOSE, 0, 0) != 0, "WM_CLOSE posted");
  } else {
    expect(false, "a known command");
  }
  return failures == 0 ? 0 : 1;
}
