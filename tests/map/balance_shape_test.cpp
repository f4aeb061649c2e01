// Balancing through the in-memory shape must leave the file byte for byte as the
// pass that reads every node does, in any insert order and with erases between;
// a second open database must not share the shape. And on hand-made trees, the
// shifts a pass chooses and the bound on the number of passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;

namespace {

// A database of its own with the map "m", balancing with or without the shape.
struct twin {
  d_env env{};
  d_database* db = nullptr;
  std::unique_ptr<int_map> map;
  std::string name;
  bool with_shape;

  twin(std::string n, bool shape) : name(std::move(n)), with_shape(shape) {
    create_database(name, &env), open();
  }
  ~twin() { close(); }
  void open() {
    db = open_database(name, &env);
    (map = std::make_unique<int_map>("m", &env))->use_shape(with_shape);
  }
  void close() { map.reset(); close_database(db); }
  void reopen() { close(), open(); }
  std::vector<char> bytes() const { return test_support::read_file(name + ".odb"); }
};

// Applies op to a map balancing with the shape and one without: the files
// must be the same every 500 steps, after a final balance and after reopening.
class ShapeTwinTest : public ::testing::Test {
 protected:
  void expect_twins_agree(std::size_t steps, std::function<void(int_map&, std::size_t)> const& op,
                          std::size_t reopen_every = 0) {
    std::string const run = std::to_string(runs_++);
    twin fast(dir_.file("fast" + run), true), slow(dir_.file("slow" + run), false);
    for (std::size_t i = 0; i < steps; ++i) {
      op(*fast.map, i), op(*slow.map, i);
      if (reopen_every && (i + 1) % reopen_every == 0) fast.reopen(), slow.reopen();
      if ((i + 1) % 500 == 0) { ASSERT_EQ(fast.bytes(), slow.bytes()) << "after step " << i; }
    }
    // Balancing while operating settles well inside the pass limit.
    EXPECT_GT(fast.map->stats.runs, 0) << "the operations never balanced";
    EXPECT_EQ(fast.map->stats.cut_short, 0);
    fast.map->balance(), slow.map->balance();
    ASSERT_EQ(fast.bytes(), slow.bytes()) << "after balance";
    fast.reopen(), slow.reopen();
    ASSERT_EQ(fast.bytes(), slow.bytes()) << "after reopening";
    EXPECT_EQ(check_map(*fast.map), std::vector<std::string>{});
    if (keys_) expect_all_found(*fast.map, *keys_, 3);
  }

  test_support::scratch_dir dir_;
  std::vector<unsigned> const* keys_ = nullptr;
  int runs_ = 0;
};

TEST_F(ShapeTwinTest, InsertOrders) {
  struct {
    char const* order;
    unsigned n, arg;
    std::size_t reopen_every;
  } const rows[] = {{"ascending", 20000, 0, 0}, {"descending", 20000, 0, 0},
                    {"from both ends", 20000, 0, 0}, {"random", 20000, 20240607, 0},
                    {"runs", 12000, 40, 0},          {"random", 8000, 3, 1001}};
  for (auto const& row : rows) {
    SCOPED_TRACE(std::string(row.order) + " " + std::to_string(row.arg) + " " +
                 std::to_string(row.reopen_every));
    auto const keys = keys_in(row.order, row.n, row.arg);
    keys_ = &keys;
    expect_twins_agree(
        keys.size(), [&keys](int_map& m, std::size_t i) { m.insert(keys[i], keys[i] * 3); },
        row.reopen_every);
  }
}

TEST_F(ShapeTwinTest, PutsErasesAndTheProxy) {
  // put checks through update, which reloads the root; present keys only change values; the proxy
  // rewrites a node from outside the cache. Every other quarter erases the keys below 8000 in
  // ascending order, all but a few, so that nodes empty and leave the tree between balance runs.
  expect_twins_agree(16000, [](int_map& m, std::size_t i) {
    auto const key = static_cast<unsigned>((i * 7919) % 9000);
    if ((i / 4000) % 2 == 1 && i % 64 != 0) {
      m.erase(static_cast<unsigned>(2 * (i % 4000)));
      m.erase(static_cast<unsigned>(2 * (i % 4000) + 1));
    } else if (i % 5 == 4) {
      m[key] = static_cast<unsigned>(i);
    } else {
      m.put(key, static_cast<unsigned>(i));
    }
  });
}

// R(5000) with left spine A(3000) <- B <- C and right D(7000) over E(6000), F(9000).
// A takes one shift; the full pass reads E into the node object before A, so A is
// written back with E's pairs in slots 1..63. The shape skips D and must match.
using ShapeTreeTest = map_test;
std::vector<node_shape> const spine_tree = {{5000, 64, 1, 4}, {3000, 1, 2, -1}, {2000, 1, 3, -1},
                                            {1000, 1, -1, -1}, {7000, 64, 5, 6},
                                            {6000, 64, -1, -1}, {9000, 64, -1, -1}};

TEST_F(ShapeTreeTest, RotatedNodeKeepsThePairsOfTheNodesPassedOver) {
  auto const at = build_tree(spine_tree);
  auto const before = bytes();
  std::vector<char> after[2];
  for (bool shape : {true, false}) {
    close();
    test_support::write_file(path(), before);
    reopen();
    {
      int_map m("m", &env_);
      m.use_shape(shape);
      m.balance();
      EXPECT_EQ(m.stats.shifts, 1);
      expect_sound(m);
    }
    after[shape] = bytes();
    // Slot 1 of A's record: E's second pair, key 6001 and value 60010.
    std::size_t const slot1 = static_cast<std::size_t>(at[1]) + 48 + 8;
    EXPECT_EQ(std::string(&after[shape][slot1], 8), std::string("\x71\x17\0\0\x6A\xEA\0\0", 8));
  }
  EXPECT_EQ(after[true], after[false]);
}

// The same tree with bytes left past the counts of B and C: the shift lifts B and writes it back
// with blank slots there, as a node object read just for the shift holds them; a pair placed in C
// (999: B bounds 1001) then blanks C's.
TEST_F(ShapeTreeTest, RewrittenNodesGetBlankSlotsPastTheirCounts) {
  auto const at = build_tree(spine_tree);
  std::string const junk(63 * 8, '\xEE');
  for (int i : {2, 3}) env_.stream->write_at(at[i] + 48 + 8, junk.data(), junk.size());
  // Bytes of the junk still in the node's slots from `from` on.
  auto const junk_left = [this](word_t node, int from) {
    auto const f = bytes();
    auto const first = f.begin() + node + 48 + 8 * from, last = f.begin() + node + 48 + 8 * 64;
    return std::count(first, last, '\xEE');
  };
  int_map m("m", &env_);
  m.balance();
  EXPECT_EQ(m.stats.shifts, 1);
  EXPECT_EQ(junk_left(at[2], 1), 0);
  EXPECT_EQ(junk_left(at[3], 1), 63 * 8) << "C was not rewritten";
  m.insert(999, 9990);
  EXPECT_EQ(junk_left(at[3], 2), 0);
  expect_sound(m);
}

TEST_F(ShapeTreeTest, LinksThatMeetAgainAreRefused) {
  auto const at = build_tree({{500, 1, 1, 2}, {300, 1, -1, -1}, {700, 1, -1, -1}});
  env_.stream->write_word(at[2] + static_cast<word_t>(map_node_head::right_offset), at[1]);
  map_shape s;
  EXPECT_EQ(test_support::code_thrown_by([&] { s.build(*env_.stream, at[0], int_map::layout::record_size); }), errc::corrupt);
  EXPECT_FALSE(s.built());
}

// The copy against a plain model of links, through many thousands of leaves,
// removals and renames: enough nodes to fill several of the copy's blocks and
// regrow its address table, then few enough to give blocks back, then more.
// Addresses come back after their nodes leave, as the allocator's do.
TEST_F(ShapeTreeTest, CopyFollowsLeavesRemovalsAndRenamesAcrossItsBlocks) {
  struct links {
    word_t left = no_address, right = no_address, parent = no_address;
  };
  auto const at = build_tree({{500, 1, -1, -1}});
  map_shape s;
  s.build(*env_.stream, at[0], int_map::layout::record_size);
  std::map<word_t, links> model{{at[0], links{}}};
  word_t root = at[0];
  std::vector<word_t> in_tree{at[0]}, freed;
  word_t next_address = 1 << 20;
  std::mt19937 rng(7);
  auto const pick = [&] { return in_tree[rng() % in_tree.size()]; };
  auto const fresh = [&] {
    if (!freed.empty() && rng() % 2) {
      word_t const a = freed.back();
      freed.pop_back();
      return a;
    }
    return next_address += 24 * (1 + static_cast<word_t>(rng() % 40));
  };
  auto const forget = [&](word_t a) {
    in_tree.erase(std::find(in_tree.begin(), in_tree.end(), a));
    model.erase(a);
  };
  auto const relink = [&](word_t parent, word_t from, word_t to) {
    if (parent == no_address) {
      root = to;
    } else {
      links& p = model[parent];
      (p.left == from ? p.left : p.right) = to;
    }
  };
  auto const agree = [&](std::size_t step) {
    SCOPED_TRACE("step " + std::to_string(step));
    ASSERT_EQ(s.node_count(), model.size());
    ASSERT_EQ(s.root(), root);
    std::map<word_t, std::pair<int, int>> spines;
    std::function<std::pair<int, int>(word_t)> spine = [&](word_t a) {
      auto const known = spines.find(a);
      if (known != spines.end()) return known->second;
      links const& l = model[a];
      std::pair<int, int> const r{l.left == no_address ? 1 : spine(l.left).first + 1,
                                  l.right == no_address ? 1 : spine(l.right).second + 1};
      return spines[a] = r;
    };
    for (auto const& [a, l] : model) {
      ASSERT_EQ(s.left(a), l.left) << a;
      ASSERT_EQ(s.right(a), l.right) << a;
      ASSERT_EQ(s.parent(a), l.parent) << a;
      ASSERT_EQ(s.left_count(a), spine(a).first) << a;
      ASSERT_EQ(s.right_count(a), spine(a).second) << a;
    }
  };
  // Grows towards target nodes (leaves twice as often as removals when
  // growing, the other way round when shrinking), renaming now and then.
  std::size_t step = 0;
  for (std::size_t target : {9000, 300, 5000}) {
    bool const growing = target > model.size();
    while (growing ? model.size() < target : model.size() > target) {
      ++step;
      word_t const a = pick();
      links const l = model[a];
      unsigned const roll = rng() % 12;
      if (roll == 0) {
        // A rename, refused onto an address in the tree.
        word_t const taken = pick();
        if (taken != a) {
          ASSERT_FALSE(s.rename(a, taken));
        }
        word_t const to = fresh();
        ASSERT_TRUE(s.rename(a, to));
        model[to] = l;
        forget(a);
        in_tree.push_back(to);
        freed.push_back(a);
        relink(l.parent, a, to);
        for (word_t c : {l.left, l.right}) {
          if (c != no_address) model[c].parent = to;
        }
      } else if (growing ? roll % 3 != 0 : roll % 3 == 0) {
        bool const has_room = l.left == no_address || l.right == no_address;
        if (!has_room) continue;
        bool const on_left = l.left == no_address && (l.right != no_address || rng() % 2);
        ASSERT_FALSE(s.add_leaf(a, pick(), on_left));
        word_t const leaf = fresh();
        ASSERT_TRUE(s.add_leaf(a, leaf, on_left));
        (on_left ? model[a].left : model[a].right) = leaf;
        model[leaf].parent = a;
        in_tree.push_back(leaf);
      } else {
        if (l.left != no_address && l.right != no_address) {
          ASSERT_FALSE(s.remove(a)) << a;
          continue;
        }
        if (model.size() == 1) continue;
        ASSERT_TRUE(s.remove(a));
        word_t const child = l.left != no_address ? l.left : l.right;
        if (child != no_address) model[child].parent = l.parent;
        relink(l.parent, a, child);
        forget(a);
        freed.push_back(a);
      }
      if (step % 997 == 0) agree(step);
    }
    agree(step);
  }
}

// Two databases open at once, fed alternately: each file comes out as it does
// when its database is the only one open.
TEST(ShapeIsolation, TwoOpenDatabasesEachBalanceTheirOwnTree) {
  test_support::scratch_dir dir;
  auto const a_keys = keys_in("random", 5000, 11);
  auto const b_keys = keys_in("runs", 5000, 50);
  auto const alone = [&dir](std::string const& name, std::vector<unsigned> const& keys) {
    twin t(dir.file(name), true);
    for (unsigned k : keys) t.map->insert(k, k);
    return t.bytes();
  };
  auto const a_alone = alone("a_alone", a_keys), b_alone = alone("b_alone", b_keys);

  twin a(dir.file("a"), true), b(dir.file("b"), true);
  for (std::size_t i = 0; i < a_keys.size(); ++i) {
    a.map->insert(a_keys[i], a_keys[i]);
    b.map->insert(b_keys[i], b_keys[i]);
  }
  EXPECT_EQ(a.bytes(), a_alone);
  EXPECT_EQ(b.bytes(), b_alone);
  EXPECT_GT(a.map->stats.shifts + b.map->stats.shifts, 0);
}

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
