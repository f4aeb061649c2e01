// Rebalancing on hand-made trees: the shifts a pass chooses and the bound on
// the number of passes. Whole insert orders: balance_shape_test.cpp.
#include <gtest/gtest.h>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;

namespace {

class BalanceTest : public map_test {
 protected:
  void expect_all_found(int_map& m, std::vector<unsigned> const& keys) {
    for (unsigned k : keys) {
      unsigned out = 0;
      ASSERT_TRUE(m.get(k, out)) << k;
      EXPECT_EQ(out, k * 10);
    }
  }
};

TEST_F(BalanceTest, LeftSpineTwoLongerTakesOneShiftAtTheRoot) {
  auto const at = build_tree({{400, 1, 1, -1}, {300, 1, 2, -1}, {100, 1, -1, -1}});
  int_map m("m", &env_);
  m.balance();
  EXPECT_EQ(m.stats.shifts, 1);
  EXPECT_EQ(m.stats.shifts4, 0);
  EXPECT_EQ(m.stats.passes, 2);
  EXPECT_EQ(m.root.address, at[1]);
  EXPECT_EQ(header_word("m", map_header::root_offset), at[1]);
  expect_sound(m);
  expect_all_found(m, {100, 300, 400});
}

TEST_F(BalanceTest, SpinesThreeApartTakeTheFourShift) {
  auto const left =
      build_tree({{400, 1, 1, -1}, {300, 1, 2, -1}, {200, 1, 3, -1}, {100, 1, -1, -1}});
  {
    int_map m("m", &env_);
    m.balance();
    EXPECT_EQ(m.stats.shifts4, 1);
    EXPECT_EQ(m.stats.shifts, 0);
    EXPECT_EQ(header_word("m", map_header::root_offset), left[2]);
    expect_sound(m);
  }
  auto const right = build_tree(
      {{100, 1, -1, 1}, {200, 1, -1, 2}, {300, 1, -1, 3}, {400, 1, -1, 4}, {500, 1, -1, -1}});
  int_map m("m", &env_);
  m.balance();
  EXPECT_EQ(m.stats.shifts4, 1);
  EXPECT_EQ(m.stats.shifts, 0);
  EXPECT_EQ(header_word("m", map_header::root_offset), right[2]);
  EXPECT_LE(m.root.get_right_count(*env_.stream) - m.root.get_left_count(*env_.stream), 1);
  expect_sound(m);
  expect_all_found(m, {100, 200, 300, 400, 500});
}

TEST_F(BalanceTest, EvenTreeTakesOnePassAndNoShift) {
  build_tree({{500, 1, 1, 2}, {300, 1, -1, -1}, {700, 1, -1, 3}, {800, 1, -1, -1}});
  auto const before = bytes();
  int_map m("m", &env_);
  m.balance();
  EXPECT_EQ(m.stats.passes, 1);
  EXPECT_EQ(m.stats.shifts + m.stats.shifts4, 0);
  EXPECT_EQ(bytes(), before);
}

// A path that turns at every node and ends in a straight tail: each pass
// straightens only the lowest turn, so the tree needs about one pass per node.
TEST_F(BalanceTest, RunsStopAtThePassLimitAndLaterRunsCarryOn) {
  constexpr int nodes = 2 * int_map::max_balance_passes + 20;
  constexpr int tail = nodes - 4;
  // Right turns take small rising keys, left turns large falling ones, so
  // the path is a search tree; the tail climbs from its first key.
  auto const key = [](int i) -> unsigned {
    if (i > tail) return static_cast<unsigned>(10 * tail + (i - tail));
    return i % 2 == 0 ? static_cast<unsigned>(10 * i) : static_cast<unsigned>(1000000 - 10 * i);
  };
  std::vector<node_shape> shapes;
  std::vector<unsigned> keys;
  for (int i = 0; i < nodes; ++i) {
    bool const goes_right = i >= tail || i % 2 == 0;
    int const child = i + 1 < nodes ? i + 1 : -1;
    shapes.push_back({key(i), 1, goes_right ? -1 : child, goes_right ? child : -1});
    keys.push_back(key(i));
  }
  build_tree(shapes);
  int_map m("m", &env_);
  expect_sound(m);

  m.balance();
  EXPECT_EQ(m.stats.passes, int_map::max_balance_passes);
  EXPECT_EQ(m.stats.cut_short, 1);
  expect_sound(m);

  for (int run = 0; run < 10 && m.stats.cut_short == m.stats.runs; ++run) m.balance();
  EXPECT_LT(m.stats.cut_short, m.stats.runs);
  expect_sound(m);
  expect_all_found(m, keys);
}

}  // namespace
