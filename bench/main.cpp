// odb_bench: runs the benchmark groups and prints their medians as Markdown
// tables. Usage: odb_bench [repetitions] (default 5).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "benches.h"

int main(int argc, char** argv) {
  int const repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::printf("Medians of %d runs each.\n", repetitions);
  try {
    bench::run_alloc_benches(repetitions);
  } catch (char const* message) {
    std::fprintf(stderr, "%s\n", message);
    return 1;
  }
  return 0;
}
