// odbcheck accepts every database the drivers leave behind, however many runs
// they made: it is run after the initialisation and after each run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using test_support::run_result;

class DriverRunsTest : public ::testing::Test {
 protected:
  // Runs argv, which must succeed, and then odbcheck, which must find
  // database `name` sound.
  run_result run(std::vector<std::string> const& argv, std::string const& name,
                 std::string const& what) {
    run_result const r = test_support::run_program(argv, dir_.path(), "", 240);
    EXPECT_EQ(r.status, 0) << what << ": " << r.err;
    run_result const c = test_support::run_program({ODBCHECK_PATH, name}, dir_.path(), "", 240);
    EXPECT_EQ(c.status, 0) << what << ":\n" << c.out << c.err;
    EXPECT_EQ(c.out, name + ".odb: no problems found\n") << what;
    return r;
  }

  test_support::scratch_dir dir_;
};

TEST_F(DriverRunsTest, ShowcaseDatabaseIsSoundAfterEveryRun) {
  run({SHOWCASE_PATH, "-init"}, "test", "the initialisation");
  // Past the twentieth run the vector outgrows its first block and moves.
  for (int i = 1; i <= 30; ++i) run({SHOWCASE_PATH}, "test", "run " + std::to_string(i));
  // A second initialisation empties the file again.
  run({SHOWCASE_PATH, "-init"}, "test", "a second initialisation");
}

TEST_F(DriverRunsTest, MapdrillDatabaseIsSoundAfterEveryRun) {
  run({MAPDRILL_PATH, "-init"}, "int", "the initialisation");
  for (int i = 1; i <= 3; ++i) {
    std::string const what = "run " + std::to_string(i);
    EXPECT_NE(run({MAPDRILL_PATH}, "int", what).out.find("count == 25000"), std::string::npos)
        << what;
  }
}

}  // namespace
