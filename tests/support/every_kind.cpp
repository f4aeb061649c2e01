// The database of every container kind that the compaction and read-only tests share.
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>

#include "harness.h"

namespace test_support {

using namespace disk_tools;
using string_map = d_map<d_ref<std::string>, d_ref<std::string>, std::string>;
using number_map = d_map<unsigned, unsigned, unsigned>;

void fill_every_kind(std::string const& name, int n) {
  d_env env{};
  d_open_options making;
  making.create_if_missing = true;
  d_database* db = open_database(name, &env, making);
  d_var<std::string> v("v", &env);
  for (int i = 0; i < n; ++i) v = std::string(static_cast<std::size_t>(i % 50), 'v');
  d_var<long>("n", &env) = 6;
  d_list<std::string> list("l", &env);
  for (int i = 0; i < n; ++i) list.push_back("l" + std::to_string(i));
  for (auto it = list.begin(); it != list.end();) {
    list.erase(it);
    if (it != list.end()) ++it;
  }
  d_list<int> named("inner", &env);
  named.push_back(-1);
  d_list<d_list<int>> lists("ll", &env);
  lists.push_back(named);
  for (int i = 0; i < 3; ++i) {
    d_list<int> inner(&env);
    for (int j = 0; j <= i; ++j) inner.push_back(i * 10 + j);
    lists.push_back(inner);
    if (i == 1) lists.push_back(inner);  // one inner list held twice
  }
  d_vector<std::string> vec("vec", 2, &env);
  for (int i = 0; i < n; ++i) vec.push_back("e" + std::to_string(i));
  vec[0] = "first";
  d_hashmap<std::string, std::string> hash("h", 16, &env);
  string_map strings("ms", &env);
  number_map numbers("mu", &env);
  // The caller owns this map's blocks: the value a put replaces, and each key
  // block made only to find a pair that is there.
  auto const put_string = [&](std::string const& k, std::string const& v) {
    d_ref<std::string> const key(k, &env), value(v, &env);
    d_ref<std::string> old;
    if (!strings.get(key, old)) return void(strings.put(key, value));
    strings.update(key, value);
    env.allocator->deallocate(old.address());
    env.allocator->deallocate(key.address());
  };
  for (int i = 0; i < 2 * n; ++i) {
    std::string const k = "k" + std::to_string(i % n);
    hash.put(k, "h" + std::to_string(i));
    put_string(k, "s" + std::to_string(i));
    numbers.put(static_cast<unsigned>(i * 7 % (3 * n)), static_cast<unsigned>(i));
  }
  // The typed maps grow under their policies (the slot table's set apart from
  // its default), and outgrow tables that compaction must not keep.
  d_hashmap<std::uint64_t, std::string> typed_hash("ht", &env);
  d_hashmap<std::uint64_t, std::uint64_t> slots("hs", &env);
  slots.set_max_load_factor(0.5);
  for (int i = 0; i < 2 * n; ++i) {
    typed_hash.put(static_cast<std::uint64_t>(i % n), "t" + std::to_string(i));
    slots.put(static_cast<std::uint64_t>(i % n) << 40, static_cast<std::uint64_t>(i));
  }
  for (int i = 0; i < n; i += 3) {
    typed_hash.erase(static_cast<std::uint64_t>(i));
    slots.erase(static_cast<std::uint64_t>(i) << 40);
    hash.erase("k" + std::to_string(i));
    d_ref<std::string> const probe("k" + std::to_string(i), &env);
    strings.erase(probe);
    env.allocator->deallocate(probe.address());
    numbers.erase(static_cast<unsigned>(i));
  }
  // Typed maps: strings short enough for their slots and long ones in blocks,
  // numbers, and lists and vectors as values.
  d_map<std::string, std::string> typed("ts", &env);
  d_map<std::uint64_t, double> typed_numbers("tn", &env);
  d_map<std::string, d_list<std::string>> index("ti", &env);
  d_hashmap<std::string, d_list<std::string>> hash_index("hi", &env);
  d_map<std::uint64_t, d_vector<std::uint64_t>> numbers_index("tv", &env);
  d_hashmap<std::string, d_vector<std::string>> hash_vectors("hv", &env);
  for (int i = 0; i < 2 * n; ++i) {
    std::string const k = std::string(static_cast<std::size_t>(i % 40), 'k') + std::to_string(i % n);
    typed.put(k, std::string(static_cast<std::size_t>(i % 50), 't') + std::to_string(i));
    typed_numbers.put(static_cast<std::uint64_t>(i * 7 % (3 * n)), i / 4.0);
    index[std::to_string(i % 7)].push_back(std::string(static_cast<std::size_t>(i % 30), 'p'));
    hash_index[std::string(static_cast<std::size_t>(i % 5), 'h') + std::to_string(i % 11)].push_back(
        std::to_string(i));
    numbers_index[static_cast<std::uint64_t>(i % 6)].push_back(static_cast<std::uint64_t>(i));
    hash_vectors["v" + std::to_string(i % 5)].push_back(std::string(static_cast<std::size_t>(i % 40), 'v'));
  }
  for (int i = 0; i < n; i += 3) {
    typed.erase(std::string(static_cast<std::size_t>(i % 40), 'k') + std::to_string(i));
    typed_numbers.erase(static_cast<std::uint64_t>(i));
  }
  index.erase("3");
  hash_index.erase("hhh3");
  numbers_index.erase(4);
  hash_vectors.erase("v2");
  hash_vectors["v3"][0] = "replaced";
  close_database(db);
}

}  // namespace test_support
