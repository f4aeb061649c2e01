// Rebuild and replace: each test has the driver call Reload::reload with a tiny program as
// the source, and reads what the replacement printed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "reload_test_util.h"

namespace {

using reload_test::write_text;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;

// The driver's exit status when Reload::reload came back.
constexpr int kReturned = 42;

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

// Has the driver call Reload::reload(src, exe) in the folder cwd.
run_result rebuild(const std::string& cwd, const std::string& src, const std::string& exe,
                   const std::vector<std::string>& more = {}) {
  std::vector<std::string> argv = {RELOAD_REBUILD_DRIVER, src, exe};
  argv.insert(argv.end(), more.begin(), more.end());
  return run_program(argv, cwd);
}

TEST(RebuildTest, BuildsTheSourceAndBecomesTheNewBuild) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), probe_source("new"));
  auto r = rebuild(dir.path(), "probe.cpp", "./probe");
  EXPECT_EQ(r.status, 0) << r.err;
  // One argument, the executable's path as given, and SIGCHLD still ignored after exec.
  EXPECT_EQ(r.out, "new argc=1 argv0=./probe sigchld=ignored\n");
  EXPECT_TRUE(std::filesystem::exists(dir.file("probe")));
}

TEST(RebuildTest, AnAbsoluteExecutablePathIsWrittenAndStartedAsGiven) {
  scratch_dir dir;
  std::filesystem::create_directory(dir.file("bin"));
  write_text(dir.file("probe.cpp"), probe_source("abs"));
  const std::string exe = dir.file("bin/probe");
  auto r = rebuild(dir.path(), "probe.cpp", exe);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "abs argc=1 argv0=" + exe + " sigchld=ignored\n");
}

TEST(RebuildTest, AFailedBuildStartsThePreviousExecutable) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), probe_source("old"));
  ASSERT_EQ(rebuild(dir.path(), "probe.cpp", "./probe").status, 0);

  write_text(dir.file("probe.cpp"), "this is not C++\n");
  auto r = rebuild(dir.path(), "probe.cpp", "./probe");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "old argc=1 argv0=./probe sigchld=ignored\n");
  EXPECT_NE(r.err.find("error"), std::string::npos) << "the compiler's own complaint";
  EXPECT_EQ(r.err.find("unable to"), std::string::npos) << r.err;
}

TEST(RebuildTest, ReturnsAfterSayingSoWhenNothingCanBeStarted) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), "this is not C++\n");
  auto r = rebuild(dir.path(), "probe.cpp", "./probe");
  EXPECT_EQ(r.status, kReturned);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("unable to re-execute...\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("unable to re-compile"), std::string::npos) << r.err;
}

TEST(RebuildTest, ABareNameIsBuiltHereButStartedFromTheSearchPath) {
  scratch_dir dir;
  std::filesystem::create_directory(dir.file("work"));
  std::filesystem::create_directory(dir.file("path"));
  write_text(dir.file("work/probe.cpp"), probe_source("built"));
  const std::string name = "reload_bare_name_probe";
  write_text(dir.file("path/" + name), "#!/bin/sh\necho \"from the search path\"\n");
  std::filesystem::permissions(dir.file("path/" + name), std::filesystem::perms::owner_all);

  auto r = run_program({"/usr/bin/env", "PATH=" + dir.file("path") + ":/usr/bin:/bin",
                        RELOAD_REBUILD_DRIVER, "probe.cpp", name},
                       dir.file("work"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "from the search path\n");
  EXPECT_TRUE(std::filesystem::exists(dir.file("work/" + name)))
      << "the compiler writes the bare name into the working directory";
}

TEST(RebuildTest, OutputStillBufferedIsWrittenOnceBeforeTheReplacement) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), probe_source("next"));
  auto r = rebuild(dir.path(), "probe.cpp", "./probe", {"pending "});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "pending next argc=1 argv0=./probe sigchld=ignored\n");
}

}  // namespace
