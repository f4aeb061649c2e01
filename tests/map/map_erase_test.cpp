// 20 000 keys erased in each order: an emptied map is a new map again, holding
// no block but its header and root, and the keys coming back reuse the space.
// (Erase mixed with every other operation, checked as it goes: map_model_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;

namespace {

class EraseTest : public map_test {
 protected:
  // As a new map: a header with no pairs naming one empty root, which is the
  // whole chain, and no other block in use.
  template <class Map>
  void expect_as_new(Map& m) {
    EXPECT_EQ(m.size(), 0u);
    EXPECT_TRUE(m.begin() == m.end());
    EXPECT_EQ(m.chain_head, m.root.address);
    auto const h = map_node_head::read(*env_.stream, m.root.address, Map::layout::record_size);
    EXPECT_EQ(std::vector<word_t>({h.count, h.left, h.right, h.parent, h.next}),
              std::vector<word_t>({0, -1, -1, -1, -1}));
    std::vector<word_t> in_use;
    for (auto const& r : db_->allocator()->allocation_list()) in_use.push_back(r.data);
    std::sort(in_use.begin(), in_use.end());
    EXPECT_EQ(in_use, std::vector<word_t>({m.header_address, m.root.address}));
  }

  // Fills "m", erases every key in the order (sound at half, after reopening),
  // fills it again within a tenth more data than the first fill.
  template <class Map, class Add, class Erase>
  void fill_erase_fill(char const* order, Add add, Erase erase) {
    SCOPED_TRACE(order);
    auto const keys = keys_in(order, 20000, 20000);
    auto m = std::make_unique<Map>("m", &env_);
    for (unsigned k = 0; k < keys.size(); ++k) add(*m, k);
    auto const first = length();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      EXPECT_TRUE(erase(*m, keys[i])) << keys[i];
      if (i + 1 != keys.size() / 2) continue;
      m.reset();
      reopen();
      m = std::make_unique<Map>("m", &env_);
      expect_sound(*m);
      EXPECT_EQ(m->size(), keys.size() / 2);
    }
    expect_as_new(*m);
    for (unsigned k = 0; k < keys.size(); ++k) add(*m, k);
    expect_sound(*m);
    EXPECT_EQ(m->size(), keys.size());
    EXPECT_LE(length(), first + first / 10);
    // The next run starts on a fresh database.
    m.reset();
    afresh();
  }
};

TEST_F(EraseTest, EveryKeyOfEachMapInEachOrder) {
  for (char const* order : {"ascending", "descending", "random"})
    fill_erase_fill<int_map>(
        order, [](int_map& m, unsigned k) { m.insert(k, k); },
        [](int_map& m, unsigned k) {
          unsigned value = 0;
          return m.get(k, value) && value == k && m.erase(k) && !m.erase(k);
        });
  // A block per key and value, as showcase puts them; erased through the reference
  // put took, so no lookup stores a block; texts of one length reuse blocks exactly.
  auto const text = [](unsigned k) { return std::to_string(100000 + k).substr(1); };
  std::vector<str_ref> keys(20000);
  fill_erase_fill<str_map>(
      "ascending",
      [&](str_map& m, unsigned k) {
        keys[k] = str_ref(text(k), &env_);
        m.put(keys[k], str_ref("v" + text(k), &env_));
      },
      [&](str_map& m, unsigned k) {
        str_ref value;
        return m.get(keys[k], value) && value.get_data() == "v" + text(k) && m.erase(keys[k]) &&
               !m.erase(keys[k]);
      });
}

}  // namespace
