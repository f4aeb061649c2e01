// odbcopy run as a program: what it prints, and which file an error names when the copy is
// not made.
#include <gtest/gtest.h>

#include <disk_tools/d_db.h>
#include <disk_tools/d_list.h>
#include "harness.h"

using namespace disk_tools;

namespace {

// The error named the source whatever it was about: with the copy's file open elsewhere,
// "src.odb: database is in use..." sent the user to the database that was not in use.
TEST(Odbcopy, AnErrorNamesTheFileItIsAbout) {
  test_support::scratch_dir dir;
  for (std::string const name : {"src", "held"}) {
    d_env env{};
    ASSERT_TRUE(create_database(dir.file(name), &env));
    scoped_database db = open_database_scoped(dir.file(name), &env);
    d_list<int> list("list", &env);
    list.push_back(1);
  }
  d_env env{};
  scoped_database held = open_database_scoped(dir.file("held"), &env);
  struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } const cases[] = {
      {{"src", "copy"}, 0, "copy.odb: " + std::to_string(test_support::file_size(
                                              dir.file("src.odb"))) + " bytes\n", ""},
      {{"src", "held"}, 1, "", "held.odb: database is in use...\n"},
      {{"src", "missing/copy"}, 1, "", "missing/copy.odb: unable to write db file...\n"},
      {{"nothing", "copy"}, 1, "", "nothing.odb: unable to open db file...\n"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), ODBCOPY_PATH);
    auto const r = test_support::run_program(argv, dir.path(), "", 30);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
