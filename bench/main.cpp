// odb_bench: runs the benchmark groups and prints their medians as Markdown
// tables. Usage: odb_bench [repetitions] [group...], repetitions defaulting to
// 5 and the groups (programs, map, alloc, containers) to all of them.
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

namespace {

struct group {
  char const* name;
  void (*run)(int repetitions);
};

// The programs run first: the other groups leave hundreds of megabytes of
// freshly written files for the system to write back, which slows short runs
// of a program unevenly.
group const groups[] = {
    {"programs", bench::run_program_benches},
    {"map", bench::run_map_benches},
    {"alloc", bench::run_alloc_benches},
    {"containers", bench::run_container_benches},
};

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
  int const repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<std::string> const wanted(argv + std::min(argc, 2), argv + argc);
  for (auto const& w : wanted) {
    bool const known = std::any_of(std::begin(groups), std::end(groups),
                                   [&w](group const& g) { return w == g.name; });
    if (!known) {
      std::fprintf(stderr, "unknown group %s (programs, map, alloc, containers)\n", w.c_str());
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
  } catch (char const* message) {
    std::fprintf(stderr, "%s\n", message);
    return 1;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
