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
  test_support::child_process child = test_support::spawn_program(argv, cwd);
  test_support::run_result r;
  int& in_fd = child.in;
  std::size_t next = 0;
  std::size_t answered_at = 0;  // length of the output when the last line was written
  bool out_open = true, err_open = true;
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out_open || err_open) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child.pid, SIGKILL);
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
    pollfd fds[2] = {{out_open ? child.out : -1, POLLIN, 0},
                     {err_open ? child.err : -1, POLLIN, 0}};
    if (::poll(fds, 2, 200) < 0) continue;
    if (fds[0].revents) out_open = test_support::drain(child.out, r.out);
    if (fds[1].revents) err_open = test_support::drain(child.err, r.err);
  }
  r.status = test_support::finish(child);
  return r;
}

}  // namespace reload_test
