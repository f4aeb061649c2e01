// The reload program end to end: each test builds a copy of reload/ in a folder of its own
// with the system compiler, runs it with piped input, and checks its output, the data
// header and whether it rebuilt.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::count_of;
using reload_test::read_text;
using test_support::run_program;
using test_support::run_result;

const std::string kDelivered =
    "\"a\",\n\"a\",\n\"b\",\n\"b\",\n\"c\",\n\"c\",\n\"1\",\n\"2\",\n\"2\",\n\"3\",\n";

class ReloadProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"reload.cpp", "reload.h", "data_file.h", "data.h"}) {
      fs::copy_file(fs::path(RELOAD_SOURCE_DIR) / name, dir_.file(name));
    }
    auto built = run_program({"/usr/bin/c++", "reload.cpp", "-o", "reload"}, dir_.path());
    ASSERT_EQ(built.status, 0) << built.err;
    first_build_ = read_text(dir_.file("reload"));
  }
  run_result run(const std::string& input) { return run_program({"./reload"}, dir_.path(), input); }
  std::string data_header() const { return read_text(dir_.file("data.h")); }
  bool rebuilt(const std::string& exe = "reload") const {
    return read_text(dir_.file(exe)) != first_build_;
  }

  test_support::scratch_dir dir_;
  std::string first_build_;
};

// Sessions that store nothing new, or whose rebuild fails, leave the first build in place.
// After a failed build the program must not start the previous build as if it were new: it
// says so, keeps serving, and answers the pair it stored.
TEST_F(ReloadProgramTest, SessionsWithoutANewBuild) {
  EXPECT_EQ(read_text(std::string(RELOAD_SOURCE_DIR) + "/data.h"), kDelivered);
  const struct {
    std::string command, input, out;
    std::string err_part;  // on standard error `times` times, or "": nothing there
    std::size_t times;
  } cases[] = {
      {"./reload", std::string("n\0l v\n", 6), "key: data: key: \n", "NUL", 1},
      // The rebuild compiles with no flags at all; such a build still carries the project's
      // version, and answers the option without reading the key waiting on its input.
      {"./reload --version", "a\n", std::string("reload ") + ODB_VERSION + "\n", "", 0},
      {"exec -a /nonexistent-folder/reload ./reload", "x y\nx\na\nx2 z\nx2\n",
       "key: data: key: found data: y\nkey: found data: a\n"
       "key: data: key: found data: z\nkey: \n",
       "unable to re-compile...\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " < " + c.input);
    auto outcome = run_program({"/bin/bash", "-c", c.command}, dir_.path(), c.input);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, c.out);
    // With times 0, standard error must be empty.
    EXPECT_EQ(c.times == 0 ? outcome.err.size() : count_of(outcome.err, c.err_part), c.times)
        << outcome.err;
    EXPECT_EQ(outcome.err.find("unable to re-execute"), std::string::npos) << outcome.err;
  }
  EXPECT_EQ(data_header(), kDelivered + "\"x\",\n\"y\",\n\"x2\",\n\"z\",\n");

  fs::remove(dir_.file("data.h"));  // a folder in its place cannot be opened
  fs::create_directory(dir_.file("data.h"));
  auto outcome = run("x y\nx\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: data: \n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, StartedByABareNameTheFileOnTheSearchPathIsRebuiltAndRestarted) {
  fs::create_directory(dir_.file("bin"));
  fs::rename(dir_.file("reload"), dir_.file("bin/reload"));
  auto outcome =
      run_program({"/usr/bin/env", "PATH=" + dir_.file("bin") + ":/usr/bin:/bin", "reload"},
                  dir_.path(), "x y\nx\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "key: data: key: found data: y\nkey: \n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(rebuilt("bin/reload"));
  EXPECT_FALSE(fs::exists(dir_.file("reload"))) << "nothing is built beside the source";
}

// Lookups, and new pairs appended and answered by the rebuilt program. The whole session is
// piped in, so input already waiting when the process replaces itself must reach the new build
// and be answered as if typed line by line; "b c" on one line answers two prompts, and "ab" (no
// key: keys match byte for byte) is asked for a value when input ends, so nothing is stored.
// Quotes, backslashes and control bytes survive the escaping into the data header and the
// rebuild.
TEST_F(ReloadProgramTest, APipedSessionIsAnsweredAsIfTypedLineByLine) {
  const std::string key = "q\"k\\", value = std::string("v\x01") + "7\x7f";
  auto piped = run("a\nb c\nx y\nx\n1\nzz top\nzz\n" + key + "\n" + value + "\nab\n");
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out,
            "key: found data: a\nkey: found data: b\nkey: found data: c\n"
            "key: data: key: found data: y\nkey: found data: 2\n"
            "key: data: key: found data: top\nkey: data: key: data: \n");
  EXPECT_EQ(piped.err, "") << "the builds with the escaped lines must succeed";
  EXPECT_EQ(data_header(), kDelivered + "\"x\",\n\"y\",\n\"zz\",\n\"top\",\n" +
                               "\"q\\\"k\\\\\",\n\"v\\0017\\177\",\n");
  EXPECT_TRUE(rebuilt());
  EXPECT_EQ(run("x\n" + key + "\n").out,
            "key: found data: y\nkey: found data: " + value + "\nkey: \n")
      << "the pairs are in the build itself";
}

}  // namespace
