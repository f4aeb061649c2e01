#include "reload_test_util.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace reload_test {

namespace {

// Reads what is ready on fd into out; false at end of file.
bool drain(int fd, std::string& out) {
  char buf[4096];
  ssize_t const n = ::read(fd, buf, sizeof buf);
  if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && errno == EINTR);
}

bool ends_with_prompt(std::string const& out, std::vector<std::string> const& prompts) {
  for (std::string const& p : prompts) {
    if (out.size() >= p.size() && out.compare(out.size() - p.size(), p.size(), p) == 0) {
      return true;
    }
  }
  return false;
}

// Writes all of text to fd; false when the reader has gone.
bool write_all(int fd, std::string const& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t const n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

test_support::run_result run_typed(std::vector<std::string> const& argv, std::string const& cwd,
                                   std::vector<std::string> const& lines,
                                   std::vector<std::string> const& prompts, int timeout_seconds) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(in_pipe) || ::pipe(out_pipe) || ::pipe(err_pipe)) {
    throw std::runtime_error("pipe failed");
  }
  pid_t const pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
      ::close(fd);
    }
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::signal(SIGPIPE, SIG_IGN);

  test_support::run_result r;
  int in_fd = in_pipe[1];
  std::size_t next = 0;
  std::size_t answered_at = 0;  // length of the output when the last line was written
  bool out_open = true, err_open = true;
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out_open || err_open) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (in_fd >= 0 &&
        (!out_open || (r.out.size() > answered_at && ends_with_prompt(r.out, prompts)))) {
      if (out_open && next < lines.size() && write_all(in_fd, lines[next] + "\n")) {
        ++next;
        answered_at = r.out.size();
      } else {
        ::close(in_fd);
        in_fd = -1;
      }
    }
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                     {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    if (::poll(fds, 2, 200) < 0) continue;
    if (fds[0].revents) out_open = drain(out_pipe[0], r.out);
    if (fds[1].revents) err_open = drain(err_pipe[0], r.err);
  }
  if (in_fd >= 0) ::close(in_fd);
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace reload_test
