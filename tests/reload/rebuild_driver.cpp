// Test driver: reload_rebuild_driver [--compiler PATH] [--sigchld-ignored] [--no-fork] SRC EXE
// [PENDING] writes PENDING unflushed, calls Reload::reload(SRC, EXE) (reload_with with
// --compiler) and, if that comes back, writes "returned" and exits with 42. --sigchld-ignored
// starts with SIGCHLD ignored; --no-fork makes fork fail (exits with 77 if it cannot).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "reload.h"

namespace {

constexpr int kCannotArrange = 77;

// Leaves this process unable to fork, or exits with kCannotArrange.
void forbid_fork() {
  const uid_t nobody = 65534;
  if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(kCannotArrange);
  const rlimit none = {0, 0};
  if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(kCannotArrange);
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (pid > 0) {
    waitpid(pid, nullptr, 0);
    _exit(kCannotArrange);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* compiler = nullptr;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    if (std::strcmp(argv[at], "--compiler") == 0 && at + 1 < argc) {
      compiler = argv[++at];
    } else if (std::strcmp(argv[at], "--sigchld-ignored") == 0) {
      signal(SIGCHLD, SIG_IGN);
    } else if (std::strcmp(argv[at], "--no-fork") == 0) {
      forbid_fork();
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
  // _exit: with fork forbidden, the leak checker of a sanitizer build could not start.
  _exit(42);
}
