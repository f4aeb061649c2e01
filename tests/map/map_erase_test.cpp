// Erasing whole maps: 20 000 keys erased in ascending, descending and random
// order, sound after every quarter and after reopening; an emptied map is a new
// map again, holding no block but its header and root; the space erase frees
// is used again when the keys come back. (Erase mixed with every other
// operation: map_model_test.cpp.)
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

  // Fills the map "m" by add(k) for every key, erases by erase(k) in the
  // given order, and fills it again. Returns the data lengths after the
  // first and the second fill.
  template <class Map, class Add, class Erase>
  std::pair<std::int64_t, std::int64_t> fill_erase_fill(char const* order, Add add,
                                                        Erase erase) {
    auto const keys = keys_in(order, 20000, 20000);
    std::pair<std::int64_t, std::int64_t> lengths;
    auto m = std::make_unique<Map>("m", &env_);
    for (unsigned k = 0; k < keys.size(); ++k) add(*m, k);
    lengths.first = length();
    std::size_t const quarter = keys.size() / 4;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      EXPECT_TRUE(erase(*m, keys[i])) << keys[i];
      if ((i + 1) % quarter != 0) continue;
      expect_sound(*m);
      EXPECT_EQ(m->size(), keys.size() - i - 1);
      if (i + 1 == 2 * quarter) {
        m.reset();
        reopen();
        m = std::make_unique<Map>("m", &env_);
        expect_sound(*m);
      }
    }
    expect_as_new(*m);
    for (unsigned k = 0; k < keys.size(); ++k) add(*m, k);
    expect_sound(*m);
    EXPECT_EQ(m->size(), keys.size());
    lengths.second = length();
    // The next run starts on a fresh database.
    m.reset();
    close();
    EXPECT_TRUE(create_database(name(), &env_));
    reopen();
    return lengths;
  }
};

TEST_F(EraseTest, EveryKeyOfTheNumberMapInEachOrder) {
  for (char const* order : {"ascending", "descending", "random"}) {
    SCOPED_TRACE(order);
    // Inserted as mapdrill does: the first node takes the first pairs.
    auto const [first, second] = fill_erase_fill<int_map>(
        order, [](int_map& m, unsigned k) { m.insert(k, k); },
        [](int_map& m, unsigned k) {
          unsigned value = 0;
          return m.get(k, value) && value == k && m.erase(k) && !m.erase(k);
        });
    EXPECT_LE(second, first + first / 10);
  }
}

TEST_F(EraseTest, EveryKeyOfTheStringMapGivesItsBlocksBack) {
  // Added as showcase does, a block per key and per value, through put. Each
  // key is erased through the reference it was put with, so that no lookup
  // stores a block of its own. Keys and values are texts of one length, so
  // that a block given back fits the next string exactly.
  auto const text = [](unsigned k) {
    std::string digits = std::to_string(k);
    return std::string(5 - digits.size(), '0') + digits;
  };
  std::vector<str_ref> keys(20000);
  auto const add = [&](str_map& m, unsigned k) {
    keys[k] = str_ref(text(k), &env_);
    m.put(keys[k], str_ref("v" + text(k), &env_));
  };
  auto const erase = [&](str_map& m, unsigned k) {
    str_ref value;
    return m.get(keys[k], value) && value.get_data() == "v" + text(k) && m.erase(keys[k]) &&
           !m.erase(keys[k]);
  };
  auto const [first, second] = fill_erase_fill<str_map>("ascending", add, erase);
  EXPECT_LE(second, first + first / 10);
}

}  // namespace
