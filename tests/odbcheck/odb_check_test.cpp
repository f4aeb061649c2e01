#include "odb_check.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "d_var.h"
#include "factories.h"
#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

bool mentions(std::vector<std::string> const& problems, std::string const& text) {
  for (auto const& p : problems) {
    if (p.find(text) != std::string::npos) return true;
  }
  return false;
}

class CheckTest : public test_support::database_test {
 protected:
  // A database with blocks in use, free, split and merged.
  void fill() {
    std::mt19937 rng(7);
    std::vector<long> blocks;
    for (int i = 0; i < 300; ++i) {
      text_tools::bstringstream empty;
      blocks.push_back(db_->allocator()->allocate(1 + static_cast<long>(rng() % 64), empty));
      if (rng() % 3 == 0) {
        std::size_t const k = rng() % blocks.size();
        db_->allocator()->deallocate(blocks[k]);
        blocks.erase(blocks.begin() + static_cast<long>(k));
      }
    }
    db_->allocator()->compact();
    d_var<std::string> v("v", &env_);
    v = "value";
    close();
  }
  std::vector<std::string> check() { return check_database_file(path()); }
  void poke(std::size_t offset, std::int64_t value) {
    auto f = bytes();
    encode_word(&f.at(offset), value);
    test_support::write_file(path(), f);
  }
  d_alloc_node first_record(word_t head) {
    auto const f = bytes();
    return d_alloc_node::decode(&f.at(static_cast<std::size_t>(word_at(f, head))));
  }
};

TEST_F(CheckTest, NewAndWellUsedDatabasesAreSound) {
  EXPECT_TRUE(check_database_file(path()).empty());
  fill();
  auto const problems = check();
  EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(CheckTest, ShortFileIsReported) {
  test_support::write_file(path(), std::vector<char>(100, 'x'));
  auto const problems = check();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_TRUE(mentions(problems, "shorter than the 13616-byte header"));
}

TEST_F(CheckTest, MissingFileCannotBeChecked) {
  EXPECT_THROW(check_database_file(path() + ".absent"), char const*);
}

TEST_F(CheckTest, CycleIsReported) {
  fill();
  auto const head = first_record(free_list_head);
  poke(static_cast<std::size_t>(head.own + 24), head.own);
  EXPECT_TRUE(mentions(check(), "cycle"));
}

TEST_F(CheckTest, HeadOutsideTheFileIsReported) {
  fill();
  poke(0, test_support::file_size(path()) + 5);
  EXPECT_TRUE(mentions(check(), "outside the blocks"));
}

TEST_F(CheckTest, RecordNotAtItsOwnAddressIsReported) {
  fill();
  auto const head = first_record(alloc_list_head);
  poke(static_cast<std::size_t>(head.own), head.own + 8);
  EXPECT_TRUE(mentions(check(), "gives its own address"));
}

TEST_F(CheckTest, RecordClaimingTheLargestAddressIsReportedWithoutOverflow) {
  // The overlap check measures a record where it was found, not where it
  // claims to be: the claim may be any word.
  fill();
  auto const head = first_record(alloc_list_head);
  poke(static_cast<std::size_t>(head.own), std::numeric_limits<std::int64_t>::max());
  auto const problems = check();
  EXPECT_TRUE(mentions(problems, "gives its own address as 9223372036854775807"));
  EXPECT_FALSE(mentions(problems, "overlaps"));
}

TEST_F(CheckTest, GrownBlockOverlappingItsNeighbourIsReported) {
  fill();
  auto const head = first_record(alloc_list_head);
  poke(static_cast<std::size_t>(head.own + 16), head.size + 40);
  EXPECT_TRUE(mentions(check(), "overlaps"));
}

TEST_F(CheckTest, WrongFreeFlagAndSizeOrderAreReported) {
  fill();
  auto f = bytes();
  auto const used = first_record(alloc_list_head);
  f[static_cast<std::size_t>(used.own + 32)] = 1;
  test_support::write_file(path(), f);
  EXPECT_TRUE(mentions(check(), "is marked free"));
  poke(static_cast<std::size_t>(used.own + 16), 1000000);
  EXPECT_TRUE(mentions(check(), "ascending size order"));
}

TEST_F(CheckTest, RecordInBothListsIsReported) {
  fill();
  auto const used = first_record(alloc_list_head);
  auto const freed = first_record(free_list_head);
  poke(static_cast<std::size_t>(freed.own + 24), used.own);
  EXPECT_TRUE(mentions(check(), "in both lists"));
}

TEST_F(CheckTest, DirectoryNameWithoutTerminatorIsReported) {
  auto f = bytes();
  std::fill(f.begin() + 16, f.begin() + 16 + 128, 'n');
  test_support::write_file(path(), f);
  EXPECT_TRUE(mentions(check(), "directory entry 0: the name has no terminating 0 byte"));
}

TEST_F(CheckTest, ProgramExitStatusTellsSoundDamagedAndUnreadable) {
  fill();
  auto const sound = test_support::run_program({ODBCHECK_PATH, name()}, dir_.path());
  EXPECT_EQ(sound.status, 0) << sound.out << sound.err;
  poke(8, 17);
  auto const damaged = test_support::run_program({ODBCHECK_PATH, name()}, dir_.path());
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("free list"), std::string::npos) << damaged.out;
  auto const missing = test_support::run_program({ODBCHECK_PATH, name() + "x"}, dir_.path());
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("unable to open db file..."), std::string::npos);
}

}  // namespace
