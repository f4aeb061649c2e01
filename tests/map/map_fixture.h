// The map tests' map types and a fixture that lays out node records by hand.
#pragma once

#include <string>
#include <vector>

#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include "harness.h"

namespace map_tests {

using int_map = disk_tools::d_map<unsigned, unsigned, unsigned>;
using int_node = int_map::node_type;
using str_ref = disk_tools::d_ref<std::string>;
using str_map = disk_tools::d_map<str_ref, str_ref, std::string>;
using disk_tools::word_t;

// One hand-made node: keys first, first + 1, ... (count of them), each with
// the value key * 10; children by index into the same list, -1 for none.
struct node_shape {
  unsigned first;
  int count;
  int left;
  int right;
};

class map_test : public test_support::database_test {
 protected:
  // Lays out the tree of shapes (index 0 is the root) as the map "m": node
  // records reserved like the map's own, chained in list order, and the
  // header naming root, size and chain head. Returns the node addresses.
  std::vector<word_t> build_tree(std::vector<node_shape> const& shapes);

  word_t header_of(std::string const& name) {
    return test_support::word_at(bytes(), static_cast<std::size_t>(db_->get_address(name)));
  }
  word_t header_word(std::string const& name, std::size_t offset) {
    return test_support::word_at(bytes(), static_cast<std::size_t>(header_of(name)) + offset);
  }
  void load(int_node& n, word_t address) {
    n.address = address;
    n.load(*env_.stream);
  }
  template <class Map>
  static void expect_sound(Map& m) {
    auto const problems = disk_tools::check_map(m);
    EXPECT_TRUE(problems.empty()) << problems.front();
  }
};

// Keys 0 .. n-1 in an order: "ascending", "descending", "from both ends", "random" (seeded by arg)
// or "runs" (descending runs of arg ascending keys, n a multiple of arg: many half-full leaves).
std::vector<unsigned> keys_in(std::string const& order, unsigned n, unsigned arg = 0);

// Every key is found with the value key * factor, and no other.
inline void expect_all_found(int_map& m, std::vector<unsigned> const& keys, unsigned factor) {
  EXPECT_EQ(m.size(), keys.size());
  for (unsigned k : keys) {
    unsigned out = 0;
    ASSERT_TRUE(m.get(k, out)) << k;
    ASSERT_EQ(out, k * factor);
  }
}

}  // namespace map_tests
