// Creation of a child control window, shared by the wrappers.
#ifndef PANELKIT_CONTROL_WINDOW_H
#define PANELKIT_CONTROL_WINDOW_H

#include <windows.h>

// Creates a child window of `parent` with the program's module as instance and the control
// id in place of a menu; null when the system refuses.
HWND createControl(DWORD extendedStyle, const char* className, const char* title, DWORD style,
                   int x, int y, int width, int height, HWND parent, int id);

// Gives the control the stock GUI font without redrawing it.
void setDefaultFont(HWND control);

#endif  // PANELKIT_CONTROL_WINDOW_H
