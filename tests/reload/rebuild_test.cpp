// Rebuild and replace: the driver calls Reload::reload with a tiny program as the source, and
// the test reads what the replacement printed.
#include <gtest/gtest.h>

#include <filesystem>

#include "reload.h"
#include "reload_test_util.h"

namespace {

namespace fs = std::filesystem;
using reload_test::count_of;
using reload_test::write_text;
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
test_support::run_result rebuild(const scratch_dir& dir, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {RELOAD_REBUILD_DRIVER_PATH};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {"probe.cpp", "./probe", "pending "});
  return test_support::run_program(argv, dir.path());
}

// Output still buffered is written once; the new build gets one argument, the path as given,
// and SIGCHLD at its default although it was inherited ignored, which must not hide the
// compiler's status either.
TEST(RebuildTest, BuildsTheSourceAndBecomesTheNewBuild) {
  scratch_dir dir;
  write_text(dir.file("probe.cpp"), kProbeSource);
  auto r = rebuild(dir, {"--sigchld-ignored"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "pending new argc=1 argv0=./probe sigchld=default\n");
  EXPECT_EQ(r.err, "");
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
      {"no compiler", {"--compiler", dir.file("no-compiler")}, ""},
      {"the new build cannot be started", {"--compiler", dir.file("cc")}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // An earlier build at ./probe shows up in the output if it is started; cc's output must
    // be a new file, made without the execute bit.
    fs::remove(dir.file("probe"));
    if (c.err_part) {
      write_text(dir.file("probe.cpp"), kProbeSource);
      auto const old =
          test_support::run_program({"/usr/bin/c++", "probe.cpp", "-o", "probe"}, dir.path());
      ASSERT_EQ(old.status, 0) << old.err;
    }
    write_text(dir.file("probe.cpp"), "this is not C++\n");
    auto r = rebuild(dir, c.options);
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
}

}  // namespace
