// The program's entry point: answers --help and --version, runs the demo application and
// reports anything it throws.
#include <windows.h>

#include <string>
#include <vector>

#include "demo_application.h"

namespace {

const char kUsage[] =
    "usage: panelkit\n"
    "Shows the demo window: tab pages, a list, a combo box, an IP address box, a picture\n"
    "(image.bmp from the working folder) and a curve drawn on a canvas.\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

// The words of the command line after the program's name; double quotes only group.
std::vector<std::string> wordsOf(const char* commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, inWord = false;
  for (const char* c = commandLine ? commandLine : ""; *c; ++c) {
    if (*c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (*c == ' ' || *c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += *c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

// A GUI program has no console of its own. The text goes where whoever started the program can
// read it: to the standard handle it was given (a pipe or a file, as a redirecting shell or
// Wine passes), else to the console of the program that started it, else into a message box.
void tell(DWORD stream, const std::string& text, UINT icon) {
  HANDLE out = GetStdHandle(stream);
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    out = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
  }
  DWORD written = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size()) {
    return;
  }
  const std::string lines = text.substr(0, text.find_last_not_of('\n') + 1);
  MessageBoxA(nullptr, lines.c_str(), "panelkit", MB_OK | icon);
}

// The status to exit with when the command line is answered without showing the window
// (--help, --version, or a mistake); -1 when the demo is to run.
int answerCommandLine(const char* commandLine) {
  for (const std::string& word : wordsOf(commandLine)) {
    if (word == "--help") {
      tell(STD_OUTPUT_HANDLE, kUsage, MB_ICONINFORMATION);
      return 0;
    }
    if (word == "--version") {
      tell(STD_OUTPUT_HANDLE, std::string("panelkit ") + ODB_VERSION + "\n", MB_ICONINFORMATION);
      return 0;
    }
    tell(STD_ERROR_HANDLE, "panelkit: unknown argument '" + word + "' (see panelkit --help)\n",
         MB_ICONERROR);
    return 2;
  }
  return -1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR commandLine,
                   int showCommand) {
  const int answered = answerCommandLine(commandLine);
  if (answered >= 0) return answered;
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
