// odbstat on a database showcase has used several times agrees with the allocator's lists
// and the directory, and reports while another program has the database open.
#include <gtest/gtest.h>

#include <disk_tools/d_db.h>
#include <disk_tools/detail/d_alloc_node.h>
#include <disk_tools/odb_stat.h>

#include <limits>
#include "harness.h"

using namespace disk_tools;

namespace {

class OdbstatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(run({SHOWCASE_PATH, "-init"}).status, 0);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(run({SHOWCASE_PATH}).status, 0);
  }
  test_support::run_result run(std::vector<std::string> argv) {
    return test_support::run_program(argv, dir_.path());
  }
  std::string file() const { return dir_.file("test.odb"); }

  test_support::scratch_dir dir_;
};

TEST_F(OdbstatTest, FiguresAgreeWithTheAllocatorsListsAndTheDirectory) {
  database_stats const st = stat_database(file());
  d_env env{};
  d_database* db = open_database(dir_.file("test"), &env);
  auto const in_use = db->allocator()->allocation_list();
  auto const freed = db->allocator()->free_list();
  long long const used = static_cast<long long>(in_use.size());
  long long used_bytes = 0, free_bytes = 0, largest = 0;
  for (auto const& r : in_use) used_bytes += r.size;
  for (auto const& r : freed) free_bytes += r.size, largest = std::max<long long>(largest, r.size);
  EXPECT_EQ(st.blocks_in_use, used);
  EXPECT_EQ(st.bytes_in_use, used_bytes);
  EXPECT_EQ(st.free_bytes, free_bytes);
  EXPECT_EQ(st.largest_free, largest);
  EXPECT_EQ(st.records, used + static_cast<long long>(freed.size()));
  EXPECT_EQ(st.data_length, db->stream()->size());
  long long by_class = 0;
  for (auto const& c : st.classes) by_class += c.blocks;
  EXPECT_EQ(by_class, used);
  std::vector<std::string> names;  // every root showcase uses, naming a block in use at its slot
  for (auto const& r : st.roots) {
    names.push_back(r.name);
    EXPECT_TRUE(r.slot == db->get_address(r.name) && r.names_block_in_use) << r.name << r.slot;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"bt", "the_list", "ll", "htable", "str_vec", "var2"}));
  EXPECT_TRUE(st.doubts.empty());
  close_database(db);
}

TEST_F(OdbstatTest, ReportsWhileAnotherProgramHasTheDatabaseOpen) {
  test_support::child_processes kids;
  ASSERT_GT(kids.start_held([&](auto const& hold) {
    d_env env{};
    open_database(dir_.file("test"), &env);
    hold();
  }), 0);
  auto const r = run({ODBSTAT_PATH, "test"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("roots (6 of 100)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("note: a journal is beside the database"), std::string::npos) << r.out;
  // The same report by the file's own name; none for a file that is missing.
  EXPECT_EQ(run({ODBSTAT_PATH, "test.odb"}).out.substr(0, 9), "test.odb\n");
  auto const missing = run({ODBSTAT_PATH, "nothing"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "nothing.odb: unable to open db file...: No such file or directory\n");
}

// A record whose size word is damaged ends the walk with a note, and its size
// is added to no figure: the report comes at once, whatever the word holds.
TEST_F(OdbstatTest, ARecordDescribingBytesOutsideTheFileEndsTheWalkWithANote) {
  auto const sound = test_support::read_file(file());
  word_t const first = decode_word(&sound[alloc_list_head]);
  auto const size_word = static_cast<std::size_t>(first) + d_alloc_node::size_offset;
  struct {
    char const* what;
    word_t size;
  } const rows[] = {
      {"-1", -1},
      {"past the end of the file", static_cast<word_t>(sound.size())},
      {"above 2^62", (word_t{1} << 62) + 5},
      {"the largest word", std::numeric_limits<word_t>::max()},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    auto damaged = sound;
    encode_word(&damaged[size_word], row.size);
    test_support::write_file(file(), damaged);
    auto const r = test_support::run_program({ODBSTAT_PATH, "test"}, dir_.path(), "", 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("note: the allocation list could not be walked to its end"),
              std::string::npos)
        << r.out;
  }
}

}  // namespace
