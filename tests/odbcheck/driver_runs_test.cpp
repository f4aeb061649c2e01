// odbcheck accepts every database the drivers leave behind, however many runs
// they made: it is run after the initialisation and after each run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using test_support::run_program;
using test_support::run_result;

class DriverRunsTest : public ::testing::Test {
 protected:
  run_result run(char const* program, std::vector<std::string> const& args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir_.path(), "", 240);
  }

  // odbcheck's verdict on database name after `what`.
  void expect_sound(std::string const& name, std::string const& what) {
    run_result const r = run(ODBCHECK_PATH, {name});
    EXPECT_EQ(r.status, 0) << what << ":\n" << r.out << r.err;
    EXPECT_EQ(r.out, name + ".odb: no problems found\n") << what;
  }

  test_support::scratch_dir dir_;
};

TEST_F(DriverRunsTest, ShowcaseDatabaseIsSoundAfterEveryRun) {
  ASSERT_EQ(run(SHOWCASE_PATH, {"-init"}).status, 0);
  expect_sound("test", "the initialisation");
  // Past the twentieth run the vector outgrows its first block and moves.
  for (int i = 1; i <= 30; ++i) {
    run_result const r = run(SHOWCASE_PATH, {});
    ASSERT_EQ(r.status, 0) << "run " << i << ": " << r.err;
    expect_sound("test", "run " + std::to_string(i));
  }
  // A second initialisation empties the file again.
  ASSERT_EQ(run(SHOWCASE_PATH, {"-init"}).status, 0);
  expect_sound("test", "a second initialisation");
}

TEST_F(DriverRunsTest, MapdrillDatabaseIsSoundAfterEveryRun) {
  ASSERT_EQ(run(MAPDRILL_PATH, {"-init"}).status, 0);
  expect_sound("int", "the initialisation");
  for (int i = 1; i <= 3; ++i) {
    run_result const r = run(MAPDRILL_PATH, {});
    ASSERT_EQ(r.status, 0) << "run " << i << ": " << r.err;
    EXPECT_NE(r.out.find("count == 25000"), std::string::npos) << "run " << i;
    expect_sound("int", "run " + std::to_string(i));
  }
}

}  // namespace
