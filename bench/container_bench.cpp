// List, vector and hash-map operations at growing sizes, timed per operation,
// to show whether their cost grows with the number of blocks in the file.
#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "benches.h"
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_vector.h>
#include "scratch_db.h"
#include "timing.h"

namespace bench {

namespace {

using namespace disk_tools;

// Times per operation of one run, in the order of the table's rows.
using op_times = std::vector<double>;

op_times list_ops(std::string const& dir, long n) {
  scratch_db s(dir);
  d_list<int> list("list", &s.env);
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) list.push_back(static_cast<int>(i));
  double const push = seconds_since(start) / static_cast<double>(n);

  start = std::chrono::steady_clock::now();
  long sum = 0, seen = 0;
  for (auto it = list.begin(); it != list.end(); ++it, ++seen) {
    sum += static_cast<int>(dl_assign<int>(it));
  }
  double const walk = seconds_since(start) / static_cast<double>(n);
  if (seen != n || sum != n * (n - 1) / 2) throw std::runtime_error("list walk lost elements");
  return {push, walk};
}

op_times vector_ops(std::string const& dir, long n) {
  scratch_db s(dir);
  d_vector<int> vec("vector", 16, &s.env);
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) vec.push_back(static_cast<int>(i));
  double const push = seconds_since(start) / static_cast<double>(n);

  start = std::chrono::steady_clock::now();
  long sum = 0;
  for (long i = 0; i < n; ++i) sum += vec[i].get_data();
  double const index = seconds_since(start) / static_cast<double>(n);
  if (sum != n * (n - 1) / 2) throw std::runtime_error("vector lost elements");
  return {push, index};
}

// A 48-byte key whose string_hash is exactly 1128 + i (for i below about
// 140 000): the map's hash weighs each character by its index, so similar
// keys such as "key1", "key2", ... share a few thousand hashes, and the chains
// of any bucket count grow with the number of keys. Keys with distinct hashes
// keep every chain at one entry, so the times show the cost of reaching
// records and nothing else.
std::string key_with_hash(long i) {
  constexpr int length = 48;
  std::string key(length, '\x01');  // hash 1 + 2 + ... + 47 = 1128
  key[0] = 'k';                     // weight 0
  long extra = i;
  for (int at = length - 1; at >= 1 && extra > 0; --at) {
    long const add = std::min(126L, extra / at);
    key[static_cast<std::size_t>(at)] = static_cast<char>(1 + add);
    extra -= add * at;
  }
  return key;
}

op_times hashmap_ops(std::string const& dir, long n) {
  scratch_db s(dir);
  d_hashmap<std::string, std::string> map("hash", n, &s.env);
  std::vector<std::string> keys;
  for (long i = 0; i < n; ++i) keys.push_back(key_with_hash(i));
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) map.put(keys[static_cast<std::size_t>(i)], "value");
  double const put = seconds_since(start) / static_cast<double>(n);

  start = std::chrono::steady_clock::now();
  long found = 0;
  std::string value;
  for (auto const& k : keys) found += map.get(k, value) != 0;
  double const get = seconds_since(start) / static_cast<double>(n);
  if (found != n) throw std::runtime_error("hash map lost keys");
  return {put, get};
}

std::string growth(double small, double large) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", large / small);
  return buf;
}

}  // namespace

void run_container_benches(int repetitions) {
  std::puts("\n### Containers: time per operation at N elements\n");
  row({"operation", "N = 1 000", "N = 10 000", "N = 100 000", "100 000 / 1 000"});
  row({"---", "---", "---", "---", "---"});
  struct group {
    std::vector<char const*> names;
    op_times (*run)(std::string const&, long);
  };
  group const groups[] = {
      {{"list push_back", "list walk (per element)"}, list_ops},
      {{"vector push_back", "vector index"}, vector_ops},
      {{"hash map put", "hash map get"}, hashmap_ops},
  };
  for (auto const& g : groups) {
    std::vector<op_times> by_size;
    for (long n : {1000L, 10000L, 100000L}) {
      by_size.push_back(
          median_of_runs(repetitions, [&g, n](std::string const& dir) { return g.run(dir, n); }));
    }
    for (std::size_t op = 0; op < g.names.size(); ++op) {
      row({g.names[op], us(by_size[0][op]), us(by_size[1][op]), us(by_size[2][op]),
           growth(by_size[0][op], by_size[2][op])});
    }
  }
}

}  // namespace bench
