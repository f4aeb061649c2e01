// The program's entry point: runs the demo application and reports anything it throws.
#include <windows.h>

#include "demo_application.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int showCommand) {
  try {
    DemoApplication application(instance, showCommand);
    // Without a main window nothing could post the quit message, so the loop would never
    // end; the failure has already been reported and the program just stops.
    if (application.hasMainWindow()) application.run();
  } catch (...) {
    MessageBoxA(nullptr, "Software Exception...", "Software Exception...", MB_OK);
  }
  return 0;
}
