// Node records: layout, load and store, spine counts, neighbour values and
// the shifts, on records laid out by hand.
#include <gtest/gtest.h>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;
using test_support::word_at;

namespace {

class NodeTest : public map_test {};

TEST_F(NodeTest, RecordLayoutIsWrittenInOneTransfer) {
  int_map m("m", &env_);
  int_node n;
  n.address = m.root.address;
  n.left = 20000;
  n.parent = 30000;
  n.next = 40000;
  n.add_sorted({7, 70});
  n.add_sorted({3, 0xA1B2C3D4u});
  auto const writes = env_.stream->counts().writes;
  n.store(*env_.stream);
  EXPECT_EQ(env_.stream->counts().writes, writes + 1);

  auto const f = bytes();
  auto const at = static_cast<std::size_t>(n.address);
  std::vector<word_t> head;
  for (std::size_t o = 0; o < 48; o += 8) head.push_back(word_at(f, at + o));
  EXPECT_EQ(head, (std::vector<word_t>{20000, -1, 30000, 2, n.address, 40000}));
  // Slot 0 is the smaller key, then its 4-byte value, little-endian.
  EXPECT_EQ(std::string(&f[at + 48], 16),
            std::string("\x03\0\0\0\xD4\xC3\xB2\xA1\x07\0\0\0\x46\0\0\0", 16));
  EXPECT_EQ(str_map::layout::record_size, 1072u);
}

TEST_F(NodeTest, DamagedRecordsAreRefused) {
  auto const at = build_tree({{100, 2, -1, -1}});
  auto const refused = [&](std::size_t offset, word_t value) {
    auto f = bytes();
    env_.stream->write_word(at[0] + static_cast<word_t>(offset), value);
    int_node n;
    n.address = at[0];
    try {
      n.load(*env_.stream);
      ADD_FAILURE() << "accepted " << value << " at offset " << offset;
    } catch (char const* message) {
      EXPECT_STREQ(message, "corrupt database file...");
    }
    env_.stream->write_at(0, f.data(), f.size());
  };
  refused(map_node_head::count_offset, 65);
  refused(map_node_head::count_offset, -1);
  refused(map_node_head::address_offset, at[0] + 8);
  refused(map_node_head::left_offset, length());
  refused(map_node_head::next_offset, 5);
  refused(map_node_head::right_offset, -2);

  int_node beyond;
  beyond.address = length() - 100;
  EXPECT_THROW(beyond.load(*env_.stream), char const*);
}

TEST_F(NodeTest, SpineCountsAndNeighbourValuesFollowTheFile) {
  // 500 has left 200 -> right 300 -> right 400 and right 800 -> left 700..702.
  auto const at = build_tree({{500, 1, 1, 4},
                              {200, 1, -1, 2},
                              {300, 1, -1, 3},
                              {400, 1, -1, -1},
                              {800, 1, 5, -1},
                              {700, 3, -1, -1}});
  int_node root, leaf, right;
  load(root, at[0]);
  load(leaf, at[3]);
  load(right, at[4]);
  EXPECT_EQ(root.get_left_count(*env_.stream), 2);
  EXPECT_EQ(root.get_right_count(*env_.stream), 2);
  EXPECT_EQ(leaf.get_left_count(*env_.stream), 1);
  EXPECT_EQ(root.get_left_most_value(*env_.stream), 400u);
  EXPECT_EQ(root.get_right_most_value(*env_.stream), 700u);
  // A left child without a right child gives its own last key.
  EXPECT_EQ(right.get_left_most_value(*env_.stream), 702u);
  EXPECT_EQ(leaf.get_left_most_value(*env_.stream), 0u);
  EXPECT_EQ(leaf.get_right_most_value(*env_.stream), 0u);

  // The counts read the records, not the object's own links.
  root.left = no_address;
  EXPECT_EQ(root.get_left_count(*env_.stream), 2);
}

TEST_F(NodeTest, FourShiftsBelowAParentRelinkThatParent) {
  // 1000 has left X 400: left L 300 (left LL 200 with right 250, right 350).
  auto const at = build_tree({{1000, 1, 1, -1},
                              {400, 1, 2, -1},
                              {300, 1, 3, 5},
                              {200, 1, -1, 4},
                              {250, 1, -1, -1},
                              {350, 1, -1, -1}});
  int_map m("m", &env_);
  int_node x(&m.node_list);
  load(x, at[1]);
  x.shift_left4(*env_.stream, m.root);
  EXPECT_EQ(x.address, at[3]);
  EXPECT_EQ(m.root.address, at[0]);
  EXPECT_EQ(m.root.left, at[3]);  // the root object was reloaded
  int_node l, old_top;
  load(l, at[2]);
  load(old_top, at[1]);
  EXPECT_EQ(x.right, at[2]);
  EXPECT_EQ(x.parent, at[0]);
  EXPECT_EQ(l.left, at[4]);
  EXPECT_EQ(l.right, at[1]);
  EXPECT_EQ(old_top.left, at[5]);
  expect_sound(m);
}

}  // namespace
