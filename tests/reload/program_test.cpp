// The reload program end to end: each test builds a copy of reload/ in a folder of its own
// with the system compiler, runs it with scripted input, and checks its output, the data
// header and whether it rebuilt.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::count_of;
using reload_test::read_text;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;

const std::string kDelivered =
    "\"a\",\n\"a\",\n\"b\",\n\"b\",\n\"c\",\n\"c\",\n\"1\",\n\"2\",\n\"2\",\n\"3\",\n";

void make_copy(const scratch_dir& dir) {
  for (const char* name : {"reload.cpp", "reload.h", "data_file.h", "data.h"}) {
    fs::copy_file(fs::path(RELOAD_SOURCE_DIR) / name, dir.file(name));
  }
  auto built = run_program({"/usr/bin/c++", "reload.cpp", "-o", "reload"}, dir.path());
  ASSERT_EQ(built.status, 0) << built.err;
}

bool ends_with_prompt(const std::string& out) {
  auto ends_with = [&out](const std::string& p) {
    return out.size() >= p.size() && out.compare(out.size() - p.size(), p.size(), p) == 0;
  };
  return ends_with("key: ") || ends_with("data: ");
}

// Runs ./reload in cwd as a person at a terminal would: each line is written only once the
// output has grown and ends with a prompt; input is closed at the prompt after the last line.
run_result run_typed(const std::string& cwd, const std::vector<std::string>& lines) {
  test_support::child_process child = test_support::spawn_program({"./reload"}, cwd);
  run_result r;
  std::size_t next = 0, answered_at = 0;
  bool out_open = true, err_open = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (out_open || err_open) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child.pid, SIGKILL);
      break;
    }
    if (child.in >= 0 && (!out_open || (r.out.size() > answered_at && ends_with_prompt(r.out)))) {
      const std::string line = next < lines.size() ? lines[next] + "\n" : "";
      if (out_open && !line.empty() &&
          ::write(child.in, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        ++next;
        answered_at = r.out.size();
      } else {
        ::close(child.in);
        child.in = -1;
      }
    }
    pollfd fds[2] = {{out_open ? child.out : -1, POLLIN, 0},
                     {err_open ? child.err : -1, POLLIN, 0}};
    if (::poll(fds, 2, 200) < 0) continue;
    if (fds[0].revents) out_open = test_support::drain(child.out, r.out);
    if (fds[1].revents) err_open = test_support::drain(child.err, r.err);
  }
  r.status = test_support::finish(child);
  return r;
}

class ReloadProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(make_copy(dir_));
    first_build_ = read_text(dir_.file("reload"));
  }
  run_result run(const std::string& input) { return run_program({"./reload"}, dir_.path(), input); }
  std::string data_header() const { return read_text(dir_.file("data.h")); }
  bool rebuilt(const std::string& exe = "reload") const {
    return read_text(dir_.file(exe)) != first_build_;
  }

  scratch_dir dir_;
  std::string first_build_;
};

TEST_F(ReloadProgramTest, KnownKeysAnswerOthersAskForDataEndOfInputEnds) {
  EXPECT_EQ(read_text(std::string(RELOAD_SOURCE_DIR) + "/data.h"), kDelivered);
  // "b c" on one line answers two prompts.
  auto outcome = run("a\n1\n2\nb c\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out,
            "key: found data: a\nkey: found data: 2\nkey: found data: 3\n"
            "key: found data: b\nkey: found data: c\nkey: \n");
  EXPECT_EQ(outcome.err, "");
  for (const std::string key : {"3", "ab", "A", "a1"}) {
    outcome = run(key + "\n");  // asked for a value, then end of input: nothing stored
    EXPECT_EQ(outcome.status, 0) << key;
    EXPECT_EQ(outcome.out, "key: data: \n") << key;
  }
  for (const std::string input : {"", " \n\t\n"}) {
    outcome = run(input);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "key: \n");
  }
  EXPECT_EQ(data_header(), kDelivered);
  EXPECT_FALSE(rebuilt());
}

TEST_F(ReloadProgramTest, QuotesBackslashesAndControlBytesSurviveTheRebuild) {
  const std::string key = "q\"k\\";
  const std::string value = std::string("v\x01") + "7\x7f";
  auto outcome = run(key + " " + value + "\n" + key + "\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "key: data: key: found data: " + value + "\nkey: \n");
  EXPECT_EQ(outcome.err, "") << "the build with the escaped lines must succeed";
  EXPECT_EQ(data_header(), kDelivered + "\"q\\\"k\\\\\",\n\"v\\0017\\177\",\n");
  EXPECT_EQ(run(key + "\n").out, "key: found data: " + value + "\nkey: \n");
}

TEST_F(ReloadProgramTest, UnstorableWordsOrAnUnopenableDataHeaderMeanNoRebuild) {
  auto outcome = run(std::string("n\0l v\n", 6));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: \n");
  EXPECT_NE(outcome.err.find("NUL"), std::string::npos) << outcome.err;
  EXPECT_EQ(data_header(), kDelivered);

  fs::remove(dir_.file("data.h"));
  fs::create_directory(dir_.file("data.h"));
  outcome = run("x y\nx\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "key: data: key: data: \n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(rebuilt());
}

// The rebuild compiles with no flags at all; such a build still carries the project's version,
// and answers the option without reading the key waiting on its input.
TEST_F(ReloadProgramTest, ABuildWithoutFlagsAnswersWithTheProjectVersion) {
  auto outcome = run_program({"./reload", "--version"}, dir_.path(), "a\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, std::string("reload ") + ODB_VERSION + "\n");
}

// A failed build must not start the previous build as if it were new: the program says so,
// keeps serving, and answers the pair it stored.
TEST_F(ReloadProgramTest, AnUnwritableOutputPathIsReportedAndTheProgramKeepsAnswering) {
  auto outcome = run_program({"/bin/bash", "-c", "exec -a /nonexistent-folder/reload ./reload"},
                             dir_.path(), "x y\nx\na\nx2 z\nx2\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "key: data: key: found data: y\nkey: found data: a\n"
            "key: data: key: found data: z\nkey: \n");
  EXPECT_EQ(count_of(outcome.err, "unable to re-compile...\n"), 2u) << outcome.err;
  EXPECT_EQ(outcome.err.find("unable to re-execute"), std::string::npos) << outcome.err;
  EXPECT_EQ(data_header(), kDelivered + "\"x\",\n\"y\",\n\"x2\",\n\"z\",\n");
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

// A new pair is appended and answered by the rebuilt program; input already waiting when
// the process replaces itself must reach the new build.
TEST_F(ReloadProgramTest, APipedSessionAnswersLikeTheSameLinesTypedOneByOne) {
  const std::vector<std::string> lines = {"x", "y", "x", "a", "zz", "top", "zz", "1"};
  std::string piped_input;
  for (const std::string& line : lines) piped_input += line + "\n";
  auto piped = run(piped_input);

  scratch_dir typed_dir;
  ASSERT_NO_FATAL_FAILURE(make_copy(typed_dir));
  auto typed = run_typed(typed_dir.path(), lines);
  EXPECT_EQ(typed.status, 0) << typed.err;
  EXPECT_EQ(typed.out,
            "key: data: key: found data: y\nkey: found data: a\n"
            "key: data: key: found data: top\nkey: found data: 2\nkey: \n");
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, typed.out);
  EXPECT_EQ(piped.err, typed.err);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(data_header(), kDelivered + "\"x\",\n\"y\",\n\"zz\",\n\"top\",\n");
  EXPECT_EQ(data_header(), read_text(typed_dir.file("data.h")));
  EXPECT_TRUE(rebuilt());
  EXPECT_EQ(run("x\n").out, "key: found data: y\nkey: \n") << "the pair is in the build itself";
}

}  // namespace
