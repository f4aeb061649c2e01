// Rebuild and replace: each test has the driver call Reload::reload with a tiny program as
// the source, and reads what the replacement printed; the search for a bare program name is
// tested on its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "reload.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::count_of;
using reload_test::write_text;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;

// The driver's exit status and output when Reload::reload came back.
constexpr int kReturned = 42;
const char* const kReturnedLine = "returned\n";
constexpr int kCannotArrange = 77;

// A program that tells how it was started and whether SIGCHLD is ignored in it.
std::string probe_source(const std::string& tag) {
  return "#include <signal.h>\n"
         "#include <cstdio>\n"
         "int main(int argc, char** argv) {\n"
         "  struct sigaction sa;\n"
         "  sigaction(SIGCHLD, nullptr, &sa);\n"
         "  std::printf(\"" +
         tag +
         " argc=%d argv0=%s sigchld=%s\\n\", argc, argv[0],\n"
         "              sa.sa_handler == SIG_IGN ? \"ignored\" : \"default\");\n"
         "}\n";
}

std::string probe_line(const std::string& tag, const std::string& argv0) {
  return tag + " argc=1 argv0=" + argv0 + " sigchld=default\n";
}

// Has the driver call Reload::reload(src, exe) in the folder cwd; `options` go first.
run_result rebuild(const std::string& cwd, const std::string& src, const std::string& exe,
                   const std::vector<std::string>& options = {},
                   const std::vector<std::string>& more = {}) {
  std::vector<std::string> argv = {RELOAD_REBUILD_DRIVER};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(src);
  argv.push_back(exe);
  argv.insert(argv.end(), more.begin(), more.end());
  return run_program(argv, cwd);
}

// A folder holding ./probe built from probe_source("old") and, as probe.cpp, source that does
// not compile: whatever runs ./probe afterwards shows up in the output.
void build_old_probe_and_break_source(const scratch_dir& dir) {
  write_text(dir.file("probe.cpp"), probe_source("old"));
  ASSERT_EQ(run_program({"/usr/bin/c++", "probe.cpp", "-o", "probe"}, dir.path()).status, 0);
  write_text(dir.file("probe.cpp"), "this is not C++\n");
}

TEST(RebuildTest, BuildsTheSourceAndBecomesTheNewBuild) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), probe_source("new"));
  auto r = rebuild(dir.path(), "probe.cpp", "./probe");
  EXPECT_EQ(r.status, 0) << r.err;
  // One argument, the executable's path as given, and SIGCHLD left at its default.
  EXPECT_EQ(r.out, probe_line("new", "./probe"));
  EXPECT_EQ(r.err, "");
}

TEST(RebuildTest, AnAbsoluteExecutablePathIsWrittenAndStartedAsGiven) {
  scratch_dir dir;
  fs::create_directory(dir.file("bin"));
  write_text(dir.file("probe.cpp"), probe_source("abs"));
  const std::string exe = dir.file("bin/probe");
  auto r = rebuild(dir.path(), "probe.cpp", exe);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, probe_line("abs", exe));
}

TEST(RebuildTest, OutputStillBufferedIsWrittenOnceBeforeTheReplacement) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), probe_source("next"));
  auto r = rebuild(dir.path(), "probe.cpp", "./probe", {}, {"pending "});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "pending " + probe_line("next", "./probe"));
}

TEST(RebuildTest, AFailedBuildIsReportedAndThePreviousBuildIsNotStarted) {
  scratch_dir dir;
  build_old_probe_and_break_source(dir);
  auto r = rebuild(dir.path(), "probe.cpp", "./probe");
  EXPECT_EQ(r.status, kReturned);
  EXPECT_EQ(r.out, kReturnedLine);
  EXPECT_EQ(count_of(r.err, "unable to re-compile...\n"), 1u) << r.err;
  EXPECT_NE(r.err.find("error"), std::string::npos) << "the compiler's own complaint";
  EXPECT_EQ(r.err.find("unable to re-execute"), std::string::npos) << r.err;
}

// An earlier build, or whoever started the program, may hand it SIGCHLD ignored; the
// compiler's exit status must still be read.
TEST(RebuildTest, AnInheritedIgnoredSigchldDoesNotHideTheCompilersStatus) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), probe_source("new"));
  auto built = rebuild(dir.path(), "probe.cpp", "./probe", {"--sigchld-ignored"});
  EXPECT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(built.out, probe_line("new", "./probe"));

  write_text(dir.file("probe.cpp"), "this is not C++\n");
  auto failed = rebuild(dir.path(), "probe.cpp", "./probe", {"--sigchld-ignored"});
  EXPECT_EQ(failed.status, kReturned);
  EXPECT_EQ(failed.out, kReturnedLine);
  EXPECT_EQ(count_of(failed.err, "unable to re-compile...\n"), 1u) << failed.err;
}

// The child that was to become the compiler must end, not go on as a second copy of the
// program: that copy would start ./probe, or come back from the call a second time.
TEST(RebuildTest, ACompilerThatCannotBeStartedEndsItsChildAtOnce) {
  scratch_dir dir;
  build_old_probe_and_break_source(dir);
  auto r = rebuild(dir.path(), "probe.cpp", "./probe", {"--compiler", dir.file("no-compiler")});
  EXPECT_EQ(r.status, kReturned);
  EXPECT_EQ(r.out, kReturnedLine);
  EXPECT_EQ(count_of(r.err, "unable to re-compile...\n"), 1u) << r.err;
}

TEST(RebuildTest, AFailedForkIsReportedAndNothingIsStarted) {
  scratch_dir dir;
  build_old_probe_and_break_source(dir);
  // The driver may run as an unprivileged user, who must still be able to start ./probe.
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  auto r = rebuild(dir.path(), "probe.cpp", "./probe", {"--no-fork"});
  if (r.status == kCannotArrange) GTEST_SKIP() << "fork cannot be made to fail here";
  EXPECT_EQ(r.status, kReturned);
  EXPECT_EQ(r.out, kReturnedLine);
  EXPECT_EQ(count_of(r.err, "unable to re-compile...\n"), 1u) << r.err;
}

TEST(RebuildTest, ANewBuildThatCannotBeStartedIsReported) {
  scratch_dir dir;
  // Succeeds, but leaves at its output path a file that is not executable.
  write_text(dir.file("cc"), "#!/bin/sh\necho 'not a program' > \"$3\"\n");
  fs::permissions(dir.file("cc"), fs::perms::owner_all);
  auto r = rebuild(dir.path(), "probe.cpp", "./probe", {"--compiler", dir.file("cc")});
  EXPECT_EQ(r.status, kReturned);
  EXPECT_EQ(r.out, kReturnedLine);
  EXPECT_EQ(r.err, "unable to re-execute...\n");
}

TEST(RebuildTest, ABareNameIsBuiltAndStartedWhereTheSearchPathFindsIt) {
  scratch_dir dir;
  fs::create_directory(dir.file("work"));
  fs::create_directory(dir.file("path"));
  write_text(dir.file("work/probe.cpp"), probe_source("built"));
  const std::string name = "reload_bare_name_probe";
  write_text(dir.file("path/" + name), "#!/bin/sh\necho \"the old file\"\n");
  fs::permissions(dir.file("path/" + name), fs::perms::owner_all);

  auto r = run_program({"/usr/bin/env", "PATH=" + dir.file("path") + ":/usr/bin:/bin",
                        RELOAD_REBUILD_DRIVER, "probe.cpp", name},
                       dir.file("work"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, probe_line("built", dir.file("path/" + name)));
  EXPECT_FALSE(fs::exists(dir.file("work/" + name)));
}

// Sets PATH for one test and puts the old value back afterwards.
class ExecutablePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("PATH");
    had_path_ = old != nullptr;
    if (had_path_) old_path_ = old;
  }
  void TearDown() override {
    if (had_path_) {
      setenv("PATH", old_path_.c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

  void make(const std::string& path, fs::perms perms) {
    write_text(path, "#!/bin/sh\n");
    fs::permissions(path, perms);
  }

  scratch_dir dir_;
  bool had_path_ = false;
  std::string old_path_;
};

TEST_F(ExecutablePathTest, NamesWithASlashAreTakenAsTheyAre) {
  setenv("PATH", dir_.path().c_str(), 1);
  for (const std::string name : {"./reload", "/abs/reload", "sub/reload"}) {
    EXPECT_EQ(Reload::executable_path(name), name);
  }
}

TEST_F(ExecutablePathTest, ABareNameIsTheFirstExecutableFileOfThatNameOnThePath) {
  for (const char* folder : {"a", "b", "c", "d", "e"}) fs::create_directory(dir_.file(folder));
  fs::create_directory(dir_.file("a/tool"));         // a folder, not a file
  make(dir_.file("b/tool"), fs::perms::owner_read);  // not executable
  make(dir_.file("d/tool"), fs::perms::owner_all);   // the first that runs
  make(dir_.file("e/tool"), fs::perms::owner_all);
  const std::string path = dir_.file("a") + ":" + dir_.file("b") + ":" + dir_.file("c") + ":" +
                           dir_.file("d") + ":" + dir_.file("e");
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(Reload::executable_path("tool"), dir_.file("d/tool"));
}

TEST_F(ExecutablePathTest, AnEmptyEntryIsTheWorkingDirectoryAndANameFoundNowhereIsThere) {
  const std::string name = "reload_path_probe";
  fs::create_directory(dir_.file("later"));
  make(dir_.file("later/" + name), fs::perms::owner_all);
  setenv("PATH", dir_.file("nowhere").c_str(), 1);
  EXPECT_EQ(Reload::executable_path(name), "./" + name);  // found nowhere

  const fs::path old_cwd = fs::current_path();
  make(dir_.file(name), fs::perms::owner_all);
  fs::current_path(dir_.path());
  setenv("PATH", (":" + dir_.file("later")).c_str(), 1);
  const std::string leading = Reload::executable_path(name);
  setenv("PATH", (dir_.file("later") + ":").c_str(), 1);
  const std::string trailing = Reload::executable_path(name);
  fs::current_path(old_cwd);
  EXPECT_EQ(leading, "./" + name);
  EXPECT_EQ(trailing, dir_.file("later/" + name));
}

}  // namespace
