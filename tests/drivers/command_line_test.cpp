// The command line of every Linux program: --help and --version answer on
// standard output with status 0, anything else they do not know is refused on
// standard error with status 2, and none of them does anything first: the
// scratch folder they run in stays empty (no database made, and for reload no
// rebuild tried), and reload does not start reading keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct program {
  std::string name;
  char const* path;
};

struct expectation {
  std::vector<std::string> args;
  int status;
  std::string out_start;  // what standard output begins with
  std::string err_part;   // a part of standard error; "" when it must stay empty
};

std::vector<expectation> cases_for(std::string const& name) {
  return {
      {{"--help"}, 0, "usage: " + name, ""},
      {{"--version"}, 0, name + " " + ODB_VERSION + "\n", ""},
      {{"--bogus"}, 2, "", name + ": unknown"},
      // Refused before a later --help is seen, and the message says where help is.
      {{"--bogus", "--help"}, 2, "", "'--bogus' (see " + name + " --help)"},
      // A known option beside an unknown one does nothing either.
      {{"-init", "--details", "--bogus"}, 2, "", "unknown"},
  };
}

TEST(CommandLine, EveryProgramAnswersHelpVersionAndRefusesTheUnknown) {
  program const programs[] = {{"showcase", SHOWCASE_PATH},
                              {"mapdrill", MAPDRILL_PATH},
                              {"odbcheck", ODBCHECK_PATH},
                              {"odbstat", ODBSTAT_PATH},
                              {"reload", RELOAD_PATH}};
  for (auto const& p : programs) {
    for (auto const& c : cases_for(p.name)) {
      std::string what = p.name;
      for (auto const& a : c.args) what += " " + a;
      test_support::scratch_dir dir;
      std::vector<std::string> argv = c.args;
      argv.insert(argv.begin(), p.path);
      auto const r = test_support::run_program(argv, dir.path(), "", 30);
      EXPECT_EQ(r.status, c.status) << what << "\n" << r.out << r.err;
      EXPECT_EQ(r.out.compare(0, c.out_start.size(), c.out_start), 0) << what << ": " << r.out;
      if (c.out_start.empty()) {
        EXPECT_EQ(r.out, "") << what;
      }
      if (c.err_part.empty()) {
        EXPECT_EQ(r.err, "") << what;
      } else {
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << what << ": " << r.err;
      }
      EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << what << " left files behind";
    }
  }
}

}  // namespace
