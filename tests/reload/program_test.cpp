// The reload program end to end: each test builds a copy of reload/ in a folder of its own
// with the system compiler, runs it with scripted input, and checks its output, the data
// header and whether it rebuilt.
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
  for (const std::string p : {"key: ", "data: "})
    if (out.size() >= p.size() && out.compare(out.size() - p.size(), p.size(), p) == 0) return true;
  return false;
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
      // "b c" on one line answers two prompts.
      {"./reload", "a\n1\n2\nb c\n",
       "key: found data: a\nkey: found data: 2\nkey: found data: 3\n"
       "key: found data: b\nkey: found data: c\nkey: \n",
       "", 0},
      // Asked for a value, then end of input: nothing stored.
      {"./reload", "3\n", "key: data: \n", "", 0},
      {"./reload", "ab\n", "key: data: \n", "", 0},
      {"./reload", "A\n", "key: data: \n", "", 0},
      {"./reload", "a1\n", "key: data: \n", "", 0},
      {"./reload", "", "key: \n", "", 0},
      {"./reload", " \n\t\n", "key: \n", "", 0},
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
    if (c.times == 0) {
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_EQ(count_of(outcome.err, c.err_part), c.times) << outcome.err;
    }
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

// A new pair is appended and answered by the rebuilt program; input already waiting when
// the process replaces itself must reach the new build. Quotes, backslashes and control bytes
// survive the escaping into the data header and the rebuild.
TEST_F(ReloadProgramTest, APipedSessionAnswersLikeTheSameLinesTypedOneByOne) {
  const std::string key = "q\"k\\", value = std::string("v\x01") + "7\x7f";
  const std::vector<std::string> lines = {"x", "y", "x", "a", "zz", "top", "zz", "1", key, value};
  std::string piped_input;
  for (const std::string& line : lines) piped_input += line + "\n";
  auto piped = run(piped_input);

  scratch_dir typed_dir;
  ASSERT_NO_FATAL_FAILURE(make_copy(typed_dir));
  auto typed = run_typed(typed_dir.path(), lines);
  EXPECT_EQ(typed.status, 0) << typed.err;
  EXPECT_EQ(typed.out,
            "key: data: key: found data: y\nkey: found data: a\n"
            "key: data: key: found data: top\nkey: found data: 2\nkey: data: key: \n");
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, typed.out);
  EXPECT_EQ(piped.err, typed.err);
  EXPECT_EQ(piped.err, "") << "the builds with the escaped lines must succeed";
  EXPECT_EQ(data_header(), kDelivered + "\"x\",\n\"y\",\n\"zz\",\n\"top\",\n" +
                               "\"q\\\"k\\\\\",\n\"v\\0017\\177\",\n");
  EXPECT_EQ(data_header(), read_text(typed_dir.file("data.h")));
  EXPECT_TRUE(rebuilt());
  EXPECT_EQ(run("x\n" + key + "\n").out,
            "key: found data: y\nkey: found data: " + value + "\nkey: \n")
      << "the pairs are in the build itself";
}

}  // namespace
