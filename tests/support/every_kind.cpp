// The database of every container kind that the compaction and read-only tests share,
// and what it holds, read through every read path.
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/list_records.h>

#include <iterator>
#include <map>
#include <sstream>

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
    if (i != 1) continue;
    // One inner list held twice, as files written before such a push was
    // refused may hold: a second element made for an empty list of its own
    // is turned to name this one, and the empty list's blocks are freed.
    d_list<int> spare(&env);
    lists.push_back(spare);
    in_change(*env.database, [&] {
      word_t const value = std::prev(lists.end()).value_address();
      env.stream->write_word(value + static_cast<word_t>(inner_list_value::handle_offset),
                             inner.handle());
      env.stream->write_word(value + static_cast<word_t>(inner_list_value::count_offset),
                             inner.count());
      for (word_t b : {spare.sentinel_address(), spare.header_address(), spare.handle()})
        env.allocator->deallocate(b);
    });
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

namespace {

std::string text(std::string const& s) { return s; }
std::string text(d_ref<std::string> const& s) { return s.get_data(); }
template <class Number>
std::string text(Number n) {
  return std::to_string(n);
}
// A vector's *it, which the template above would take for a number.
template <class T>
std::string text(d_vector_element<T> const& element) {
  return text(T(element));
}

// The steps of a walk back from the end, as text.
template <class C>
std::string walked_back(C&& c) {
  std::size_t n = 0;
  for (auto it = c.end(); it != c.begin(); --it) ++n;
  return "<" + std::to_string(n) + ">";
}

// The key an iterator of a driver map names, as text.
template <class It>
std::string key_at(It const& it, It const& end) {
  return it == end ? "end" : text(it->key);
}

}  // namespace

std::string every_kind_contents(d_env& env, bool every_path) {
  std::string out;
  auto const add = [&out](auto const&... parts) { ((out += text(parts) + ","), ...); };
  // Pairs in walk order; containers by key, since a hash map walks them in no order.
  auto const pairs = [&](auto&& map) {
    for (auto const& [key, value] : map) add(text(key) + "=" + text(value));
  };
  auto const postings = [&](auto&& map) {
    std::map<std::string, std::string> by_key;
    for (auto const& [key, handle] : map) {
      std::string& line = by_key[text(key)];
      for (auto const& posting : map[key]) line += text(posting) + ",";
    }
    for (auto const& [key, line] : by_key) add(key + ":" + line);
  };
  d_var<std::string> var("v", &env);
  d_list<std::string> list("l", &env);
  d_list<d_list<int>> lists("ll", &env);
  d_vector<std::string> vec("vec", 2, &env);
  d_hashmap<std::string, std::string> hash("h", 16, &env);
  d_hashmap<std::uint64_t, std::string> typed_hash("ht", &env);
  d_hashmap<std::uint64_t, std::uint64_t> slots("hs", &env);
  number_map numbers("mu", &env);
  string_map strings("ms", &env);
  d_map<std::string, std::string> typed("ts", &env);
  d_map<std::uint64_t, double> typed_numbers("tn", &env);

  add(var.get_data(), d_var<long>("n", &env).get_data());
  for (auto const& s : list) add(s);
  for (d_list<int> inner : lists) {
    for (int v : inner) add(v);
    out += ";";
  }
  for (auto const& s : vec) add(s);
  pairs(hash);
  pairs(typed_hash);
  pairs(slots);
  add(typed_hash.max_load_factor(), typed_hash.buckets(), slots.max_load_factor(), slots.buckets());
  pairs(numbers);
  pairs(strings);
  pairs(typed);
  pairs(typed_numbers);
  postings(d_map<std::string, d_list<std::string>>("ti", &env));
  postings(d_hashmap<std::string, d_list<std::string>>("hi", &env));
  postings(d_map<std::uint64_t, d_vector<std::uint64_t>>("tv", &env));
  postings(d_hashmap<std::string, d_vector<std::string>>("hv", &env));
  add(env.database->roots().size());
  if (!every_path) return out;

  auto const key = [](unsigned i) { return "k" + std::to_string(i); };
  auto first = list.begin();
  add(std::string(*d_ptr<std::string>(var, &env)), walked_back(list), list.size(),
      std::string(dl_assign<std::string>{first}), list.get_data(first.value_address()));
  for (d_list<int> inner : lists) add(walked_back(inner));
  add(walked_back(vec), std::string(vec[1]), *vec.begin());
  std::string value;
  add(std::string(hash[key(1)]), hash.find(key(2)) != hash.end(), hash.get(key(3), value));
  unsigned number = 0;
  std::ostringstream tree;
  numbers.print_tree_node(&numbers.root, tree, 0);
  add(walked_back(numbers), numbers.size(), numbers.get(5, number), number, tree.str(),
      key_at(numbers.lower_bound(8), numbers.end()), key_at(numbers.upper_bound(9), numbers.end()),
      walked_back(numbers.range(10, 90)));
  pairs(numbers.range(10, 90));
  // A subscript of a missing key would add it.
  if (numbers.find(7) != numbers.end()) add(unsigned(numbers[7]));
  add(walked_back(strings), strings.get(key(1), value), value,
      key_at(strings.upper_bound(key(3)), strings.end()),
      walked_back(strings.range(key(10), key(90))));
  pairs(strings.range(key(10), key(90)));
  // The stored keys serve as d_ref keys without a block of their own.
  d_ref<std::string> stored;
  auto const some = strings.lower_bound(key(5));
  if (some != strings.end())
    add(strings.find(key(2)) != some, strings.get(some->key, stored), stored,
        std::string(strings[some->key]));
  add(walked_back(typed), walked_back(typed_numbers), list.check().size(), vec.check().size(),
      hash.check().size(), check_map(numbers).size(), check_map(strings).size());
  return out;
}

}  // namespace test_support
