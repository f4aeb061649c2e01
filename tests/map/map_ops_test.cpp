// Map operations: attaching, lookups, the ways pairs are added, the element
// proxy, the node chain, printing, and damaged files.
#include <gtest/gtest.h>

#include <sstream>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;
using test_support::word_at;

namespace {

class MapTest : public map_test {
 protected:
  unsigned value_of(int_map& m, unsigned key) {
    unsigned out = 0;
    EXPECT_TRUE(m.get(key, out)) << key;
    return out;
  }
};

TEST_F(MapTest, NewMapGetsHeaderAndOneEmptyRootAndTouchesOnlyItsSlot) {
  auto const before = bytes();
  int_map m("m", &env_);
  auto const f = bytes();
  EXPECT_EQ(f.size(), 14266u);  // header, map header and one 560-byte node
  long const slot = db_->get_address("m");
  auto const header = static_cast<std::size_t>(word_at(f, static_cast<std::size_t>(slot)));
  EXPECT_EQ(static_cast<word_t>(header), m.header_address);
  EXPECT_EQ(word_at(f, header), 0);
  EXPECT_EQ(word_at(f, header + 8), m.root.address);
  EXPECT_EQ(word_at(f, header + 16), m.root.address);
  EXPECT_EQ(m.chain_head, m.root.address);
  // The next directory entry is untouched.
  EXPECT_TRUE(std::equal(before.begin() + slot + 8, before.begin() + 13616, f.begin() + slot + 8));

  str_map s("s", &env_);
  EXPECT_EQ(length(), 14266 + 24 + 33 + 9264 + 33);
}

TEST_F(MapTest, LookupsOnEmptyAndSingleNodeMaps) {
  int_map m("m", &env_);
  unsigned out = 77;
  EXPECT_FALSE(m.get(5, out));
  EXPECT_EQ(out, 77u);
  EXPECT_FALSE(m.update(5, 1));

  for (unsigned k = 10; k <= 20; ++k) m.insert(k, k * 2);
  // The node's range is inclusive at both ends.
  EXPECT_EQ(value_of(m, 10), 20u);
  EXPECT_EQ(value_of(m, 20), 40u);
  EXPECT_EQ(m.last_address, m.root.address);
  EXPECT_EQ(m.last_index, 10);
  EXPECT_FALSE(m.get(9, out));
  EXPECT_FALSE(m.get(21, out));
  EXPECT_TRUE(m.update(15, 1));
  EXPECT_EQ(value_of(m, 15), 1u);
}

TEST_F(MapTest, PutIntoAnEmptyMapStartsANewRootAheadOfTheFirstNode) {
  int_map m("m", &env_);
  word_t const first = m.root.address;
  EXPECT_TRUE(m.put(3, 30));
  EXPECT_NE(m.root.address, first);
  EXPECT_EQ(m.chain_head, m.root.address);
  EXPECT_EQ(map_node_head::read(*env_.stream, m.root.address, int_map::layout::record_size).next,
            first);
  EXPECT_EQ(header_word("m", map_header::root_offset), m.root.address);
  EXPECT_EQ(header_word("m", map_header::size_offset), 1);

  EXPECT_FALSE(m.put(3, 31));
  EXPECT_TRUE(m.put(4, 40));
  EXPECT_EQ(value_of(m, 3), 31u);
  EXPECT_EQ(m.size(), 2);
  expect_sound(m);
}

TEST_F(MapTest, SixtyFourKeysFillTheRootAndTheNextStartsARightLeaf) {
  int_map m("m", &env_);
  for (unsigned k = 0; k < 64; ++k) m.insert(k, k);
  EXPECT_EQ(m.root.count, 64);
  EXPECT_EQ(m.full_nodes, 1);
  EXPECT_EQ(m.root.right, -1);

  m.insert(64, 64);
  ASSERT_NE(m.root.right, -1);
  int_node leaf;
  load(leaf, m.root.right);
  EXPECT_EQ(leaf.count, 1);
  EXPECT_EQ(leaf.pairs[0].key, 64u);
  EXPECT_EQ(leaf.parent, m.root.address);
  EXPECT_EQ(header_word("m", map_header::chain_head_offset), leaf.address);
  EXPECT_EQ(m.stats.runs, 0);

  // The second node to fill up runs the balancing pass.
  for (unsigned k = 65; k < 128; ++k) m.insert(k, k);
  EXPECT_EQ(m.stats.runs, 1);
  EXPECT_EQ(m.full_nodes, 0);
  EXPECT_EQ(m.size(), 128);
  expect_sound(m);
}

// In a full node a present key only changes its value (a duplicate would
// spill a pair and grow the map); a new key inside it spills the smallest
// pair into a new left leaf.
TEST_F(MapTest, FullNodeTakesPresentKeysInPlaceAndSpillsForNewOnes) {
  int_map m("m", &env_);
  for (unsigned k = 0; k < 128; k += 2) m.insert(k, k);
  ASSERT_EQ(m.root.count, 64);
  EXPECT_FALSE(m.insert(62, 620));
  EXPECT_FALSE(m.insert(0, 1));
  EXPECT_FALSE(m.insert(126, 2));
  EXPECT_EQ(m.size(), 64);
  EXPECT_EQ(m.root.left, -1);
  EXPECT_EQ(value_of(m, 62), 620u);
  EXPECT_EQ(value_of(m, 126), 2u);

  EXPECT_TRUE(m.insert(63, 630));
  EXPECT_EQ(m.size(), 65);
  EXPECT_EQ(header_word("m", map_header::size_offset), 65);
  EXPECT_EQ(m.root.first_key(), 2u);
  ASSERT_NE(m.root.left, -1);
  int_node left;
  load(left, m.root.left);
  EXPECT_EQ(left.count, 1);
  EXPECT_EQ(left.pairs[0].key, 0u);
  EXPECT_EQ(value_of(m, 63), 630u);
  expect_sound(m);
}

TEST_F(MapTest, SubscriptAddsAMissingStringKeyWithAnEmptyValue) {
  str_map m("s", &env_);
  str_ref const a("a", &env_), b("b", &env_);
  m.put(a, str_ref("A", &env_));
  m.put(str_ref("c", &env_), str_ref("C", &env_));
  EXPECT_EQ(static_cast<std::string>(m[b]), "");
  EXPECT_EQ(m.size(), 3);
  m[b] = str_ref("B", &env_);
  EXPECT_EQ(static_cast<std::string>(m[a]), "A");
  // What the proxy wrote is what a lookup finds afterwards.
  str_ref out;
  EXPECT_TRUE(m.get(b, out));
  EXPECT_EQ(out.get_data(), "B");

  // Reads construct node objects, which must reserve no records.
  auto const size = length();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(static_cast<std::string>(m[b]), "B");
    EXPECT_TRUE(m.get(a, out));
    str_map::node_type n;
    n.address = m.root.address;
    n.load(*env_.stream);
    EXPECT_EQ(n.pairs[3].key.address(), -1);
  }
  EXPECT_EQ(length(), size);
}

TEST_F(MapTest, ProxiesNameASlotAndRefuseOneThatIsNotThere) {
  int_map m("m", &env_);
  m[7] = 70;
  EXPECT_EQ(value_of(m, 7), 70u);
  EXPECT_EQ(static_cast<unsigned>(m[8]), 0u);

  d_map_assign<unsigned, unsigned, unsigned> null_proxy;
  EXPECT_THROW((void)static_cast<unsigned>(null_proxy), char const*);
  d_map_assign<unsigned, unsigned, unsigned> past_count(m.root.address, 5, env_.stream, &m);
  try {
    past_count = 1;
    ADD_FAILURE() << "a slot past the count was written";
  } catch (char const* message) {
    EXPECT_STREQ(message, "map element out of range...");
  }
}

TEST_F(MapTest, StringMapSurvivesReopeningWithEveryPair) {
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("key" + std::to_string((i * 7919) % 300));
  {
    str_map m("s", &env_);
    for (auto const& k : keys) m[str_ref(k, &env_)] = str_ref("value of " + k, &env_);
    EXPECT_GT(m.stats.runs, 0);
  }
  reopen();
  str_map m("s", &env_);
  EXPECT_EQ(m.size(), 300);
  expect_sound(m);
  for (auto const& k : keys) {
    str_ref out;
    ASSERT_TRUE(m.get(str_ref(k, &env_), out)) << k;
    EXPECT_EQ(out.get_data(), "value of " + k);
  }
}

TEST_F(MapTest, PrintTreeShowsFirstKeysInPreOrder) {
  build_tree({{1000, 64, 1, 3}, {10, 2, -1, 2}, {700, 1, -1, -1}, {5000, 1, -1, -1}});
  int_map m("m", &env_);
  std::ostringstream out;
  m.print_tree_node(&m.root, out, 0);
  EXPECT_EQ(out.str(), "1000\n   10\n      700\n   5000\n");
}

TEST_F(MapTest, DamagedMapsGiveErrorsNotHangs) {
  auto const at = build_tree({{500, 1, 1, -1}, {200, 1, -1, -1}});
  // A child that names its parent as its own left child: a cycle in the tree.
  env_.stream->write_word(at[1] + static_cast<word_t>(map_node_head::left_offset), at[0]);
  {
    int_map m("m", &env_);
    unsigned out = 0;
    EXPECT_THROW(m.get(1, out), char const*);
    EXPECT_THROW(m.insert(1, 1), char const*);
    EXPECT_THROW(m.balance(), char const*);
    std::ostringstream printed;
    EXPECT_THROW(m.print_tree_node(&m.root, printed, 0), char const*);
    EXPECT_FALSE(check_map(m).empty());
  }
  // A header that names a root outside the file.
  env_.stream->write_word(header_of("m") + static_cast<word_t>(map_header::root_offset),
                          length());
  EXPECT_THROW(int_map("m", &env_), char const*);
}

TEST_F(MapTest, CheckReportsBrokenInvariants) {
  auto const at = build_tree({{500, 2, 1, 2}, {100, 1, -1, -1}, {900, 1, -1, -1}});
  {
    int_map m("m", &env_);
    expect_sound(m);
  }
  // A left child whose key is not below its parent's first key.
  int_node left;
  load(left, at[1]);
  left.pairs[0].key = 600;
  left.store(*env_.stream);
  // A right child that names the wrong parent.
  env_.stream->write_word(at[2] + static_cast<word_t>(map_node_head::parent_offset), at[1]);
  // The chain loops back to its newest node.
  env_.stream->write_word(at[0] + static_cast<word_t>(map_node_head::next_offset), at[2]);
  int_map m("m", &env_);
  std::string all;
  for (auto const& p : check_map(m)) all += p + "\n";
  for (char const* problem : {"key 600 is not below 500", "names parent", "twice"}) {
    EXPECT_NE(all.find(problem), std::string::npos) << all;
  }
}

}  // namespace
