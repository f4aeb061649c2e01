#include "window_proc.h"

#include "demo_application.h"

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // Messages can arrive before an application has registered itself; then only the
  // default processing happens.
  DemoApplication* application = theApplication;
  switch (message) {
    case WM_CREATE:
      if (application) application->onCreate(window);
      break;
    case WM_DESTROY:
      if (application) application->onDestroy();
      return 0;
    case WM_SIZE:
      if (application) {
        application->onSize(LOWORD(lParam), HIWORD(lParam), window);
        application->repaintCanvas(window);
      }
      break;
    case WM_PAINT: {
      // Default processing validates the window first; the canvas then goes on top.
      const LRESULT result = DefWindowProcA(window, message, wParam, lParam);
      if (!application) return result;
      application->repaintCanvas(window);
      return 0;
    }
    case WM_NOTIFY:
      if (application) application->onNotify(wParam, reinterpret_cast<NMHDR*>(lParam), window);
      break;
    case WM_COMMAND:
      if (application) application->onCommand(wParam, lParam, window);
      break;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
      if (application) application->repaintCanvas(window);
      break;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}
