// Allocator workloads: allocate/deallocate mixes with a given number of blocks
// in use, timed per operation, with records found through the in-memory
// mirror of the lists and, for comparison, by walking them on disk.
#include <random>

#include "benches.h"
#include <disk_tools/d_db.h>
#include "timing.h"

namespace bench {

namespace {

double mix_per_operation(std::string const& dir, long in_use, bool indexed) {
  using namespace disk_tools;
  d_env env{};
  std::string const name = dir + "/alloc";
  create_database(name, &env);
  d_database* db = open_database(name, &env);
  d_alloc& alloc = *db->allocator();
  alloc.use_index(indexed);
  std::mt19937 rng(42);
  auto random_size = [&] { return static_cast<long>(8 + rng() % 120); };
  std::vector<long> blocks;
  for (long i = 0; i < in_use; ++i) {
    text_tools::bstringstream empty;
    blocks.push_back(alloc.allocate(random_size(), empty));
  }
  long const operations = 2000;
  auto const start = std::chrono::steady_clock::now();
  for (long i = 0; i < operations; ++i) {
    std::size_t const k = rng() % blocks.size();
    alloc.deallocate(blocks[k]);
    text_tools::bstringstream empty;
    blocks[k] = alloc.allocate(random_size(), empty);
  }
  double const per_op = seconds_since(start) / (2 * operations);
  close_database(db);
  return per_op;
}

}  // namespace

void run_alloc_benches(int repetitions) {
  std::puts("\n### Allocator: one deallocate or allocate, blocks of 8-127 bytes\n");
  row({"blocks in use", "with the list mirror", "walking the lists"});
  row({"---", "---", "---"});
  for (long n : {1000L, 10000L, 100000L}) {
    double const fast = median_of_runs(repetitions, [&](std::string const& d) {
      return std::vector<double>{mix_per_operation(d, n, true)};
    })[0];
    std::string slow = "(not run: too slow)";
    if (n <= 10000) {
      slow = us(median_of_runs(repetitions, [&](std::string const& d) {
        return std::vector<double>{mix_per_operation(d, n, false)};
      })[0]);
    }
    row({std::to_string(n), us(fast), slow});
  }
}

}  // namespace bench
