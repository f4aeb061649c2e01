// End-to-end tests of the showcase program: each runs the built program in a
// scratch folder and compares its whole output.
#include <gtest/gtest.h>

#include <disk_tools/d_db.h>
#include <disk_tools/odb_check.h>
#include <disk_tools/odb_compact.h>
#include "harness.h"

using test_support::run_result;

namespace {

// The whole output of a run, given the list before and after the sort, the number of inner lists,
// the copies of each stored text, the vector and the variable's first value.
std::string expected_run(std::vector<std::string> const& before,
                         std::vector<std::string> const& after, int inner_lists, int copies,
                         std::vector<std::string> const& vector, std::string const& var2) {
  auto line = [&](std::string const& key, std::string const& text) {
    std::string l = key + "=";
    for (int i = 0; i < copies; ++i) l += text;
    return l + "\n";
  };
  std::string const hyphens(38, '-');
  std::string out =
      "open db next...\ndb open...\nlist open...\ndid push 1\ndid push 2\ndid push...\n";
  for (auto const& v : before) out += "DATA = " + v + "\n";
  out += "did list...\ndid pop 1\ndid pop 2\niterator...\nsort..\ndid sort...\n";
  for (auto const& v : after) out += "DATA = " + v + "\n";
  out += "done with stirng list...\nmade the lists...\nint=3\nint=2\nint=1\n";
  for (int i = 0; i < inner_lists; ++i) out += "---\nptr2 == 3\nptr2 == 2\nptr2 == 1\n";
  out += hyphens + "\n" + hyphens + "\n" + line("hello", "HELLO") + line("world", "WORLD") +
         line("quibley", "QUIBLEY") + line("hello2", "HELLO2") + line("love", "LOVE");
  for (std::size_t i = 0; i < vector.size(); ++i)
    out += "str_vec[" + std::to_string(i) + "] == " + vector[i] + "\n";
  out += "HELLO, WORLD!\nI love C++!\nI love C++!\nHELLO: " + var2 + "\nHELLO: Quibley\n";
  return out + line("love", "LOVE") + line("hello", "HELLO") + line("god", "GOD") +
         line("god", "GOD") + line("hello", "HELLO") + line("love", "LOVE") + "done...\n";
}

class ShowcaseTest : public ::testing::Test {
 protected:
  run_result run(std::vector<std::string> args = {}) {
    args.insert(args.begin(), SHOWCASE_PATH);
    return test_support::run_program(args, dir_.path());
  }
  std::string db_path() const { return dir_.file("test.odb"); }

  test_support::scratch_dir dir_;
};

// Without a database the run stops with the open message. The second run continues from
// the stored state: the list kept LOVE, HATE, GOD, <<GOD>> and gains three HATE in front and
// three LOVE behind. A file cut in half is then refused with a message, not crashed on.
TEST_F(ShowcaseTest, RunsPrintTheWholeScriptFromTheStoredStateAndRefuseAMissingOrCutFile) {
  run_result r = run();
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "open db next...\n");
  EXPECT_EQ(r.err, "unable to open alloc file...\n");
  ASSERT_EQ(run({"-init"}).status, 0);
  r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected_run({"HATE", "HATE", "HATE", "LOVE", "LOVE", "LOVE"},
                                {"LOVE", "HATE", "GOD", "<<GOD>>"}, 1, 1,
                                {"AA", "BB", "CC", "GG", "PPZ"}, ""));
  r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            expected_run(
                {"HATE", "HATE", "HATE", "LOVE", "HATE", "GOD", "<<GOD>>", "LOVE", "LOVE", "LOVE"},
                {"LOVE", "LOVE", "LOVE", "HATE", "GOD", "GOD", "<<GOD>>", "<<GOD>>"}, 2, 2,
                {"AA", "AA", "BB", "BB", "CC", "CC", "GG", "GG", "PPZ", "PPZ"}, "Quibley"));
  auto f = test_support::read_file(db_path());
  f.resize(f.size() / 2);
  test_support::write_file(db_path(), f);
  r = run();
  EXPECT_NE(r.status, 0);
  EXPECT_LT(r.status, 128) << "killed by a signal";
  EXPECT_NE(r.err, "");
}

TEST_F(ShowcaseTest, InitAnywhereCreatesADatabaseWithOnlyTheMap) {
  run_result const r = run({"first", "-init", "last"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  auto const f = test_support::read_file(db_path());
  // The directory, the map header (24 bytes) and its first node (9264 bytes),
  // each block followed by its 33-byte record: no empty-string blocks.
  EXPECT_EQ(f.size(), 13616u + 24 + 33 + 9264 + 33);
  disk_tools::d_env env{};
  disk_tools::d_database* db = disk_tools::open_database(dir_.file("test"), &env);
  EXPECT_EQ(db->allocator()->allocation_list().size(), 2u);
  disk_tools::close_database(db);
}

// showcase's database, its roots' kinds recorded by hand (showcase opens it
// the plain way, which records none), compacts to a smaller file on which the
// next run prints exactly what it prints on the database as it was.
TEST_F(ShowcaseTest, ACompactedDatabaseRunsAsTheOriginalDoes) {
  ASSERT_EQ(run({"-init"}).status, 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(run().status, 0);
  std::pair<char const*, char const*> const kinds[] = {
      {"bt", "map<string,string>"},  {"the_list", "list<string>"},
      {"ll", "list<list<int>>"},     {"htable", "hashmap<string,string>"},
      {"str_vec", "vector<string>"}, {"var2", "var<string>"}};
  disk_tools::d_env env{};
  disk_tools::d_database* db = disk_tools::open_database(dir_.file("test"), &env);
  for (auto const& [root, kind] : kinds) db->record_kind(root, kind);
  disk_tools::close_database(db);
  test_support::scratch_dir original;
  test_support::write_file(original.file("test.odb"), test_support::read_file(db_path()));
  auto const before = test_support::file_size(db_path());
  disk_tools::compact_database(db_path());
  EXPECT_LT(test_support::file_size(db_path()), before);
  EXPECT_EQ(disk_tools::check_database_file(db_path()), std::vector<std::string>{});
  run_result const compacted = run();
  EXPECT_EQ(compacted.status, 0) << compacted.err;
  EXPECT_EQ(compacted.out, test_support::run_program({SHOWCASE_PATH}, original.path()).out);
}

}  // namespace
