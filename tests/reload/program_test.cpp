// The reload program end to end. Each test gets a folder of its own holding copies of the
// source, its headers, the delivered data header and the built program, runs the program
// there with scripted input, and checks its output, the data header and whether it rebuilt.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::read_text;
using reload_test::write_text;

const char* const kDelivered =
    "\"a\",\n\"a\",\n\"b\",\n\"b\",\n\"c\",\n\"c\",\n\"1\",\n\"2\",\n\"2\",\n\"3\",\n";

class ReloadProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"reload.cpp", "reload.h", "data_file.h", "data.h"}) {
      fs::copy_file(fs::path(RELOAD_SOURCE_DIR) / name, dir_.file(name));
    }
    fs::copy_file(RELOAD_PROGRAM, dir_.file("reload"));
    first_build_ = read_text(dir_.file("reload"));
  }

  // Starts the copy as "./reload", the way a person in that folder would.
  test_support::run_result run(const std::string& input) {
    return test_support::run_program({"./reload"}, dir_.path(), input);
  }

  // Starts the copy with `argv0` as the first argument instead of its path.
  test_support::run_result run_named(const std::string& argv0, const std::string& input) {
    return test_support::run_program({"/bin/bash", "-c", "exec -a \"$0\" ./reload", argv0},
                                     dir_.path(), input);
  }

  std::string data_header() const { return read_text(dir_.file("data.h")); }
  bool rebuilt() const { return read_text(dir_.file("reload")) != first_build_; }

  test_support::scratch_dir dir_;
  std::string first_build_;
};

TEST_F(ReloadProgramTest, DeliveredDataHeaderHoldsFivePairs) {
  EXPECT_EQ(read_text(std::string(RELOAD_SOURCE_DIR) + "/data.h"), kDelivered);
}

TEST_F(ReloadProgramTest, KnownKeysPrintTheirValuesAndChangeNothing) {
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

TEST_F(ReloadProgramTest, NewPairIsAppendedAndFoundByTheRebuiltProgram) {
  // One line answers both prompts; the next line is read by the new build.
  auto outcome = run("x y\nx\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "key: data: key: found data: y\nkey: \n");
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"x\",\n\"y\",\n");
  EXPECT_TRUE(rebuilt());
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
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"q\\\"k\\\\\",\n\"v\\0017\\177\",\n");
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

TEST_F(ReloadProgramTest, AFailedBuildLeavesThePreviousBuildRunningAndTheNewLinesStored) {
  write_text(dir_.file("reload.cpp"), read_text(dir_.file("reload.cpp")) + "#error broken\n");
  auto outcome = run("x y\nx\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: data: \n");
  EXPECT_NE(outcome.err.find("broken"), std::string::npos) << outcome.err;
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"x\",\n\"y\",\n");
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, WhenTheNewBuildCannotBeStartedTheOldTableGoesOn) {
  // Started under a name whose folder does not exist: nothing can be written or run there.
  auto outcome = run_named("/nonexistent-folder/reload", "x y\nx z\na\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: data: key: found data: a\nkey: \n");
  size_t reports = 0;
  for (size_t at = 0; (at = outcome.err.find("unable to re-execute...\n", at)) != std::string::npos;
       ++at) {
    ++reports;
  }
  EXPECT_EQ(reports, 2u) << outcome.err;
  // Asking again for the same key appends the same key again.
  EXPECT_EQ(data_header(), std::string(kDelivered) + "\"x\",\n\"y\",\n\"x\",\n\"z\",\n");
}

TEST_F(ReloadProgramTest, EndOfInputEndsTheProgram) {
  auto outcome = run("");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: \n");
}

}  // namespace
