// The allocator finds records through an in-memory mirror of its lists; these
// tests run the same operations with the mirror and with plain list walks and
// require byte-identical files.
#include <gtest/gtest.h>

#include <random>

#include <disk_tools/d_db.h>
#include "harness.h"

using namespace disk_tools;

namespace {

struct twin {
  d_env env{};
  d_database* db = nullptr;
  std::string name;

  twin(std::string n, bool indexed) : name(std::move(n)) {
    create_database(name, &env);
    open(indexed);
  }
  ~twin() { close_database(db); }
  void open(bool indexed) {
    db = open_database(name, &env);
    db->allocator()->use_index(indexed);
  }
  void reopen(bool indexed) {
    close_database(db);
    open(indexed);
  }
};

void run_mix(unsigned seed, int operations, bool with_compaction) {
  test_support::scratch_dir dir;
  twin fast(dir.file("fast"), true), slow(dir.file("slow"), false);
  std::mt19937 rng(seed);
  std::vector<long> in_use;
  for (int op = 0; op < operations; ++op) {
    unsigned const what = rng() % 100;
    if (what < 55 || in_use.empty()) {
      // A few popular sizes, so that freed blocks are reused exactly, split
      // and appended alike.
      static long const sizes[] = {0, 1, 8, 13, 16, 24, 40, 100, 560};
      long const size = sizes[rng() % 9];
      text_tools::bstringstream a, b;
      long const x = fast.db->allocator()->allocate(size, a);
      long const y = slow.db->allocator()->allocate(size, b);
      ASSERT_EQ(x, y) << "operation " << op;
      in_use.push_back(x);
    } else if (what < 95) {
      std::size_t const i = rng() % in_use.size();
      fast.db->allocator()->deallocate(in_use[i]);
      slow.db->allocator()->deallocate(in_use[i]);
      in_use.erase(in_use.begin() + static_cast<long>(i));
    } else if (what < 98 || !with_compaction) {
      fast.reopen(true);
      slow.reopen(false);
    } else {
      fast.db->allocator()->compact();
      slow.db->allocator()->compact();
    }
    if (op % 97 == 0) {
      ASSERT_EQ(test_support::read_file(fast.name + ".odb"),
                test_support::read_file(slow.name + ".odb"))
          << "operation " << op;
    }
  }
  EXPECT_EQ(test_support::read_file(fast.name + ".odb"),
            test_support::read_file(slow.name + ".odb"));
}

TEST(AllocIndex, FindsWhatTheWalkFinds) {
  for (unsigned seed = 1; seed <= 4; ++seed) run_mix(seed, 1500, false);
}

TEST(AllocIndex, FindsWhatTheWalkFindsAcrossCompaction) {
  for (unsigned seed = 11; seed <= 13; ++seed) run_mix(seed, 1500, true);
}

TEST(AllocIndex, ManyFreesGrowTheMirrorWithoutLosingOrder) {
  // More frees than the mirror's first capacity, to make it renumber.
  test_support::scratch_dir dir;
  twin fast(dir.file("fast"), true), slow(dir.file("slow"), false);
  std::vector<long> blocks;
  for (int i = 0; i < 3000; ++i) {
    text_tools::bstringstream a, b;
    long const size = 1 + i % 50;
    blocks.push_back(fast.db->allocator()->allocate(size, a));
    slow.db->allocator()->allocate(size, b);
  }
  for (long b : blocks) {
    fast.db->allocator()->deallocate(b);
    slow.db->allocator()->deallocate(b);
  }
  for (int i = 0; i < 3000; ++i) {
    text_tools::bstringstream a, b;
    long const size = 50 - i % 50;
    ASSERT_EQ(fast.db->allocator()->allocate(size, a), slow.db->allocator()->allocate(size, b));
  }
  EXPECT_EQ(test_support::read_file(fast.name + ".odb"),
            test_support::read_file(slow.name + ".odb"));
}

}  // namespace
