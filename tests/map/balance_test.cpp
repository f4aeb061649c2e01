// Rebalancing on hand-made trees: the shifts a pass chooses and the bound on
// the number of passes. Whole insert orders: balance_shape_test.cpp.
#include <gtest/gtest.h>

#include <cstdlib>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;

namespace {

using BalanceTest = map_test;

TEST_F(BalanceTest, EachTreeTakesItsShifts) {
  struct {
    char const* name;
    std::vector<node_shape> tree;
    long shifts, shifts4;
    long passes;  // -1: not pinned
    int new_root;
  } const rows[] = {
      {"left spine two longer", {{400, 1, 1, -1}, {300, 1, 2, -1}, {100, 1, -1, -1}}, 1, 0, 2, 1},
      {"left spine three longer",
       {{400, 1, 1, -1}, {300, 1, 2, -1}, {200, 1, 3, -1}, {100, 1, -1, -1}}, 0, 1, -1, 2},
      {"right spine four longer",
       {{100, 1, -1, 1}, {200, 1, -1, 2}, {300, 1, -1, 3}, {400, 1, -1, 4}, {500, 1, -1, -1}},
       0, 1, -1, 2},
      {"even", {{500, 1, 1, 2}, {300, 1, -1, -1}, {700, 1, -1, 3}, {800, 1, -1, -1}}, 0, 0, 1, 0},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.name);
    auto const at = build_tree(row.tree);
    auto const before = bytes();
    int_map m("m", &env_);
    m.balance();
    EXPECT_EQ(m.stats.shifts, row.shifts);
    EXPECT_EQ(m.stats.shifts4, row.shifts4);
    EXPECT_TRUE(row.passes < 0 || m.stats.passes == row.passes) << m.stats.passes;
    EXPECT_EQ(m.root.address, at[static_cast<std::size_t>(row.new_root)]);
    EXPECT_EQ(header_word("m", map_header::root_offset), m.root.address);
    EXPECT_LE(std::abs(m.root.get_right_count(*env_.stream) - m.root.get_left_count(*env_.stream)),
              1);
    // A tree left as it was is not written to.
    EXPECT_TRUE(row.shifts + row.shifts4 > 0 || bytes() == before);
    expect_sound(m);
    std::vector<unsigned> keys;
    for (auto const& node : row.tree) keys.push_back(node.first);
    expect_all_found(m, keys, 10);
  }
}

// A path that turns at every node, then a straight tail: a pass per node.
TEST_F(BalanceTest, RunsStopAtThePassLimitAndLaterRunsCarryOn) {
  constexpr int nodes = 2 * int_map::max_balance_passes + 20;
  constexpr int tail = nodes - 4;
  // Right turns take small rising keys, left turns large falling ones.
  auto const key = [](int i) -> unsigned {
    if (i > tail) return static_cast<unsigned>(10 * tail + (i - tail));
    return i % 2 == 0 ? static_cast<unsigned>(10 * i) : static_cast<unsigned>(1000000 - 10 * i);
  };
  std::vector<node_shape> shapes;
  std::vector<unsigned> keys;
  for (int i = 0; i < nodes; ++i) {
    int const child = i + 1 < nodes ? i + 1 : -1;
    bool const right = i >= tail || i % 2 == 0;
    shapes.push_back({key(i), 1, right ? -1 : child, right ? child : -1});
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
  expect_all_found(m, keys, 10);
}

}  // namespace
