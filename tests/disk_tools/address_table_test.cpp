// The flat table the allocator's mirror keeps its records in: it must agree
// with a standard map through any mix of insertions, replacements and
// erasures, including erasures in the middle of long probe runs.
#include <disk_tools/address_table.h>

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

using disk_tools::address_table;
using disk_tools::word_t;

namespace {

void expect_same(address_table<word_t> const& table, std::unordered_map<word_t, word_t> const& ref,
                 std::vector<word_t> const& keys) {
  ASSERT_EQ(table.size(), ref.size());
  for (word_t k : keys) {
    auto const it = ref.find(k);
    word_t const* v = table.find(k);
    if (it == ref.end()) {
      ASSERT_EQ(v, nullptr) << "key " << k << " should be absent";
    } else {
      ASSERT_NE(v, nullptr) << "key " << k << " should be present";
      ASSERT_EQ(*v, it->second) << "key " << k;
    }
  }
}

// Random emplacements, replacements and erasures over `count` random
// addresses, checked against a standard map. (Evenly spaced addresses would
// spread too evenly over the slots to ever collide.)
void random_changes(word_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<word_t> keys;
  for (word_t k = 0; k < count; ++k) keys.push_back(16 + static_cast<word_t>(rng() % 10000000));
  address_table<word_t> table;
  std::unordered_map<word_t, word_t> ref;
  for (int op = 0; op < 60000; ++op) {
    word_t const k = keys[rng() % keys.size()];
    switch (rng() % 4) {
      case 0:
      case 1: {
        auto const [v, inserted] = table.emplace(k, op);
        EXPECT_EQ(inserted, ref.emplace(k, op).second);
        EXPECT_EQ(*v, ref.at(k));
        break;
      }
      case 2:
        table[k] = op;
        ref[k] = op;
        break;
      default:
        EXPECT_EQ(table.erase(k), ref.erase(k) == 1);
    }
    if (op % 5000 == 0) {
      expect_same(table, ref, keys);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  expect_same(table, ref, keys);
}

TEST(AddressTable, AgreesWithAStandardMapThroughRandomChanges) {
  // Many keys: long runs of probes, erasures inside them.
  random_changes(3000, 3);
}

TEST(AddressTable, AgreesWithAStandardMapInASmallFullTable) {
  // A few keys in a table of 32 to 64 slots: runs often wrap round the end
  // of the array, and erasures must shift entries back across it.
  for (unsigned seed = 1; seed <= 20; ++seed) random_changes(24, seed);
}

TEST(AddressTable, EmptiedTableFindsNothingAndRefusesTheEmptyKey) {
  address_table<word_t> table;
  EXPECT_EQ(table.find(16), nullptr);
  EXPECT_FALSE(table.erase(16));
  EXPECT_THROW(table.at(16), std::out_of_range);
  for (word_t k = 16; k < 2000; k += 8) table[k] = k * 2;
  EXPECT_EQ(table.at(1000), 2000);
  for (word_t k = 16; k < 2000; k += 8) EXPECT_TRUE(table.erase(k));
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.contains(1000));
  table[24] = 1;
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.contains(24));
  table[24] = 2;
  EXPECT_EQ(table.at(24), 2);
  EXPECT_EQ(table.find(disk_tools::no_address), nullptr);
  EXPECT_THROW(table.emplace(disk_tools::no_address, 1), std::invalid_argument);
}

}  // namespace
