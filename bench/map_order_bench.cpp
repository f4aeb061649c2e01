// The ordered map's key-order operations at 25 000 and 400 000 keys beside
// std::map: a walk over every pair with the iterator, lower_bound of every key
// in a shuffled order, and erase of every key in a shuffled order, timed per
// pair or per operation. Both maps hold the pairs k -> k for k in 0..N-1, our
// map filled as mapdrill fills it, in a database opened the default way.
#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <random>

#include <disk_tools/d_map.h>
#include "benches.h"
#include "scratch_db.h"
#include "timing.h"

namespace bench {

namespace {

using number_map = disk_tools::d_map<unsigned, unsigned, unsigned>;

char const* const operations[] = {"walk, per pair", "lower_bound", "erase"};
constexpr std::size_t operation_count = sizeof operations / sizeof operations[0];

// Keeps a result alive so that the compiler cannot drop the loop making it.
volatile unsigned sink;

std::vector<unsigned> shuffled_keys(unsigned n) {
  std::vector<unsigned> keys(n);
  std::iota(keys.begin(), keys.end(), 0u);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(n));
  return keys;
}

unsigned pair_value(std::pair<unsigned const, unsigned> const& p) { return p.second; }
unsigned pair_value(disk_tools::d_pair<unsigned, unsigned> const& p) { return p.value; }

// Seconds per pair or per operation, in the order of `operations`.
template <class Map>
std::vector<double> time_operations(Map& map, std::vector<unsigned> const& keys) {
  auto const n = static_cast<double>(keys.size());
  std::vector<double> t;
  unsigned sum = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto const& pair : map) sum += pair_value(pair);
  t.push_back(seconds_since(start) / n);
  start = std::chrono::steady_clock::now();
  for (unsigned k : keys) sum += pair_value(*map.lower_bound(k));
  t.push_back(seconds_since(start) / n);
  start = std::chrono::steady_clock::now();
  for (unsigned k : keys) sum += static_cast<unsigned>(map.erase(k));
  t.push_back(seconds_since(start) / n);
  sink = sum;
  if (sum == 0) throw std::runtime_error("the walk found nothing");
  return t;
}

std::vector<double> run_ours(std::string const& dir, unsigned n) {
  scratch_db db(dir, journal::plain, "order");
  number_map map("btree", &db.env);
  for (unsigned i = 0; i < n; ++i) {
    unsigned value = 0;
    if (!map.get(i, value)) map.insert(i, i);
  }
  return time_operations(map, shuffled_keys(n));
}

std::vector<double> run_std(unsigned n) {
  std::map<unsigned, unsigned> map;
  for (unsigned i = 0; i < n; ++i) map.emplace_hint(map.end(), i, i);
  return time_operations(map, shuffled_keys(n));
}

}  // namespace

void run_map_order_benches(int repetitions) {
  std::puts("\n### Ordered map in key order: time per pair walked or per operation\n");
  row({"N", "operation", "odb map", "std::map", "odb / std::map"});
  row({"---", "---", "---", "---", "---"});
  for (unsigned n : {25000U, 400000U}) {
    auto const t = median_of_runs(repetitions, [n](std::string const& dir) {
      auto times = run_ours(dir, n);
      auto const peer = run_std(n);
      times.insert(times.end(), peer.begin(), peer.end());
      return times;
    });
    for (std::size_t op = 0; op < operation_count; ++op) {
      char ratio[32];
      std::snprintf(ratio, sizeof ratio, "%.1f", t[op] / t[operation_count + op]);
      row({std::to_string(n), operations[op], duration(t[op]),
           duration(t[operation_count + op]), ratio});
    }
  }
}

}  // namespace bench
