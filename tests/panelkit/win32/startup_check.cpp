// Runs the program's entry point in a world where its main window cannot come into being and
// checks that the program reports the failure in message boxes and then ends, instead of
// waiting in a message loop that nothing can end.
//
//   panelkit_startup_check class    the window class is already taken, creation is refused
//   panelkit_startup_check window   the class registers, creation is refused
//   panelkit_startup_check alloc    the main window object cannot be allocated
//
// A watcher thread presses OK on every message box and records its caption and text.
// Exit status 0 when WinMain returned 0 with exactly the expected boxes shown.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

namespace {

const char kClassName[] = "Sample Window";
const int kWatchdogSeconds = 30;

volatile LONG failNothrowAllocation = 0;
volatile LONG winMainReturned = 0;
CRITICAL_SECTION boxesLock;
std::vector<std::string> boxes;  // "caption|text" of each box, in order

// Refuses to create any window of the program's class.
LRESULT CALLBACK refuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    char name[64] = {};
    GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
    if (std::string(name) == kClassName) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::string textOf(HWND window) {
  char buffer[256] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

BOOL CALLBACK appendStaticText(HWND child, LPARAM text) {
  char name[32] = {};
  GetClassNameA(child, name, sizeof name);
  if (lstrcmpiA(name, "Static") == 0 && !textOf(child).empty()) {
    *reinterpret_cast<std::string*>(text) += textOf(child);
  }
  return TRUE;
}

struct Search {
  DWORD thread;
  HWND found;
};

BOOL CALLBACK findBox(HWND window, LPARAM search) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770" && IsWindowVisible(window)) {
    reinterpret_cast<Search*>(search)->found = window;
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI pressOkOnBoxes(LPVOID mainThread) {
  const DWORD thread = static_cast<DWORD>(reinterpret_cast<DWORD_PTR>(mainThread));
  for (int waited = 0; waited < kWatchdogSeconds * 20; ++waited) {
    if (winMainReturned) return 0;
    Search search = {thread, nullptr};
    EnumThreadWindows(thread, findBox, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      std::string text;
      EnumChildWindows(search.found, appendStaticText, reinterpret_cast<LPARAM>(&text));
      EnterCriticalSection(&boxesLock);
      boxes.push_back(textOf(search.found) + "|" + text);
      LeaveCriticalSection(&boxesLock);
      PostMessageA(search.found, WM_COMMAND, IDOK, 0);
      while (IsWindow(search.found) && !winMainReturned) Sleep(20);
    }
    Sleep(50);
  }
  // Still running: the program is stuck, which is the fault this check looks for.
  std::fprintf(stderr, "FAILED: WinMain did not return within %d s\n", kWatchdogSeconds);
  std::fflush(stderr);
  ExitProcess(3);
}

}  // namespace

// Allocation without exceptions fails while asked to; the program's windows and controls
// are allocated this way.
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
    SetWindowsHookExA(WH_CBT, refuseMainWindow, nullptr, GetCurrentThreadId());
    expected = {classBox, windowBox};
  } else if (mode == "window") {
    SetWindowsHookExA(WH_CBT, refuseMainWindow, nullptr, GetCurrentThreadId());
    expected = {windowBox};
  } else if (mode == "alloc") {
    failNothrowAllocation = 1;
  } else {
    std::fprintf(stderr, "usage: panelkit_startup_check class|window|alloc\n");
    return 2;
  }

  InitializeCriticalSection(&boxesLock);
  const DWORD mainThread = GetCurrentThreadId();
  HANDLE watcher =
      CreateThread(nullptr, 0, pressOkOnBoxes,
                   reinterpret_cast<LPVOID>(static_cast<DWORD_PTR>(mainThread)), 0, nullptr);
  const int status = WinMain(instance, nullptr, GetCommandLineA(), SW_SHOWNORMAL);
  failNothrowAllocation = 0;
  winMainReturned = 1;
  WaitForSingleObject(watcher, INFINITE);

  int failures = 0;
  if (status != 0) {
    std::fprintf(stderr, "FAILED: WinMain returned %d\n", status);
    ++failures;
  }
  if (boxes != expected) {
    std::fprintf(stderr, "FAILED: expected %zu message boxes, saw %zu:\n", expected.size(),
                 boxes.size());
    for (const std::string& box : boxes) std::fprintf(stderr, "  %s\n", box.c_str());
    ++failures;
  }
  if (failures == 0) std::printf("%s: ended with the expected message boxes\n", mode.c_str());
  return failures == 0 ? 0 : 1;
}
