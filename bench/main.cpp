// odb_bench: runs the benchmark groups and prints their medians as Markdown
// tables. Usage: odb_bench [repetitions] [group...], repetitions defaulting to
// 5 and the groups (programs, commit, map, order, typed, large, alloc, churn,
// containers, hash, peers, compact, longread, concurrent) to all of them.
// `odb_bench --one NAME N DIR` is the single run that the tables of system
// calls start in a child process (child_run.h).
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "benches.h"
#include "child_run.h"

namespace {

struct group {
  char const* name;
  void (*run)(int repetitions);
};

// The programs run first: the other groups leave hundreds of megabytes of
// freshly written files for the system to write back, which slows short runs
// of a program unevenly. The commits come next, for the same reason: a sync
// waits for the disk, which other files' write-back keeps busy.
group const groups[] = {
    {"programs", bench::run_program_benches},
    {"commit", bench::run_commit_benches},
    {"map", bench::run_map_benches},
    {"order", bench::run_map_order_benches},
    {"typed", bench::run_typed_map_benches},
    {"large", bench::run_large_map_benches},
    {"alloc", bench::run_alloc_benches},
    {"churn", bench::run_churn_benches},
    {"containers", bench::run_container_benches},
    {"hash", bench::run_hash_benches},
    {"peers", bench::run_peer_benches},
    {"compact", bench::run_compact_benches},
    {"longread", bench::run_long_reader_benches},
    {"concurrent", bench::run_concurrent_benches},
};

std::string group_names() {
  std::string names;
  for (auto const& g : groups) names += std::string(names.empty() ? "" : ", ") + g.name;
  return names;
}

// The processor's model name, for the note on the machine.
std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) {
      auto const colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown processor";
}

void print_machine(int repetitions) {
  utsname u{};
  ::uname(&u);
  std::printf("Machine: %s, %ld cores, %s %s %s. Medians of %d runs each.\n", cpu_model().c_str(),
              ::sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, u.machine, repetitions);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--large") return bench::run_large_map_child(argc, argv);
  if (argc > 1 && std::string(argv[1]) == "--one") {
    try {
      return bench::run_one(argc, argv);
    } catch (std::exception const& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
  }
  int const repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<std::string> const wanted(argv + std::min(argc, 2), argv + argc);
  for (auto const& w : wanted) {
    bool const known = std::any_of(std::begin(groups), std::end(groups),
                                   [&w](group const& g) { return w == g.name; });
    if (!known) {
      std::fprintf(stderr, "unknown group %s (%s)\n", w.c_str(), group_names().c_str());
      return 2;
    }
  }
  print_machine(repetitions);
  try {
    for (auto const& g : groups) {
      if (wanted.empty() || std::find(wanted.begin(), wanted.end(), g.name) != wanted.end()) {
        g.run(repetitions);
      }
    }
  } catch (std::exception const& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
