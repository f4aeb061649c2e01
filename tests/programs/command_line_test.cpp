// The command line of every Linux program: --help and --version answer on
// standard output with status 0, anything else they do not know is refused on
// standard error with status 2, and none of them does anything first: the
// scratch folder they run in stays empty (no database made, and for reload no
// rebuild tried), and reload does not start reading keys.
#include <disk_tools/d_db.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

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

// What lies in a folder: each name, with a regular file's bytes.
std::map<std::string, std::vector<char>> folder_of(std::string const& path) {
  std::map<std::string, std::vector<char>> files;
  for (auto const& e : std::filesystem::directory_iterator(path)) {
    std::string const name = e.path().filename().string();
    files[name] = e.is_regular_file() ? test_support::read_file(e.path().string())
                                      : std::vector<char>{'?'};
  }
  return files;
}

// The tools given what is no database, or names that name no file: each answers
// at once with its failure status and a message naming the file, and the folder
// stays as it was (no destination replaced, no file made).
TEST(CommandLine, ToolsRefuseWhatIsNoDatabaseAndChangeNothing) {
  test_support::scratch_dir dir;
  ASSERT_TRUE(disk_tools::create_database(dir.file("good"), nullptr));
  ASSERT_TRUE(disk_tools::create_database(dir.file("dest"), nullptr));
  test_support::write_file(dir.file("zeros.odb"), std::vector<char>(20000, 0));
  std::string const text = "a line of text, not a database\n";
  std::vector<char> lines;
  for (int i = 0; i < 800; ++i) lines.insert(lines.end(), text.begin(), text.end());
  test_support::write_file(dir.file("text.odb"), lines);
  test_support::write_file(dir.file("empty.odb"), {});
  ASSERT_EQ(::mkfifo(dir.file("pipe.odb").c_str(), 0644), 0);
  std::filesystem::create_directory(dir.file("sub"));
  auto const before = folder_of(dir.path());

  struct {
    std::vector<std::string> argv;
    int status;
    std::string err;  // the start of standard error
  } const cases[] = {
      {{ODBSTAT_PATH, "zeros"}, 2, "zeros.odb: not a database file..."},
      {{ODBSTAT_PATH, "text"}, 2, "text.odb: not a database file..."},
      {{ODBCOPY_PATH, "zeros", "dest"}, 1, "zeros.odb: not a database file..."},
      {{ODBCOPY_PATH, "text", "dest"}, 1, "text.odb: not a database file..."},
      {{ODBCOPY_PATH, "empty", "dest"}, 1, "empty.odb: not a database file..."},
      // A named pipe is read as it is, empty, instead of waiting for a writer.
      {{ODBCHECK_PATH, "pipe"}, 2, "pipe.odb: not a database file..."},
      {{ODBSTAT_PATH, "pipe"}, 2, "pipe.odb: not a database file..."},
      {{ODBCOMPACT_PATH, "pipe"}, 1, "pipe.odb: not a database file..."},
      {{ODBCOPY_PATH, "pipe", "dest"}, 1, "pipe.odb: not a database file..."},
      // Names of no file: "" and a folder's would name a hidden ".odb".
      {{ODBCHECK_PATH, ""}, 2, "odbcheck: empty database name (see odbcheck --help)"},
      {{ODBCOPY_PATH, "good", ""}, 2, "odbcopy: empty database name"},
      {{ODBCOPY_PATH, "good", "sub/"}, 2, "odbcopy: database name 'sub/' ends in '/'"},
      {{ODBCOMPACT_PATH, "sub/"}, 2, "odbcompact: database name 'sub/' ends in '/'"},
      // "." and ".." name folders as well (the library throws on them).
      {{ODBCHECK_PATH, "."}, 2, "odbcheck: database name '.' is a folder's"},
      {{ODBSTAT_PATH, "sub/.."}, 2, "odbstat: database name 'sub/..' is a folder's"},
      {{ODBCOMPACT_PATH, ".."}, 2, "odbcompact: database name '..' is a folder's"},
      {{ODBCOPY_PATH, ".", "dest"}, 2, "odbcopy: database name '.' is a folder's"},
      {{ODBCOPY_PATH, "good", "sub/."}, 2, "odbcopy: database name 'sub/.' is a folder's"},
  };
  for (auto const& c : cases) {
    std::string what;
    for (auto const& a : c.argv) what += " '" + a + "'";
    SCOPED_TRACE(what);
    auto const r = test_support::run_program(c.argv, dir.path(), "", 20);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_TRUE(folder_of(dir.path()) == before) << "the folder changed";
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("sub"))) << "a file was made in sub/";
  }
}

// Beside a sound database, a named pipe or a folder where a tool looks for the
// lock file, the journal or the allocator's side file: each tool reads the
// database as it stands, in time, and leaves everything as it was. (A pipe in
// the lock file's place kept odbcheck, odbstat and odbcopy waiting for a
// writer to open it.)
TEST(CommandLine, ToolsLookPastSideFilesThatAreNoFiles) {
  for (std::string const side : {"-lock", "-journal", "-index"}) {
    for (bool const pipe : {true, false}) {
      std::string const what = std::string("db.odb") + side + (pipe ? " a pipe" : " a folder");
      SCOPED_TRACE(what);
      test_support::scratch_dir dir;
      ASSERT_TRUE(disk_tools::create_database(dir.file("db"), nullptr));
      std::string const odd = dir.file("db.odb" + side);
      if (pipe) {
        ASSERT_EQ(::mkfifo(odd.c_str(), 0644), 0);
      } else {
        ASSERT_TRUE(std::filesystem::create_directory(odd));
      }
      auto const before = folder_of(dir.path());
      struct {
        std::vector<std::string> argv;
        std::string out;  // the start of standard output
      } const cases[] = {
          {{ODBCHECK_PATH, "db"}, "db.odb: no problems found"},
          {{ODBSTAT_PATH, "db"}, "db.odb\n"},
          {{ODBCOPY_PATH, "db", "copy"}, "copy.odb: "},
      };
      for (auto const& c : cases) {
        SCOPED_TRACE(c.argv[0]);
        auto const r = test_support::run_program(c.argv, dir.path(), "", 20);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        auto after = folder_of(dir.path());
        after.erase("copy.odb");
        EXPECT_TRUE(after == before) << "the folder changed";
      }
    }
  }
}

// A database named through a symbolic link whose target's name does not end in
// ".odb" (db.odb -> store.db): every tool works on the file the link leads to, and
// makes no "store.db.odb" beside it. odbcopy and odbcompact took the target's name
// for a database name: the copy from the link found no file, the copy onto it wrote
// store.db.odb and said it had written store.db, and compaction found no file.
TEST(CommandLine, ToolsFollowALinkToAFileOfAnyName) {
  test_support::scratch_dir dir;
  test_support::fill_every_kind(dir.file("made"), 20);
  std::filesystem::rename(dir.file("made.odb"), dir.file("store.db"));
  std::filesystem::remove(disk_tools::index_file_of(dir.file("made.odb")));
  std::filesystem::create_symlink("store.db", dir.file("db.odb"));
  ASSERT_TRUE(disk_tools::create_database(dir.file("other"), nullptr));
  std::string const store = std::filesystem::canonical(dir.file("store.db")).string();

  struct {
    std::vector<std::string> argv;
    std::string out;   // the start of standard output
    std::string same;  // a file that must then hold what store.db holds
  } const cases[] = {
      {{ODBCHECK_PATH, "db"}, store + ": ", ""},
      {{ODBSTAT_PATH, "db"}, store + "\n", ""},
      {{ODBCOPY_PATH, "db", "copy"}, "copy.odb: ", "copy.odb"},
      {{ODBCOMPACT_PATH, "db"}, store + ": ", ""},
      {{ODBCOPY_PATH, "other", "db"}, store + ": ", "other.odb"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.argv[0]);
    auto const r = test_support::run_program(c.argv, dir.path(), "", 20);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_FALSE(std::filesystem::exists(dir.file("store.db.odb"))) << "a file beside the target";
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("db.odb")));
    if (!c.same.empty()) {
      EXPECT_TRUE(test_support::read_file(dir.file(c.same)) == test_support::read_file(store));
    }
  }
}

}  // namespace
