// The reload program end to end. Each test gets a folder of its own holding copies of the
// source, its headers and the delivered data header, builds the program there with the system
// compiler the way a person would, runs it with scripted input, and checks its output, the
// data header and whether it rebuilt.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::count_of;
using reload_test::read_text;
using reload_test::write_text;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;

const char* const kDelivered =
    "\"a\",\n\"a\",\n\"b\",\n\"b\",\n\"c\",\n\"c\",\n\"1\",\n\"2\",\n\"2\",\n\"3\",\n";

// Copies the program's folder into `dir` and builds it there.
void make_copy(const scratch_dir& dir) {
  for (const char* name : {"reload.cpp", "reload.h", "data_file.h", "data.h"}) {
    fs::copy_file(fs::path(RELOAD_SOURCE_DIR) / name, dir.file(name));
  }
  auto built = run_program({"/usr/bin/c++", "reload.cpp", "-o", "reload"}, dir.path());
  ASSERT_EQ(built.status, 0) << built.err;
}

class ReloadProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(make_copy(dir_));
    first_build_ = read_text(dir_.file("reload"));
  }

  // Starts the copy as "./reload", the way a person in that folder would.
  run_result run(const std::string& input) { return run_program({"./reload"}, dir_.path(), input); }

  // Starts the copy with `argv0` as the first argument instead of its path.
  run_result run_named(const std::string& argv0, const std::string& input) {
    return run_program({"/bin/bash", "-c", "exec -a \"$0\" ./reload", argv0}, dir_.path(), input);
  }

  std::string data_header() const { return read_text(dir_.file("data.h")); }
  bool rebuilt(const std::string& exe = "reload") const {
    return read_text(dir_.file(exe)) != first_build_;
  }

  scratch_dir dir_;
  std::string first_build_;
};

TEST_F(ReloadProgramTest, DeliveredDataHeaderHoldsFivePairs) {
  EXPECT_EQ(read_text(std::string(RELOAD_SOURCE_DIR) + "/data.h"), kDelivered);
}

TEST_F(ReloadProgramTest, KnownKeysPrintTheirValuesAndChangeNothing) {
  // "b c" on one line answers two prompts.
  auto outcome = run("a\n1\n2\nb c\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out,
            "key: found data: a\nkey: found data: 2\nkey: found data: 3\n"
            "key: found data: b\nkey: found data: c\nkey: \n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(data_header(), kDelivered);
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, ValuesCaseAndPrefixesAreNotKeys) {
  for (const std::string key : {"3", "ab", "A", "a1"}) {
    auto outcome = run(key + "\n");
    EXPECT_EQ(outcome.status, 0) << key;
    // Asked for a value, then end of input: nothing is stored.
    EXPECT_EQ(outcome.out, "key: data: \n") << key;
  }
  EXPECT_EQ(data_header(), kDelivered);
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, EndOfInputEndsTheProgram) {
  for (const std::string input : {"", " \n\t\n"}) {
    auto outcome = run(input);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "key: \n");
  }
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, ANewPairIsAppendedAndTheRebuiltProgramAnswersIt) {
  // One line answers both prompts; the next line is read by the new build.
  auto outcome = run("x y\nx\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "key: data: key: found data: y\nkey: \n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"x\",\n\"y\",\n");
  EXPECT_TRUE(rebuilt());
  EXPECT_EQ(run("x\n").out, "key: found data: y\nkey: \n") << "the pair is in the build itself";
}

TEST_F(ReloadProgramTest, PairsAccumulateOverSeveralRebuilds) {
  auto outcome = run("k1 v1\nk2 v2\nk1\nk2\na\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out,
            "key: data: key: data: key: found data: v1\nkey: found data: v2\n"
            "key: found data: a\nkey: \n");
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"k1\",\n\"v1\",\n\"k2\",\n\"v2\",\n");
}

TEST_F(ReloadProgramTest, QuotesBackslashesAndControlBytesSurviveTheRebuild) {
  const std::string key = "q\"k\\";
  const std::string value = std::string("v\x01") + "7\x7f";
  auto outcome = run(key + " " + value + "\n" + key + "\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "key: data: key: found data: " + value + "\nkey: \n");
  EXPECT_EQ(outcome.err, "") << "the build with the escaped lines must succeed";
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"q\\\"k\\\\\",\n\"v\\0017\\177\",\n");
  EXPECT_EQ(run(key + "\n").out, "key: found data: " + value + "\nkey: \n");
}

TEST_F(ReloadProgramTest, AWordWithANulByteIsRefused) {
  auto outcome = run(std::string("n\0l v\n", 6));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: \n");
  EXPECT_NE(outcome.err.find("NUL"), std::string::npos) << outcome.err;
  EXPECT_EQ(data_header(), kDelivered);
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, DataHeaderThatCannotBeOpenedMeansNoWriteAndNoRebuild) {
  fs::remove(dir_.file("data.h"));
  fs::create_directory(dir_.file("data.h"));
  auto outcome = run("x y\nx\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: data: \n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(rebuilt());
}

// A failed build must not start the previous build as if it were new: the program says so,
// keeps serving, and answers the pairs it stored, which the next good build will hold.
TEST_F(ReloadProgramTest, AFailedBuildIsReportedAndTheProgramAnswersTheNewPairs) {
  write_text(dir_.file("reload.cpp"), read_text(dir_.file("reload.cpp")) + "#error broken\n");
  auto outcome = run("x y\nx\nb\nx2 z\nx2\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "key: data: key: found data: y\nkey: found data: b\n"
            "key: data: key: found data: z\nkey: \n");
  EXPECT_EQ(count_of(outcome.err, "unable to re-compile...\n"), 2u) << outcome.err;
  EXPECT_NE(outcome.err.find("broken"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find("unable to re-execute"), std::string::npos) << outcome.err;
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"x\",\n\"y\",\n\"x2\",\n\"z\",\n");
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, AnUnwritableOutputPathIsReportedAndTheProgramKeepsAnswering) {
  auto outcome = run_named("/nonexistent-folder/reload", "x y\nx\na\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: found data: y\nkey: found data: a\nkey: \n");
  EXPECT_EQ(count_of(outcome.err, "unable to re-compile...\n"), 1u) << outcome.err;
  // Stored once: the second "x" was answered, not asked for again.
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"x\",\n\"y\",\n");
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

// Input that is already waiting when the process replaces itself must reach the new build.
TEST_F(ReloadProgramTest, APipedSessionAnswersLikeTheSameLinesTypedOneByOne) {
  const std::vector<std::string> lines = {"x", "y", "x", "a", "zz", "top", "zz", "1"};
  const std::string expected =
      "key: data: key: found data: y\nkey: found data: a\n"
      "key: data: key: found data: top\nkey: found data: 2\nkey: \n";

  std::string piped_input;
  for (const std::string& line : lines) piped_input += line + "\n";
  auto piped = run(piped_input);

  scratch_dir typed_dir;
  ASSERT_NO_FATAL_FAILURE(make_copy(typed_dir));
  auto typed = reload_test::run_typed({"./reload"}, typed_dir.path(), lines, {"key: ", "data: "});

  EXPECT_EQ(typed.status, 0) << typed.err;
  EXPECT_EQ(typed.out, expected);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, typed.out);
  EXPECT_EQ(piped.err, typed.err);
  EXPECT_EQ(data_header(), read_text(typed_dir.file("data.h")));
}

}  // namespace
