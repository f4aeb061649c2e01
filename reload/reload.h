// Rebuild-and-replace for the self-rebuilding `reload` program.
//
// The program rebuilds itself by compiling its one source file with nothing but
// "/usr/bin/c++ <src> -o <exe>", so this function is defined here, in the header the source
// includes, and needs no library of its own.
#ifndef RELOAD_RELOAD_H
#define RELOAD_RELOAD_H

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>

namespace Reload {

// The system compiler, always at this path.
constexpr const char* kCompiler = "/usr/bin/c++";

// Rebuilds the executable `exe` from the source `src` and replaces the running process with
// `exe`, started with `exe` as its only argument. Returns only when that last replacement
// fails. Whether the compiler succeeded is never examined: when it fails, the file at `exe`
// (normally the previous build) is what runs next.
inline void reload(const std::string& src, const std::string& exe) {
  // Nothing buffered may be written twice by the child or lost by the replacement.
  std::cout.flush();

  // Ignored, so a finished compiler leaves no zombie. The disposition stays for the rest of
  // the process, and an ignored signal stays ignored across exec, so in the new build too.
  signal(SIGCHLD, SIG_IGN);

  const pid_t pid = fork();
  if (pid == 0) {
    execlp(kCompiler, kCompiler, src.c_str(), "-o", exe.c_str(), static_cast<char*>(nullptr));
    std::cerr << "unable to re-compile..." << std::endl;
    // No exit here: the child goes on like the parent and replaces itself with `exe`.
  } else {
    // A failed fork (-1) lands here too and waits for any child, normally none. With SIGCHLD
    // ignored the wait may fail once the child is reaped; its result is of no use either way.
    int status = 0;
    waitpid(pid, &status, 0);
  }

  execlp(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
  std::cerr << "unable to re-execute..." << std::endl;
}

}  // namespace Reload

#endif  // RELOAD_RELOAD_H
