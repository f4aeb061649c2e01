// The allocator mirror's flat table against a standard map.
#include <disk_tools/address_table.h>

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

using disk_tools::address_table;
using disk_tools::word_t;

namespace {

// Random emplacements, replacements and erasures over count random addresses.
void random_changes(word_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<word_t> keys;
  for (word_t k = 0; k < count; ++k) keys.push_back(16 + static_cast<word_t>(rng() % 10000000));
  address_table<word_t> table;
  std::unordered_map<word_t, word_t> ref;
  for (int op = 1; op <= 60000; ++op) {
    word_t const k = keys[rng() % keys.size()];
    unsigned const what = rng() % 4;
    if (what == 0) {
      table[k] = ref[k] = op;
    } else if (what == 1) {
      ASSERT_EQ(table.erase(k), ref.erase(k) == 1) << "key " << k;
    } else {
      auto const [v, inserted] = table.emplace(k, op);
      ASSERT_EQ(inserted, ref.emplace(k, op).second) << "key " << k;
      ASSERT_EQ(*v, ref.at(k)) << "key " << k;
    }
    if (op % 5000 != 0) continue;
    ASSERT_EQ(table.size(), ref.size());
    for (word_t key : keys) {
      word_t const* v = table.find(key);
      auto const it = ref.find(key);  // values are never -1
      ASSERT_EQ(v ? *v : -1, it == ref.end() ? -1 : it->second) << "key " << key;
    }
  }
}

TEST(AddressTable, AgreesWithAStandardMapThroughRandomChanges) {
  // Seed 0: many keys, long probe runs with erasures inside. Then a few keys in 32 to 64
  // slots: runs wrap round the end of the array and erasures shift entries back across it.
  for (unsigned seed = 0; seed <= 20 && !::testing::Test::HasFatalFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    random_changes(seed == 0 ? 3000 : 24, seed == 0 ? 3 : seed);
  }
}

TEST(AddressTable, EmptyAndClearedTablesFindNothingAndTheEmptyKeyIsRefused) {
  address_table<word_t> table;
  EXPECT_EQ(table.find(16), nullptr);
  EXPECT_FALSE(table.erase(16));
  EXPECT_THROW(table.at(16), std::out_of_range);
  table[24] = 1;
  EXPECT_EQ(table.at(24), 1);
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.contains(24));
  table[24] = 2;
  EXPECT_EQ(table.at(24), 2);
  EXPECT_EQ(table.find(disk_tools::no_address), nullptr);
  EXPECT_THROW(table.emplace(disk_tools::no_address, 1), std::invalid_argument);
}

}  // namespace
