#include "application.h"

#include <windows.h>

int Application::run() {
  MSG message;
  ZeroMemory(&message, sizeof message);
  BOOL result;
  // GetMessageA answers -1 on failure; looping on that would spin forever.
  while ((result = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return result;
}
