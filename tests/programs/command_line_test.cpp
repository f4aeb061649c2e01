// The command line of every Linux program: --help and --version answer on
// standard output with status 0, anything else they do not know is refused on
// standard error with status 2, and none of them does anything first: the
// scratch folder they run in stays empty (no database made, and for reload no
// rebuild tried), and reload does not start reading keys.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"

namespace {

TEST(CommandLine, EveryProgramAnswersHelpVersionAndRefusesTheUnknown) {
  std::pair<std::string, char const*> const programs[] = {{"showcase", SHOWCASE_PATH},
                                                          {"mapdrill", MAPDRILL_PATH},
                                                          {"odbcheck", ODBCHECK_PATH},
                                                          {"odbstat", ODBSTAT_PATH},
                                                          {"odbcompact", ODBCOMPACT_PATH},
                                                          {"odbcopy", ODBCOPY_PATH},
                                                          {"reload", RELOAD_PATH}};
  for (auto const& [name, path] : programs) {
    struct {
      std::vector<std::string> args;
      int status;
      std::string out_start;  // what standard output begins with; "" when it must stay empty
      std::string err_part;   // a part of standard error; "" when it must stay empty
    } const cases[] = {
        {{"--help"}, 0, "usage: " + name, ""},
        {{"--version"}, 0, name + " " + ODB_VERSION + "\n", ""},
        // Refused before a later --help is seen, and the message says where help is.
        {{"--bogus", "--help"}, 2, "", name + ": unknown option '--bogus' (see " + name + " --help)"},
        // A known option beside an unknown one does nothing either.
        {{"-init", "--details", "--bogus"}, 2, "", "unknown"},
    };
    for (auto const& c : cases) {
      std::string what = name;
      for (auto const& a : c.args) what += " " + a;
      SCOPED_TRACE(what);
      test_support::scratch_dir dir;
      std::vector<std::string> argv = c.args;
      argv.insert(argv.begin(), path);
      auto const r = test_support::run_program(argv, dir.path(), "", 30);
      EXPECT_EQ(r.status, c.status) << r.out << r.err;
      EXPECT_EQ(c.out_start.empty() ? r.out : r.out.substr(0, c.out_start.size()), c.out_start);
      EXPECT_TRUE(c.err_part.empty() ? r.err.empty() : r.err.find(c.err_part) != std::string::npos)
          << r.err;
      EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "files left behind";
    }
  }
}

}  // namespace
