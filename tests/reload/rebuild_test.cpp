// Rebuild and replace: the driver calls Reload::reload with a tiny program as the source, and
// the test reads what the replacement printed. The search for a bare name is tested directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "reload.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::count_of;
using reload_test::write_text;
using test_support::run_result;
using test_support::scratch_dir;

// A program that tells how it was started and whether SIGCHLD is ignored in it.
const char* const kProbeSource =
    "#include <signal.h>\n#include <cstdio>\n"
    "int main(int argc, char** argv) {\n"
    "  struct sigaction sa;\n"
    "  sigaction(SIGCHLD, nullptr, &sa);\n"
    "  std::printf(\"new argc=%d argv0=%s sigchld=%s\\n\", argc, argv[0],\n"
    "              sa.sa_handler == SIG_IGN ? \"ignored\" : \"default\");\n"
    "}\n";

// Has the driver call Reload::reload("probe.cpp", "./probe") in dir; `options` go first.
run_result rebuild(const scratch_dir& dir, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {RELOAD_REBUILD_DRIVER};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {"probe.cpp", "./probe", "pending "});
  return test_support::run_program(argv, dir.path());
}

// Output still buffered is written once; the new build gets one argument, the path as given,
// and SIGCHLD at its default even when it was inherited ignored, which must not hide the
// compiler's status either.
TEST(RebuildTest, BuildsTheSourceAndBecomesTheNewBuild) {
  for (const auto& options : {std::vector<std::string>{}, {"--sigchld-ignored"}}) {
    SCOPED_TRACE(options.empty() ? "" : options[0]);
    scratch_dir dir;
    write_text(dir.file("probe.cpp"), kProbeSource);
    auto r = rebuild(dir, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "pending new argc=1 argv0=./probe sigchld=default\n");
    EXPECT_EQ(r.err, "");
  }
}

// Each failure is reported and the call comes back (the driver then says "returned" and exits
// with 42) without starting the build already at ./probe as if it were new. A child that was
// to become the compiler must end, not go on as a second copy of the program.
TEST(RebuildTest, AFailureIsReportedAndThePreviousBuildIsNotStarted) {
  scratch_dir dir;
  // Succeeds, but leaves at its output path a file that is not executable.
  write_text(dir.file("cc"), "#!/bin/sh\necho 'not a program' > \"$3\"\n");
  fs::permissions(dir.file("cc"), fs::perms::owner_all);
  const struct {
    const char* what;
    std::vector<std::string> options;
    const char* err_part;  // also: one "unable to re-compile", no "unable to re-execute"
  } cases[] = {
      {"the source does not compile", {}, "error"},  // the compiler's own complaint
      {"... with SIGCHLD ignored", {"--sigchld-ignored"}, "error"},
      {"no compiler", {"--compiler", dir.file("no-compiler")}, ""},
      {"fork fails", {"--no-fork"}, ""},
      {"the new build cannot be started", {"--compiler", dir.file("cc")}, nullptr},
  };
  // The driver may run as an unprivileged user, who must still be able to start ./probe.
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  bool fork_skipped = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // An earlier build at ./probe shows up in the output if it is started; cc's output must
    // be a new file, made without the execute bit.
    fs::remove(dir.file("probe"));
    write_text(dir.file("probe.cpp"), kProbeSource);
    if (c.err_part) {
      auto const old =
          test_support::run_program({"/usr/bin/c++", "probe.cpp", "-o", "probe"}, dir.path());
      ASSERT_EQ(old.status, 0) << old.err;
    }
    write_text(dir.file("probe.cpp"), "this is not C++\n");
    auto r = rebuild(dir, c.options);
    if (r.status == 77 && c.options == std::vector<std::string>{"--no-fork"}) {
      fork_skipped = true;
      continue;
    }
    EXPECT_EQ(r.status, 42);
    EXPECT_EQ(r.out, "pending returned\n");
    if (c.err_part) {
      EXPECT_EQ(count_of(r.err, "unable to re-compile...\n"), 1u) << r.err;
      EXPECT_EQ(count_of(r.err, "unable to re-execute"), 0u) << r.err;
      EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err, "unable to re-execute...\n");
    }
  }
  if (fork_skipped) GTEST_SKIP() << "fork cannot be made to fail here";
}

TEST(ExecutablePathTest, FindsABareNameOnTheSearchPath) {
  scratch_dir dir;
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  const fs::path old_cwd = fs::current_path();
  auto make = [&](const std::string& name, fs::perms perms) {
    write_text(dir.file(name), "#!/bin/sh\n");
    fs::permissions(dir.file(name), perms);
  };
  auto path_of = [](const std::string& path, const std::string& name) {
    setenv("PATH", path.c_str(), 1);
    return Reload::executable_path(name);
  };
  for (const char* folder : {"a", "b", "c", "d", "e"}) fs::create_directory(dir.file(folder));
  fs::create_directory(dir.file("a/tool"));  // a folder, not a file
  make("b/tool", fs::perms::owner_read);     // not executable
  make("d/tool", fs::perms::owner_all);      // the first that runs
  make("e/tool", fs::perms::owner_all);
  make("tool", fs::perms::owner_all);  // in the working directory
  const std::string abcde = dir.file("a") + ":" + dir.file("b") + ":" + dir.file("c") + ":" +
                            dir.file("d") + ":" + dir.file("e");
  fs::current_path(dir.path());
  for (const std::string name : {"./tool", "/abs/tool", "sub/tool"}) {
    EXPECT_EQ(path_of(abcde, name), name);  // a name with a slash is taken as it is
  }
  const std::string first = path_of(abcde, "tool");
  const std::string nowhere = path_of(dir.file("c"), "tool");
  const std::string leading = path_of(":" + dir.file("e"), "tool");  // empty entry: cwd
  const std::string trailing = path_of(dir.file("e") + ":", "tool");
  fs::current_path(old_cwd);
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(first, dir.file("d/tool"));
  EXPECT_EQ(nowhere, "./tool");
  EXPECT_EQ(leading, "./tool");
  EXPECT_EQ(trailing, dir.file("e/tool"));
}

}  // namespace
