// The window procedure of the class "Sample Window": routes the main window's messages to
// the registered application.
#ifndef PANELKIT_WINDOW_PROC_H
#define PANELKIT_WINDOW_PROC_H

#include <windows.h>

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif  // PANELKIT_WINDOW_PROC_H
