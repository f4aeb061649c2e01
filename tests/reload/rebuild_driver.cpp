// Test driver: reload_rebuild_driver [--compiler PATH] [--sigchld-ignored] SRC EXE [PENDING]
// writes PENDING unflushed, calls Reload::reload(SRC, EXE) (reload_with with --compiler) and,
// if that comes back, writes "returned" and exits with 42. --sigchld-ignored starts with
// SIGCHLD ignored.
#include <signal.h>

#include <cstring>
#include <iostream>

#include "reload.h"

int main(int argc, char** argv) {
  const char* compiler = nullptr;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    if (std::strcmp(argv[at], "--compiler") == 0 && at + 1 < argc) {
      compiler = argv[++at];
    } else if (std::strcmp(argv[at], "--sigchld-ignored") == 0) {
      signal(SIGCHLD, SIG_IGN);
    } else {
      break;
    }
  }
  if (argc - at < 2) return 2;
  if (argc - at > 2) std::cout << argv[at + 2];
  if (compiler != nullptr) {
    Reload::reload_with(compiler, argv[at], argv[at + 1]);
  } else {
    Reload::reload(argv[at], argv[at + 1]);
  }
  std::cout << "returned" << std::endl;
  return 42;
}
