// Balancing through the in-memory shape of the tree: it must make the very
// rotations of the pass that reads every node, and leave a file identical
// byte for byte; the shape itself must agree with the file after every kind
// of change; and it must survive neither a kill nor a second database.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>

#include "map_fixture.h"

using namespace disk_tools;
using namespace map_tests;

namespace {

std::vector<unsigned> ascending(unsigned n) {
  std::vector<unsigned> keys(n);
  for (unsigned i = 0; i < n; ++i) keys[i] = i;
  return keys;
}

std::vector<unsigned> shuffled(unsigned n, unsigned seed) {
  auto keys = ascending(n);
  std::mt19937 rng(seed);
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

// Runs of ascending keys, the runs themselves descending: many half-full
// leaves, rotations at nodes of every count.
std::vector<unsigned> sawtooth(unsigned n, unsigned run) {
  std::vector<unsigned> keys;
  for (unsigned start = n; start >= run; start -= run) {
    for (unsigned k = start - run; k < start; ++k) keys.push_back(k);
  }
  return keys;
}

// One database per way of balancing, fed the same operations.
struct twin {
  d_env env{};
  d_database* db = nullptr;
  std::unique_ptr<int_map> map;
  std::string name;
  bool with_shape;

  twin(std::string n, bool shape) : name(std::move(n)), with_shape(shape) {
    create_database(name, &env);
    open();
  }
  ~twin() {
    map.reset();
    close_database(db);
  }
  void open() {
    db = open_database(name, &env);
    map = std::make_unique<int_map>("m", &env);
    map->use_shape(with_shape);
  }
  void reopen() {
    map.reset();
    close_database(db);
    open();
  }
  std::vector<char> bytes() const { return test_support::read_file(name + ".odb"); }
};

class ShapeTwinTest : public ::testing::Test {
 protected:
  // Applies op to both maps, checking every `every` steps that the files are
  // the same and the rotation counts agree.
  void run(std::size_t steps, std::function<void(int_map&, std::size_t)> const& op,
           std::size_t every = 500, std::size_t reopen_every = 0) {
    twin fast(dir_.file("fast"), true), slow(dir_.file("slow"), false);
    for (std::size_t i = 0; i < steps; ++i) {
      op(*fast.map, i);
      op(*slow.map, i);
      if (reopen_every && (i + 1) % reopen_every == 0) {
        fast.reopen();
        slow.reopen();
      }
      if ((i + 1) % every == 0 || i + 1 == steps) {
        ASSERT_EQ(fast.bytes(), slow.bytes()) << "after step " << i;
        ASSERT_EQ(fast.map->stats.shifts, slow.map->stats.shifts) << "after step " << i;
        ASSERT_EQ(fast.map->stats.shifts4, slow.map->stats.shifts4) << "after step " << i;
        ASSERT_EQ(fast.map->stats.passes, slow.map->stats.passes) << "after step " << i;
      }
    }
    auto const problems = check_map(*fast.map);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_GT(fast.map->stats.runs, 0) << "the operations never balanced";
  }

  void insert_all(std::vector<unsigned> const& keys, std::size_t reopen_every = 0) {
    run(
        keys.size(), [&keys](int_map& m, std::size_t i) { m.insert(keys[i], keys[i] * 3); }, 500,
        reopen_every);
  }

  test_support::scratch_dir dir_;
};

TEST_F(ShapeTwinTest, AscendingKeys) {
  insert_all(ascending(12000));
}

TEST_F(ShapeTwinTest, DescendingKeys) {
  auto keys = ascending(12000);
  std::reverse(keys.begin(), keys.end());
  insert_all(keys);
}

TEST_F(ShapeTwinTest, KeysFromBothEnds) {
  std::vector<unsigned> keys;
  for (unsigned i = 0; i < 6000; ++i) {
    keys.push_back(i);
    keys.push_back(20000 - i);
  }
  insert_all(keys);
}

TEST_F(ShapeTwinTest, ShuffledKeys) {
  insert_all(shuffled(12000, 1));
  insert_all(shuffled(12000, 2));
}

TEST_F(ShapeTwinTest, DescendingRunsOfAscendingKeys) {
  insert_all(sawtooth(12000, 40));
  insert_all(sawtooth(12000, 100));
}

TEST_F(ShapeTwinTest, ReopeningBuildsTheShapeAgain) {
  insert_all(ascending(8000), 777);
  insert_all(shuffled(8000, 3), 1001);
}

TEST_F(ShapeTwinTest, PutsOfNewAndPresentKeysAndTheProxy) {
  // put checks through update, which reloads the root; present keys only
  // change values; the proxy rewrites a node from outside the cache.
  run(16000, [](int_map& m, std::size_t i) {
    auto const key = static_cast<unsigned>((i * 7919) % 9000);
    if (i % 5 == 4) {
      m[key] = static_cast<unsigned>(i);
    } else {
      m.put(key, static_cast<unsigned>(i));
    }
  });
}

// A hand-made tree where the node to rotate holds one pair and the pass
// passes over a whole subtree of full nodes before reaching it:
//
//          R(5000, 64)
//         /          \.
//     A(3000, 1)    D(7000, 64)
//      /            /       \.
//   B(2000, 1)   E(6000, 64) F(9000, 64)
//    /
//  C(1000, 1)
//
// A's left spine is two longer than its right, so A takes one shift_left.
// The pass reads R, D, F, E, then A into one node object; A's record is
// written back with all 64 slots, and slots 1 to 63 then still hold E's pairs.
// The shape skips D's subtree and must fill them in just the same.
class ShapeTreeTest : public map_test {};

TEST_F(ShapeTreeTest, RotatedNodeKeepsThePairsOfTheNodesPassedOver) {
  auto const at = build_tree({{5000, 64, 1, 4},
                              {3000, 1, 2, -1},
                              {2000, 1, 3, -1},
                              {1000, 1, -1, -1},
                              {7000, 64, 5, 6},
                              {6000, 64, -1, -1},
                              {9000, 64, -1, -1}});
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

// Every spine length and mark of the kept shape equals that of a shape read
// afresh from the file.
void expect_same_shape(map_shape const& kept, map_shape const& fresh) {
  ASSERT_EQ(kept.root(), fresh.root());
  ASSERT_EQ(kept.node_count(), fresh.node_count());
  std::vector<word_t> pending{fresh.root()};
  while (!pending.empty()) {
    word_t const at = pending.back();
    pending.pop_back();
    ASSERT_EQ(kept.left(at), fresh.left(at)) << at;
    ASSERT_EQ(kept.right(at), fresh.right(at)) << at;
    ASSERT_EQ(kept.parent(at), fresh.parent(at)) << at;
    ASSERT_EQ(kept.left_count(at), fresh.left_count(at)) << at;
    ASSERT_EQ(kept.right_count(at), fresh.right_count(at)) << at;
    ASSERT_EQ(kept.uneven_below(at), fresh.uneven_below(at)) << at;
    if (fresh.left(at) != no_address) pending.push_back(fresh.left(at));
    if (fresh.right(at) != no_address) pending.push_back(fresh.right(at));
  }
}

TEST_F(ShapeTreeTest, KeptShapeAgreesWithTheFileAfterLeavesAndRotations) {
  int_map m("m", &env_);
  for (unsigned k : shuffled(6000, 9)) {
    m.insert(k, k);
    // Between balance runs new leaves are added to the kept shape one by one.
    if (m.shape().built() && k % 7 == 0) {
      map_shape fresh;
      fresh.build(*env_.stream, m.root.address, int_map::layout::record_size);
      expect_same_shape(m.shape(), fresh);
      if (HasFatalFailure()) return;
    }
  }
  ASSERT_TRUE(m.shape().built());
  map_shape fresh;
  fresh.build(*env_.stream, m.root.address, int_map::layout::record_size);
  expect_same_shape(m.shape(), fresh);
}

TEST_F(ShapeTreeTest, SpineLengthsAndUnevenSubtrees) {
  //        0
  //       / \.
  //      1   4
  //     /
  //    2
  //   /
  //  3
  auto const at = build_tree(
      {{500, 1, 1, 4}, {300, 1, 2, -1}, {200, 1, 3, -1}, {100, 1, -1, -1}, {700, 1, -1, -1}});
  map_shape s;
  s.build(*env_.stream, at[0], int_map::layout::record_size);
  EXPECT_EQ(s.node_count(), 5u);
  EXPECT_EQ(s.root(), at[0]);
  EXPECT_EQ(s.left_count(at[0]), 4);
  EXPECT_EQ(s.right_count(at[0]), 2);
  EXPECT_EQ(s.left_count(at[1]), 3);
  EXPECT_EQ(s.right_count(at[1]), 1);
  EXPECT_TRUE(s.uneven(at[0]));
  EXPECT_TRUE(s.uneven(at[1]));
  EXPECT_FALSE(s.uneven(at[2]));
  EXPECT_FALSE(s.uneven_below(at[2]));
  EXPECT_FALSE(s.uneven_below(at[4]));
  EXPECT_TRUE(s.uneven_below(at[0]));
  EXPECT_EQ(s.parent(at[3]), at[2]);

  // The reverse of the pass's order (node, right subtree, left subtree).
  std::vector<word_t> order;
  s.for_each_in_reverse_visit(at[0], [&order](word_t a) {
    order.push_back(a);
    return true;
  });
  EXPECT_EQ(order, (std::vector<word_t>{at[3], at[2], at[1], at[4], at[0]}));
  order.clear();
  s.for_each_in_reverse_visit(at[0], [&order](word_t a) {
    order.push_back(a);
    return order.size() < 2;
  });
  EXPECT_EQ(order.size(), 2u);

  // A leaf under 4 evens nothing out at the root: spines 4 and 3.
  EXPECT_TRUE(s.add_leaf(at[4], 90000, false));
  EXPECT_EQ(s.right_count(at[0]), 3);
  EXPECT_FALSE(s.uneven(at[0]));
  EXPECT_TRUE(s.uneven_below(at[0]));
  EXPECT_FALSE(s.add_leaf(123456, 90560, true)) << "a parent outside the tree";
  EXPECT_FALSE(s.add_leaf(at[4], 90000, true)) << "a node already in the tree";
}

TEST_F(ShapeTreeTest, LinksThatMeetAgainAreRefused) {
  auto const at = build_tree({{500, 1, 1, 2}, {300, 1, -1, -1}, {700, 1, -1, -1}});
  // Node 2's right link points back at node 1.
  env_.stream->write_word(at[2] + static_cast<word_t>(map_node_head::right_offset), at[1]);
  map_shape s;
  EXPECT_THROW(s.build(*env_.stream, at[0], int_map::layout::record_size), char const*);
  EXPECT_FALSE(s.built());
}

// A process that inserts with the shape in use and is killed between two
// inserts leaves a map holding every pair it added.
TEST(ShapeDurability, KilledProcessLeavesEveryInsertedPair) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("db");
  ASSERT_TRUE(create_database(name, nullptr));
  unsigned const keys = 3000;
  pid_t const pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    d_env env{};
    p_d_env = &env;
    open_database(name, &env);  // never closed
    int_map m("m", &env);       // never destroyed
    for (unsigned k : shuffled(keys, 5)) m.insert(k, k + 1);
    ::kill(::getpid(), SIGKILL);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  d_env env{};
  p_d_env = &env;
  d_database* db = open_database(name, &env);
  {
    int_map m("m", &env);
    EXPECT_EQ(m.size, static_cast<word_t>(keys));
    auto const problems = check_map(m);
    EXPECT_TRUE(problems.empty()) << problems.front();
    for (unsigned k = 0; k < keys; ++k) {
      unsigned v = 0;
      ASSERT_TRUE(m.get(k, v)) << k;
      EXPECT_EQ(v, k + 1);
    }
  }
  close_database(db);
  p_d_env = nullptr;
}

// Two databases open at once, each with its map, fed alternately: each file
// comes out as it does when its database is the only one open.
TEST(ShapeIsolation, TwoOpenDatabasesEachBalanceTheirOwnTree) {
  test_support::scratch_dir dir;
  auto const a_keys = shuffled(5000, 11);
  auto const b_keys = sawtooth(5000, 50);
  auto const fill_alone = [&dir](std::string const& name, std::vector<unsigned> const& keys) {
    twin t(dir.file(name), true);
    for (unsigned k : keys) t.map->insert(k, k);
    return t.bytes();
  };
  auto const a_alone = fill_alone("a_alone", a_keys);
  auto const b_alone = fill_alone("b_alone", b_keys);

  twin a(dir.file("a"), true), b(dir.file("b"), true);
  for (std::size_t i = 0; i < a_keys.size(); ++i) {
    a.map->insert(a_keys[i], a_keys[i]);
    b.map->insert(b_keys[i], b_keys[i]);
  }
  EXPECT_EQ(a.bytes(), a_alone);
  EXPECT_EQ(b.bytes(), b_alone);
  EXPECT_GT(a.map->stats.shifts + b.map->stats.shifts, 0);
}

}  // namespace
