// Reading writes nothing: a database holding every kind of container is opened in each
// journal mode, read through every read path of every container (walks both ways, lookups,
// bounds, proxies read, sizes and checks; the string map by plain keys), and closed; the
// file must then be byte for byte what it was before.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using std::string;
using int_map = d_map<unsigned, unsigned, unsigned>;
using str_ref = d_ref<string>;
using str_map = d_map<str_ref, str_ref, string>;

string key(unsigned i) { return "k" + std::to_string(i); }

// The steps of a walk forward and of one back (the readers below return such counts, so
// that no read is left out as unused).
template <class C>
std::size_t walk_both_ways(C&& c) {
  auto n = static_cast<std::size_t>(std::distance(c.begin(), c.end()));
  for (auto it = c.end(); it != c.begin(); --it) ++n;
  return n;
}

std::size_t read_everything(d_env& env) {
  std::size_t read = 0;
  d_var<string> var("v", &env);
  d_ptr<string> pointer(var, &env);
  read += var.get_data().size() + string(*pointer).size();

  d_list<string> list("l", &env);
  auto first = list.begin();
  read += walk_both_ways(list) + list.size() + string(dl_assign<string>{first}).size() +
          list.get_data(first.value_address()).size() + list.check().size();
  d_list<d_list<int>> lists("ll", &env);
  for (d_list<int> inner : lists) read += walk_both_ways(inner);

  d_vector<string> vector("vec", 2, &env);
  read += walk_both_ways(vector) + string(vector[1]).size() + (*vector.begin()).size() +
          vector.check().size();

  d_hashmap<string, string> hash("h", 16, &env);
  string value;
  read += static_cast<std::size_t>(std::distance(hash.begin(), hash.end())) +
          string(hash[key(1)]).size() + (hash.find(key(2)) != hash.end()) +
          static_cast<std::size_t>(hash.get(key(3), value)) + hash.check().size();

  int_map numbers("mu", &env);
  unsigned number = 0;
  std::ostringstream tree;
  numbers.print_tree_node(&numbers.root, tree, 0);
  read += walk_both_ways(numbers) + numbers.size() + numbers.get(5, number) + unsigned(numbers[7]) +
          (numbers.find(7) != numbers.end()) + numbers.lower_bound(8)->key +
          numbers.upper_bound(9)->key + walk_both_ways(numbers.range(10, 90)) +
          tree.str().size() + check_map(numbers).size();

  str_map strings("ms", &env);
  str_ref stored;
  auto const some = strings.lower_bound(key(5));
  read += walk_both_ways(strings) + strings.get(key(1), value) + (strings.find(key(2)) != some) +
          strings.upper_bound(key(3))->key.get_data().size() +
          walk_both_ways(strings.range(key(10), key(90))) + check_map(strings).size() +
          // The stored keys serve as d_ref keys without a block of their own.
          strings.get(some->key, stored) + string(strings[some->key]).size();
  return read;
}

using ReadOnly = test_support::database_test;

TEST_F(ReadOnly, ReadingEveryContainerLeavesTheFileAsItWas) {
  close();
  test_support::fill_every_kind(name(), 300);
  std::vector<char> const before = test_support::read_file(path());
  std::size_t read = 0;
  for (d_journal mode : {d_journal::atomic, d_journal::durable, d_journal::off}) {
    options_ = d_open_options{mode};
    open();
    read = read_everything(env_);
    close();
    std::vector<char> const after = test_support::read_file(path());
    auto const diverge = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
    EXPECT_TRUE(after == before) << test_support::mode_name(mode) << ": " << before.size()
                                 << " bytes before, " << after.size()
                                 << " after, first change at " << (diverge.first - before.begin());
  }
  EXPECT_GT(read, 300u);
}

}  // namespace
