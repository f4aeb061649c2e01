// The hash map by hash, with keys as generated identifiers look ("user_00042"):
// put and get per operation at 1 000 and 100 000 keys for the weighted-sum
// hash on a table of one bucket per key, the strong hash on a table that
// starts small and doubles past one key per bucket, and std::unordered_map in
// the same run. The weighted sum gives these keys a few hundred values, so
// its chains grow with the number of keys; the strong hash's should not.
#include <disk_tools/d_hashmap.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "benches.h"
#include "keys.h"
#include "scratch_db.h"
#include "timing.h"

namespace bench {

namespace {

using namespace disk_tools;

struct hash_inputs {
  explicit hash_inputs(long n) {
    for (long i = 0; i < n; ++i) {
      char key[32];  // room for any long, which GCC's format check counts on
      std::snprintf(key, sizeof key, "user_%05ld", i);
      keys.emplace_back(key);
      values.push_back(element_text(i));
    }
  }
  std::vector<std::string> keys, values;
};

// Puts every key, then gets every key: seconds per put and per get.
template <class Map, class Put, class Get>
std::vector<double> puts_then_gets(Map& map, hash_inputs const& in, Put put, Get get) {
  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < in.keys.size(); ++i) put(map, in.keys[i], in.values[i]);
  double const put_time = seconds_since(start);
  start = std::chrono::steady_clock::now();
  std::size_t found = 0;
  for (std::size_t i = 0; i < in.keys.size(); ++i) found += get(map, in.keys[i]) == in.values[i];
  double const get_time = seconds_since(start);
  if (found != in.keys.size()) throw std::runtime_error("hash map lost keys");
  double const n = static_cast<double>(in.keys.size());
  return {put_time / n, get_time / n};
}

template <class H>
std::vector<double> odb_run(std::string const& dir, hash_inputs const& in, long buckets,
                            double max_load) {
  scratch_db s(dir);
  d_hashmap<std::string, std::string, H> map("hash", buckets, &s.env);
  map.set_max_load_factor(max_load);
  return puts_then_gets(
      map, in, [](auto& m, std::string const& k, std::string const& v) { m.put(k, v); },
      [](auto& m, std::string const& k) {
        std::string v;
        m.get(k, v);
        return v;
      });
}

// The typed map of 64-bit keys to 64-bit values, opened by name (8 buckets
// doubling past load 1), against std::unordered_map, with two sets of keys:
// - random 64-bit keys, as a store's keys mostly are;
// - i times 2^64 / golden ratio, which look spread but are not to the
//   standard map: its hash of an integer is the integer itself, taken modulo
//   a prime bucket count, so these keys fall in buckets a fixed stride apart,
//   and its nodes, made in the same order, are read one after the other.
//   Gets in the order of the puts then cost it less than half of what random
//   keys do. Our map hashes every key, so the two sets cost it the same.
std::vector<std::uint64_t> random_keys(long n) {
  std::mt19937_64 rng(11);
  std::vector<std::uint64_t> keys(static_cast<std::size_t>(n));
  for (auto& k : keys) k = rng();
  return keys;
}
std::vector<std::uint64_t> stride_keys(long n) {
  std::vector<std::uint64_t> keys;
  for (long i = 0; i < n; ++i) keys.push_back(static_cast<std::uint64_t>(i) * 0x9e3779b97f4a7c15ULL);
  return keys;
}

template <class Map, class Put, class Get>
std::vector<double> typed_puts_then_gets(Map& map, std::vector<std::uint64_t> const& keys, Put put,
                                         Get get) {
  auto start = std::chrono::steady_clock::now();
  for (std::uint64_t k : keys) put(map, k, k + 1);
  double const put_time = seconds_since(start);
  start = std::chrono::steady_clock::now();
  std::size_t found = 0;
  for (std::uint64_t k : keys) found += get(map, k) == k + 1;
  double const get_time = seconds_since(start);
  if (found != keys.size()) throw std::runtime_error("hash map lost keys");
  double const n = static_cast<double>(keys.size());
  return {put_time / n, get_time / n};
}

std::vector<double> typed_odb_run(std::string const& dir, std::vector<std::uint64_t> const& keys) {
  scratch_db s(dir);
  d_hashmap<std::uint64_t, std::uint64_t> map("typed", &s.env);
  return typed_puts_then_gets(
      map, keys, [](auto& m, std::uint64_t k, std::uint64_t v) { m.put(k, v); },
      [](auto& m, std::uint64_t k) {
        std::uint64_t v = 0;
        m.get(k, v);
        return v;
      });
}

std::vector<double> typed_std_run(std::string const&, std::vector<std::uint64_t> const& keys) {
  std::unordered_map<std::uint64_t, std::uint64_t> map;
  return typed_puts_then_gets(
      map, keys, [](auto& m, std::uint64_t k, std::uint64_t v) { m[k] = v; },
      [](auto& m, std::uint64_t k) { return m.at(k); });
}

void run_typed_hash_bench(int repetitions) {
  std::puts("\n### Typed hash map: d_hashmap<std::uint64_t, std::uint64_t>, 1 000 000 keys\n");
  row({"keys", "map", "put", "get"});
  row({"---", "---", "---", "---"});
  struct key_set {
    char const* name;
    std::vector<std::uint64_t> keys;
  };
  key_set const sets[] = {{"random", random_keys(1000000)},
                          {"i x 2^64 / golden ratio", stride_keys(1000000)}};
  for (key_set const& set : sets) {
    std::vector<double> const odb = median_of_runs(
        repetitions, [&](std::string const& dir) { return typed_odb_run(dir, set.keys); });
    std::vector<double> const peer = median_of_runs(
        repetitions, [&](std::string const& dir) { return typed_std_run(dir, set.keys); });
    char put_ratio[32], get_ratio[32];
    std::snprintf(put_ratio, sizeof put_ratio, "%.2f x", odb[0] / peer[0]);
    std::snprintf(get_ratio, sizeof get_ratio, "%.2f x", odb[1] / peer[1]);
    row({set.name, "d_hashmap, opened by name (growing past load 1)", us(odb[0]), us(odb[1])});
    row({set.name, "std::unordered_map", us(peer[0]), us(peer[1])});
    row({set.name, "ratio", put_ratio, get_ratio});
  }
}

std::vector<double> std_run(std::string const&, hash_inputs const& in) {
  std::unordered_map<std::string, std::string> map;
  return puts_then_gets(
      map, in, [](auto& m, std::string const& k, std::string const& v) { m[k] = v; },
      [](auto& m, std::string const& k) { return m.at(k); });
}

}  // namespace

void run_hash_benches(int repetitions) {
  std::puts("\n### Hash map by hash: time per operation, keys \"user_%05d\"\n");
  row({"map", "put, 1 000 keys", "get, 1 000 keys", "put, 100 000 keys", "get, 100 000 keys",
       "get 100 000 / 1 000"});
  row({"---", "---", "---", "---", "---", "---"});
  struct column {
    char const* name;
    std::vector<double> (*run)(std::string const&, hash_inputs const&);
  };
  column const columns[] = {
      {"d_hashmap, weighted sum, N buckets",
       [](std::string const& dir, hash_inputs const& in) {
         return odb_run<string_hash>(dir, in, static_cast<long>(in.keys.size()), 0);
       }},
      {"d_hashmap, strong hash, 16 buckets growing past load 1",
       [](std::string const& dir, hash_inputs const& in) {
         return odb_run<strong_string_hash>(dir, in, 16, 1.0);
       }},
      {"std::unordered_map", std_run},
  };
  hash_inputs const small(1000), large(100000);
  for (auto const& c : columns) {
    std::vector<double> const at_small =
        median_of_runs(repetitions, [&](std::string const& dir) { return c.run(dir, small); });
    std::vector<double> const at_large =
        median_of_runs(repetitions, [&](std::string const& dir) { return c.run(dir, large); });
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.2f", at_large[1] / at_small[1]);
    row({c.name, us(at_small[0]), us(at_small[1]), us(at_large[0]), us(at_large[1]), ratio});
  }
  run_typed_hash_bench(repetitions);
}

}  // namespace bench
