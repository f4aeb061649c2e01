// The two driver programs as users run them, timed from start to exit: the
// showcase script run after run on one database, and a normal mapdrill run
// with its output thrown away.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "benches.h"
#include "timing.h"

#ifndef SHOWCASE_PATH
#define SHOWCASE_PATH ""
#endif
#ifndef MAPDRILL_PATH
#define MAPDRILL_PATH ""
#endif

namespace bench {

namespace {

// Runs program (with "-init" when init is set) in folder dir, standard input,
// output and error on /dev/null; returns the wall time in seconds. A program
// that does not exit with status 0 is an error: its time would mean nothing.
double timed_run(std::string const& program, std::string const& dir, bool init) {
  auto const start = std::chrono::steady_clock::now();
  pid_t const pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot fork");
  if (pid == 0) {
    int const null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    char const* const init_arg = init ? "-init" : nullptr;
    ::execl(program.c_str(), program.c_str(), init_arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  double const took = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(program + " failed in " + dir);
  }
  return took;
}

}  // namespace

void run_program_benches(int repetitions) {
  std::string const showcase = SHOWCASE_PATH;
  std::string const mapdrill = MAPDRILL_PATH;
  if (showcase.empty() || mapdrill.empty()) {
    std::puts("\n(programs not built in this tree: showcase and mapdrill runs skipped)");
    return;
  }
  std::puts("\n### Programs: wall time of one run, output to /dev/null\n");
  row({"run", "time"});
  row({"---", "---"});

  // One series is 100 showcase runs on one database; the runs named here are
  // the ones reported.
  std::vector<int> const reported = {1, 2, 25, 100};
  auto const showcase_times = median_of_runs(repetitions, [&](std::string const& dir) {
    timed_run(showcase, dir, true);
    std::vector<double> times;
    for (int run = 1; run <= reported.back(); ++run) {
      double const t = timed_run(showcase, dir, false);
      for (int r : reported) {
        if (r == run) times.push_back(t);
      }
    }
    return times;
  });
  for (std::size_t i = 0; i < reported.size(); ++i) {
    row({"showcase run " + std::to_string(reported[i]), ms(showcase_times[i])});
  }

  auto const mapdrill_time = median_of_runs(repetitions, [&](std::string const& dir) {
    timed_run(mapdrill, dir, true);
    return std::vector<double>{timed_run(mapdrill, dir, false)};
  });
  row({"mapdrill run after -init", ms(mapdrill_time[0])});
}

}  // namespace bench
