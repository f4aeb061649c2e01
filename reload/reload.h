// Rebuild-and-replace for the self-rebuilding `reload` program.
//
// The program rebuilds itself by compiling its one source file with nothing but
// "/usr/bin/c++ <src> -o <exe>", so these functions are defined here, in the header the source
// includes, and need no library of their own.
#ifndef RELOAD_RELOAD_H
#define RELOAD_RELOAD_H

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace Reload {

// The system compiler, always at this path.
constexpr const char* kCompiler = "/usr/bin/c++";

// The file that starting the program `name` runs. A name holding a slash is that path. A bare
// name is looked up the way execlp looks it up: the first executable regular file of that name
// in the folders of PATH (an empty entry is the working directory; with PATH unset, the
// system's default search path). A bare name found nowhere is taken as a file in the working
// directory. The rebuild writes and starts the path returned here, so the new build lands on
// the very file that is started next.
inline std::string executable_path(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string search;
  if (const char* path = std::getenv("PATH")) {
    search = path;
  } else {
    std::vector<char> fallback(confstr(_CS_PATH, nullptr, 0) + 1, '\0');
    confstr(_CS_PATH, fallback.data(), fallback.size());
    search = fallback.data();
  }
  for (std::string::size_type start = 0; !name.empty();) {
    const std::string::size_type end = search.find(':', start);
    const std::string folder = search.substr(start, end == std::string::npos ? end : end - start);
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "./" + name;
}

// Runs "<compiler> <src> -o <exe>" in a child process and waits for it. True only when the
// compiler ran and exited with status 0; false when the child could not be made, the compiler
// could not be started, failed or was killed. Reports nothing itself.
inline bool compile(const char* compiler, const std::string& src, const std::string& exe) {
  // The exit status is lost when SIGCHLD is ignored (the child is then reaped by the system),
  // and an ignored SIGCHLD is inherited across exec from whoever started this process, so the
  // default is put back first.
  signal(SIGCHLD, SIG_DFL);

  // Nothing buffered may be written twice, once by each process.
  std::cout.flush();

  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    execlp(compiler, compiler, src.c_str(), "-o", exe.c_str(), static_cast<char*>(nullptr));
    // The compiler could not be started: end here, at once, so that only one copy of the
    // program goes on reading the input. _exit, since the buffers and exit handlers belong to
    // the parent.
    _exit(127);
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `reload` with another compiler in place of the system's, so that the failures of the
// compiler step can be brought about on purpose.
inline void reload_with(const char* compiler, const std::string& src, const std::string& exe) {
  const std::string target = executable_path(exe);
  if (!compile(compiler, src, target)) {
    // Whatever stands at `target` is not the new build: running it would look like success
    // while the new pair is missing from its table.
    std::cerr << "unable to re-compile..." << std::endl;
    return;
  }
  // `target` holds a slash, so this starts exactly the file the compiler wrote.
  execl(target.c_str(), target.c_str(), static_cast<char*>(nullptr));
  std::cerr << "unable to re-execute..." << std::endl;
}

// Rebuilds the executable `exe` from the source `src` with the system compiler and replaces the
// running process with the new build, started with its path as its only argument. Returns,
// having written one line on standard error, when the build fails ("unable to re-compile...")
// or the new build cannot be started ("unable to re-execute...").
inline void reload(const std::string& src, const std::string& exe) {
  reload_with(kCompiler, src, exe);
}

}  // namespace Reload

#endif  // RELOAD_RELOAD_H
