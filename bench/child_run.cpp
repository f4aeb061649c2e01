#include "child_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "timing.h"

namespace bench {

char const* const write_type_calls[] = {"write",    "pwrite64",  "writev",          "pwritev",
                                        "pwritev2", "fallocate", "ftruncate",       "msync",
                                        "fsync",    "fdatasync", "sync_file_range", nullptr};

namespace {

// openat is traced too, to learn which descriptors write synchronously.
std::string trace_filter() {
  std::string filter = "trace=openat";
  for (char const* const* c = write_type_calls; *c; ++c) filter += std::string(",") + *c;
  return filter;
}

std::string own_executable() {
  std::error_code ec;
  auto const path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find odb_bench's own file");
  return path.string();
}

// Runs argv with standard output into a pipe and returns what it wrote; the
// exit status goes to status (-1 when it did not exit normally).
std::string run_capturing(std::vector<std::string> const& argv, int& status) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("cannot make a pipe");
  pid_t const pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot fork");
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    int const null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    std::vector<char*> args;
    for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t const got = ::read(fds[0], buf, sizeof buf);
    if (got > 0) {
      out.append(buf, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// The number right after the first '(' (a descriptor argument), or -1.
long first_argument(std::string const& line) {
  auto const open = line.find('(');
  if (open == std::string::npos) return -1;
  return std::strtol(line.c_str() + open + 1, nullptr, 10);
}

// The path strace -y prints after the first descriptor argument, "3</x/y>".
std::string first_path(std::string const& line) {
  auto const open = line.find('<', line.find('('));
  auto const close = open == std::string::npos ? open : line.find('>', open);
  if (close == std::string::npos) return "";
  return line.substr(open + 1, close - open - 1);
}

// The descriptor an openat returned, "= 5</x/y>", or -1.
long returned_descriptor(std::string const& line) {
  auto const eq = line.rfind(") = ");
  if (eq == std::string::npos) return -1;
  return std::strtol(line.c_str() + eq + 4, nullptr, 10);
}

bool is_write_call(std::string const& name) {
  return name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev" ||
         name == "pwritev2";
}

// Reads a trace written with strace -f -y: each line "PID name(args) = result";
// lines that resume an interrupted call were counted when it began.
void read_trace(std::string const& path, child_result& r) {
  std::ifstream in(path);
  std::set<long> sync_descriptors;
  for (std::string line; std::getline(in, line);) {
    std::size_t at = 0;
    while (at < line.size() &&
           (std::isdigit(static_cast<unsigned char>(line[at])) || line[at] == ' '))
      ++at;
    line.erase(0, at);
    auto const open = line.find('(');
    if (line.empty() || line[0] == '<' || line[0] == '+' || line[0] == '-' ||
        open == std::string::npos) {
      continue;
    }
    std::string const name = line.substr(0, open);
    ++r.calls[name];
    if (name == "openat") {
      long const fd = returned_descriptor(line);
      bool const synchronous =
          line.find("O_SYNC") != std::string::npos || line.find("O_DSYNC") != std::string::npos;
      if (synchronous && fd >= 0) {
        sync_descriptors.insert(fd);
      } else {
        sync_descriptors.erase(fd);
      }
    } else if (is_write_call(name)) {
      r.sync_writes += sync_descriptors.count(first_argument(line)) ? 1 : 0;
    } else if (name == "fsync" || name == "fdatasync" ||
               (name == "msync" && line.find("MS_SYNC") != std::string::npos)) {
      ++r.syncs;
      std::error_code ec;
      if (name != "msync" && std::filesystem::is_directory(first_path(line), ec)) ++r.folder_syncs;
    }
  }
}

// The child writes its trace beside its folder, so that the folder holds only
// the workload's files.
child_result run_child_in(std::string const& name, long n, std::string const& dir, bool traced) {
  std::vector<std::string> argv;
  std::string const trace = dir + ".trace";
  if (traced) argv = {"strace", "-f", "-qq", "-y", "-e", trace_filter(), "-o", trace};
  for (auto const& a : {own_executable(), std::string("--one"), name, std::to_string(n), dir}) {
    argv.push_back(a);
  }
  int status = 0;
  std::istringstream out(run_capturing(argv, status));
  if (status != 0) throw std::runtime_error("single run " + name + " failed");
  child_result r;
  for (phase_cost p; out >> p.seconds >> p.faults;) r.phases.push_back(p);
  if (traced) {
    read_trace(trace, r);
    std::remove(trace.c_str());
  }
  return r;
}

}  // namespace

bool strace_usable() {
  static bool const usable = [] {
    int status = 0;
    run_capturing({"strace", "-qq", "-o", "/dev/null", "true"}, status);
    return status == 0;
  }();
  return usable;
}

child_result run_child(std::string const& name, long n, bool traced) {
  std::string const dir = make_scratch_dir();
  try {
    child_result r = run_child_in(name, n, dir, traced);
    remove_dir(dir);
    return r;
  } catch (...) {
    remove_dir(dir);
    throw;
  }
}

int run_one(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: odb_bench --one NAME N DIR\n");
    return 2;
  }
  std::string const name = argv[2];
  single_run run = container_single_run(name);
  if (!run) run = commit_single_run(name);
  if (!run) {
    std::fprintf(stderr, "unknown single run %s\n", name.c_str());
    return 2;
  }
  auto const phases = run(argv[4], std::atol(argv[3]));
  // A peer that was not built prints no phase; the parent says so.
  if (!phases) return 0;
  for (auto const& p : *phases) std::printf("%.9f %ld\n", p.seconds, p.faults);
  return 0;
}

}  // namespace bench
