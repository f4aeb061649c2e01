#include "main_window.h"

#include <cstring>

#include "window_proc.h"

namespace {

const char kClassName[] = "Sample Window";

}  // namespace

MainWindow::MainWindow(const std::string& shortName, HINSTANCE instance, int showCommand,
                       const std::string& windowCaption, int left, int top, int windowWidth,
                       int windowHeight) {
  init();
  caption = windowCaption;
  x = left;
  y = top;
  width = windowWidth;
  height = windowHeight;

  std::memset(&windowClass, 0, sizeof windowClass);
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_VREDRAW | CS_HREDRAW;
  windowClass.lpfnWndProc = windowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = nullptr;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  // System-colour brushes are the colour index plus one: this is the menu colour.
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = kClassName;
  windowClass.hIconSm = nullptr;
  if (RegisterClassExA(&windowClass) == 0) {
    MessageBoxA(nullptr, "Window class creation failed\r\n", "Window Class Failed", MB_ICONERROR);
  }

  std::strncpy(nameBuffer, shortName.c_str(), sizeof nameBuffer - 1);
  nameBuffer[sizeof nameBuffer - 1] = '\0';

  // WM_CREATE arrives while this call runs, before `handle` is set; the application builds
  // the controls from the handle that message carries.
  handle = CreateWindowExA(0, kClassName, caption.c_str(), WS_OVERLAPPEDWINDOW, x, y, width, height,
                           nullptr, nullptr, instance, nullptr);
  if (!handle) {
    MessageBoxA(nullptr, "Window creation failed\r\n", "Window Creation Failed", MB_ICONERROR);
  }
  ShowWindow(handle, showCommand);
  UpdateWindow(handle);
}

MainWindow::~MainWindow() {
  destroy();
}
