// odbcheck accepts every database showcase leaves behind, however many runs
// it made: it is run after the initialisation and after each run.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

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
    EXPECT_EQ(r.err, "") << what;
    run_result const c = test_support::run_program({ODBCHECK_PATH, name}, dir_.path(), "", 240);
    EXPECT_EQ(c.status, 0) << what << ":\n" << c.out << c.err;
    EXPECT_EQ(c.out, name + ".odb: no problems found\n") << what;
    return r;
  }

  test_support::scratch_dir dir_;
};

// Past the twentieth run the vector outgrows its first block and moves: after
// thirty runs it must still hold every element of every run, in order.
TEST_F(DriverRunsTest, ShowcaseDatabaseIsSoundAfterEveryRun) {
  run({SHOWCASE_PATH, "-init"}, "test", "the initialisation");
  constexpr int runs = 30;
  run_result last;
  for (int i = 1; i <= runs; ++i) last = run({SHOWCASE_PATH}, "test", "run " + std::to_string(i));
  std::vector<std::string> values;
  std::regex const line("str_vec\\[([0-9]+)\\] == ([^\n]*)");
  for (std::sregex_iterator m(last.out.begin(), last.out.end(), line), end; m != end; ++m) {
    EXPECT_EQ((*m)[1], std::to_string(values.size()));
    values.push_back((*m)[2]);
  }
  EXPECT_EQ(values.size(), 5u * runs);
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  for (auto const& v : {"AA", "BB", "CC", "GG", "PPZ"})
    EXPECT_EQ(std::count(values.begin(), values.end(), v), runs) << v;
  std::string hello = "\nhello=";
  for (int i = 0; i < runs; ++i) hello += "HELLO";
  EXPECT_NE(last.out.find(hello + "\n"), std::string::npos) << "each run adds a copy";
  // A second initialisation empties the file again.
  run({SHOWCASE_PATH, "-init"}, "test", "a second initialisation");
}

}  // namespace
