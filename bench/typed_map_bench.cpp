// The typed map d_map<K, V>: 100 000 string pairs (keys of 8-40 bytes, values
// of 10-100, random order) beside std::map and a Boost.Interprocess map of
// interprocess strings in a mapped file; 1 000 000 random 64-bit keys beside
// std::map. Our map is timed opened by default and with d_journal::off.
#include <disk_tools/d_map.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "benches.h"
#include "scratch_db.h"
#include "timing.h"

#ifdef ODB_BENCH_HAS_INTERPROCESS
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/containers/map.hpp>
#include <boost/interprocess/containers/string.hpp>
#include <boost/interprocess/managed_mapped_file.hpp>
#endif

namespace bench {

namespace {

std::string random_text(std::mt19937_64& rng, int low, int high) {
  std::string s(std::uniform_int_distribution<int>(low, high)(rng), ' ');
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

struct string_pairs {
  std::vector<std::string> keys, values;
};

string_pairs make_string_pairs(std::size_t n) {
  std::mt19937_64 rng(7);
  string_pairs p;
  for (std::size_t i = 0; i < n; ++i) {
    p.keys.push_back(random_text(rng, 8, 40));
    p.values.push_back(random_text(rng, 10, 100));
  }
  return p;
}

// Times inserting every pair, then looking every key up; a lookup that misses
// is a fault of the store, not a time.
template <class Insert, class Find>
std::vector<double> insert_then_find(std::size_t n, Insert insert, Find find) {
  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < n; ++i) insert(i);
  double const inserted = seconds_since(start);
  start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < n; ++i) {
    if (!find(i)) throw std::runtime_error("typed map bench: a key went missing");
  }
  return {inserted, seconds_since(start)};
}

template <class K, class V, class Keys, class Values>
std::vector<double> ours(std::string const& dir, journal mode, Keys const& keys,
                         Values const& values) {
  scratch_db db(dir, mode, mode == journal::off ? "typed_off" : "typed");
  disk_tools::d_map<K, V> m("bench", &db.env);
  V out{};
  return insert_then_find(
      keys.size(), [&](std::size_t i) { m.put(keys[i], values[i]); },
      [&](std::size_t i) { return m.get(keys[i], out); });
}

template <class K, class V, class Keys, class Values>
std::vector<double> standard(Keys const& keys, Values const& values) {
  std::map<K, V> m;
  return insert_then_find(
      keys.size(), [&](std::size_t i) { m[keys[i]] = values[i]; },
      [&](std::size_t i) { return m.find(keys[i]) != m.end(); });
}

#ifdef ODB_BENCH_HAS_INTERPROCESS
namespace bip = boost::interprocess;
using segment_manager = bip::managed_mapped_file::segment_manager;
using ip_string =
    bip::basic_string<char, std::char_traits<char>, bip::allocator<char, segment_manager>>;
using ip_map = bip::map<ip_string, ip_string, std::less<ip_string>,
                        bip::allocator<std::pair<ip_string const, ip_string>, segment_manager>>;

std::vector<double> interprocess(std::string const& dir, string_pairs const& p) {
  std::size_t const size = (std::size_t{64} << 20) + p.keys.size() * 512;
  bip::managed_mapped_file file(bip::create_only, (dir + "/interprocess.bin").c_str(), size);
  bip::allocator<char, segment_manager> chars(file.get_segment_manager());
  auto* m = file.construct<ip_map>("map")(std::less<ip_string>(), file.get_segment_manager());
  // A lookup key is made in the file too: the map compares ip_strings.
  return insert_then_find(
      p.keys.size(),
      [&](std::size_t i) {
        m->emplace(ip_string(p.keys[i].data(), p.keys[i].size(), chars),
                   ip_string(p.values[i].data(), p.values[i].size(), chars));
      },
      [&](std::size_t i) {
        return m->find(ip_string(p.keys[i].data(), p.keys[i].size(), chars)) != m->end();
      });
}
#endif

void print_rows(char const* what, std::vector<double> const& t, bool with_peer) {
  // t: ours default (insert, lookup), ours journal off, std::map, [interprocess]
  char const* const phases[] = {"insert", "lookup"};
  for (std::size_t p = 0; p < 2; ++p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", t[p] / t[4 + p]);
    std::vector<std::string> cells{what, phases[p], ms(t[p]), ms(t[2 + p]), ms(t[4 + p]), buf};
    if (with_peer) {
      cells.push_back(t.size() > 6 ? ms(t[6 + p]) : "(not built)");
      char peer[32];
      std::snprintf(peer, sizeof peer, "%.2f", t.size() > 6 ? t[p] / t[6 + p] : 0.0);
      cells.push_back(t.size() > 6 ? peer : "-");
    }
    row(cells);
  }
}

}  // namespace

void run_typed_map_benches(int repetitions) {
  std::puts("\n### Typed map d_map<std::string, std::string>: 100 000 random pairs\n");
  row({"map", "phase", "odb default", "odb journal off", "std::map", "odb / std::map",
       "interprocess map", "odb / interprocess"});
  row({"---", "---", "---", "---", "---", "---", "---", "---"});
  string_pairs const strings = make_string_pairs(100000);
  auto const s = median_of_runs(repetitions, [&](std::string const& dir) {
    std::vector<double> t = ours<std::string, std::string>(dir, journal::plain, strings.keys,
                                                           strings.values);
    auto const off =
        ours<std::string, std::string>(dir, journal::off, strings.keys, strings.values);
    t.insert(t.end(), off.begin(), off.end());
    auto const st = standard<std::string, std::string>(strings.keys, strings.values);
    t.insert(t.end(), st.begin(), st.end());
#ifdef ODB_BENCH_HAS_INTERPROCESS
    auto const ip = interprocess(dir, strings);
    t.insert(t.end(), ip.begin(), ip.end());
#endif
    return t;
  });
  print_rows("string to string", s, true);

  std::puts("\n### Typed map d_map<std::uint64_t, std::uint64_t>: 1 000 000 random keys\n");
  row({"map", "phase", "odb default", "odb journal off", "std::map", "odb / std::map"});
  row({"---", "---", "---", "---", "---", "---"});
  std::mt19937_64 rng(11);
  std::vector<std::uint64_t> keys(1000000);
  for (auto& k : keys) k = rng();
  auto const n = median_of_runs(repetitions, [&](std::string const& dir) {
    std::vector<double> t = ours<std::uint64_t, std::uint64_t>(dir, journal::plain, keys, keys);
    auto const off = ours<std::uint64_t, std::uint64_t>(dir, journal::off, keys, keys);
    t.insert(t.end(), off.begin(), off.end());
    auto const st = standard<std::uint64_t, std::uint64_t>(keys, keys);
    t.insert(t.end(), st.begin(), st.end());
    return t;
  });
  print_rows("u64 to u64", n, false);
}

}  // namespace bench
