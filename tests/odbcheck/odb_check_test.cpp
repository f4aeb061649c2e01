#include <disk_tools/odb_check.h>

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>

#include <disk_tools/d_var.h>
#include <disk_tools/factories.h>
#include "harness.h"

using namespace disk_tools;

namespace {

bool mentions(std::vector<std::string> const& problems, std::string const& text) {
  for (auto const& p : problems)
    if (p.find(text) != std::string::npos) return true;
  return false;
}

class CheckTest : public test_support::database_test {
 protected:
  // A database with blocks in use, free, split and merged.
  void fill() {
    std::mt19937 rng(7);
    std::vector<long> blocks;
    text_tools::bstringstream empty;
    for (int i = 0; i < 300; ++i) {
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
};

TEST_F(CheckTest, NewAndWellUsedDatabasesAreSound) {
  EXPECT_TRUE(check().empty());
  fill();
  auto const problems = check();
  EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(CheckTest, ShortOrMissingFile) {
  test_support::write_file(path(), std::vector<char>(100, 'x'));
  auto const problems = check();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_TRUE(mentions(problems, "shorter than the 13616-byte header"));
  EXPECT_THROW(check_database_file(path() + ".absent"), char const*);
}

TEST_F(CheckTest, EachKindOfDamageIsReported) {
  fill();
  auto const sound = bytes();
  auto const first = [&](word_t head) {
    return d_alloc_node::decode(
        &sound.at(static_cast<std::size_t>(test_support::word_at(sound, head))));
  };
  auto const used = first(alloc_list_head), freed = first(free_list_head);
  using spoil = std::function<void(std::vector<char>&)>;
  auto const put = [](word_t at, word_t value) -> spoil {
    return [=](std::vector<char>& f) { encode_word(&f.at(static_cast<std::size_t>(at)), value); };
  };
  struct {
    char const* expected;
    spoil damage;
    char const* absent = nullptr;
  } const cases[] = {
      {"cycle", put(freed.own + 24, freed.own)},
      {"outside the blocks", put(0, static_cast<word_t>(sound.size()) + 5)},
      {"gives its own address", put(used.own, used.own + 8)},
      // The overlap check measures a record where it was found, not where it
      // claims to be: the claim may be any word.
      {"gives its own address as 9223372036854775807",
       put(used.own, std::numeric_limits<word_t>::max()), "overlaps"},
      {"overlaps", put(used.own + 16, used.size + 40)},
      {"is marked free", [&](auto& f) { f.at(static_cast<std::size_t>(used.own + 32)) = 1; }},
      {"ascending size order", put(used.own + 16, 1000000)},
      {"in both lists", put(freed.own + 24, used.own)},
      {"directory entry 0: the name has no terminating 0 byte",
       [](auto& f) { std::fill(f.begin() + 16, f.begin() + 16 + 128, 'n'); }},
  };
  for (auto const& c : cases) {
    auto f = sound;
    c.damage(f);
    test_support::write_file(path(), f);
    auto const problems = check();
    EXPECT_TRUE(mentions(problems, c.expected)) << c.expected;
    if (c.absent) {
      EXPECT_FALSE(mentions(problems, c.absent)) << c.expected;
    }
  }
}

TEST_F(CheckTest, ProgramExitStatusTellsSoundDamagedAndUnreadable) {
  fill();
  auto const run = [&](std::string const& db) {
    return test_support::run_program({ODBCHECK_PATH, db}, dir_.path());
  };
  auto const sound = run(name());
  EXPECT_EQ(sound.status, 0) << sound.out << sound.err;
  auto f = bytes();
  encode_word(&f.at(8), 17);  // the free list head inside the header
  test_support::write_file(path(), f);
  auto const damaged = run(name());
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("free list"), std::string::npos) << damaged.out;
  auto const missing = run(name() + "x");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("unable to open db file..."), std::string::npos);
}

}  // namespace
