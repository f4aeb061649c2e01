// Runs the program's entry point where its main window cannot come into being and checks that
// it reports so in message boxes and then ends, instead of waiting in a message loop forever.
//   panelkit_startup_check class    the window class is already taken, creation is refused
//   panelkit_startup_check window   the class registers, creation is refused
//   panelkit_startup_check alloc    the main window object cannot be allocated
// A watcher thread presses OK on every message box and records its caption and text.
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

namespace {

const char kClassName[] = "Sample Window";
const int kWatchdogSeconds = 30;

volatile LONG failNothrowAllocation = 0;
volatile LONG winMainReturned = 0;
std::vector<std::string> boxes;  // "caption|text" of each box; read after the watcher ends

std::string classOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string textOf(HWND window) {
  char buffer[256] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

// Refuses to create any window of the program's class.
LRESULT CALLBACK refuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && classOf(reinterpret_cast<HWND>(wParam)) == kClassName) return 1;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL CALLBACK appendStaticText(HWND child, LPARAM text) {
  if (lstrcmpiA(classOf(child).c_str(), "Static") == 0) {
    *reinterpret_cast<std::string*>(text) += textOf(child);
  }
  return TRUE;
}

BOOL CALLBACK findBox(HWND window, LPARAM found) {
  if (classOf(window) != "#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

DWORD WINAPI pressOkOnBoxes(LPVOID mainThread) {
  const DWORD thread = static_cast<DWORD>(reinterpret_cast<DWORD_PTR>(mainThread));
  for (int waited = 0; waited < kWatchdogSeconds * 20; ++waited) {
    if (winMainReturned) return 0;
    HWND box = nullptr;
    EnumThreadWindows(thread, findBox, reinterpret_cast<LPARAM>(&box));
    if (box) {
      std::string text;
      EnumChildWindows(box, appendStaticText, reinterpret_cast<LPARAM>(&text));
      boxes.push_back(textOf(box) + "|" + text);
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      while (IsWindow(box) && !winMainReturned) Sleep(20);
    }
    Sleep(50);
  }
  // Still running: the program is stuck, which is the fault this check looks for.
  std::fprintf(stderr, "FAILED: WinMain did not return within %d s\n", kWatchdogSeconds);
  std::fflush(stderr);
  ExitProcess(3);
}

}  // namespace

// Allocation without exceptions, as the program's windows and controls use, fails on request.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (failNothrowAllocation) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

int main(int argc, char** argv) {
  const std::string mode = argc == 2 ? argv[1] : "";
  const std::string classBox = "Window Class Failed|Window class creation failed\r\n";
  const std::string windowBox = "Window Creation Failed|Window creation failed\r\n";
  std::vector<std::string> expected;
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (mode == "class") {
    WNDCLASSEXA taken = {};
    taken.cbSize = sizeof taken;
    taken.lpfnWndProc = DefWindowProcA;
    taken.hInstance = instance;
    taken.lpszClassName = kClassName;
    RegisterClassExA(&taken);
    expected = {classBox, windowBox};
  } else if (mode == "window") {
    expected = {windowBox};
  } else if (mode == "alloc") {
    failNothrowAllocation = 1;
  } else {
    std::fprintf(stderr, "usage: panelkit_startup_check class|window|alloc\n");
    return 2;
  }
  if (mode != "alloc") SetWindowsHookExA(WH_CBT, refuseMainWindow, nullptr, GetCurrentThreadId());

  HANDLE watcher = CreateThread(
      nullptr, 0, pressOkOnBoxes,
      reinterpret_cast<LPVOID>(static_cast<DWORD_PTR>(GetCurrentThreadId())), 0, nullptr);
  // No arguments for the program: its own (the mode) are not meant for it.
  char noArguments[] = "";
  const int status = WinMain(instance, nullptr, noArguments, SW_SHOWNORMAL);
  failNothrowAllocation = 0;
  winMainReturned = 1;
  WaitForSingleObject(watcher, INFINITE);

  bool ok = status == 0 && boxes == expected;
  if (!ok) {
    std::fprintf(stderr,
                 "FAILED: WinMain returned %d (expected 0) after %zu message boxes "
                 "(expected %zu):\n",
                 status, boxes.size(), expected.size());
    for (const std::string& box : boxes) std::fprintf(stderr, "  %s\n", box.c_str());
  }
  return ok ? 0 : 1;
}
