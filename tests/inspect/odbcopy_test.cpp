// odbcopy run as a program: what it prints, and which file an error names when the copy is
// not made.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <disk_tools/d_db.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/detail/bfstream.h>
#include <disk_tools/odb_check.h>
#include <disk_tools/odb_copy.h>
#include "harness.h"

using namespace disk_tools;

namespace {

// The error named the source whatever it was about: with the copy's file open elsewhere,
// "src.odb: database is in use..." sent the user to the database that was not in use. Where
// the system gave a reason, the line ends with it.
TEST(Odbcopy, AnErrorNamesTheFileItIsAbout) {
  test_support::scratch_dir dir;
  for (std::string const name : {"src", "held"}) {
    d_env env{};
    ASSERT_TRUE(create_database(dir.file(name), &env));
    scoped_database db = open_database_scoped(dir.file(name), &env);
    d_list<int> list("list", &env);
    list.push_back(1);
  }
  d_env env{};
  scoped_database held = open_database_scoped(dir.file("held"), &env);
  struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } const cases[] = {
      {{"src", "copy"}, 0, "copy.odb: " + std::to_string(test_support::file_size(
                                              dir.file("src.odb"))) + " bytes\n", ""},
      {{"src", "held"}, 1, "", "held.odb: database is in use...\n"},
      {{"src", "missing/copy"}, 1, "",
       "missing/copy.odb: unable to write db file...: No such file or directory\n"},
      {{"nothing", "copy"}, 1, "",
       "nothing.odb: unable to open db file...: No such file or directory\n"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), ODBCOPY_PATH);
    auto const r = test_support::run_program(argv, dir.path(), "", 30);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

// A copy the disk has no room for (here a file-size limit, which refuses a write
// as a full disk does) fails with the write's error and leaves the folder as it
// was: the destination untouched, and no part of the copy left beside it to
// hold the space (DEST.odb-new stayed behind, as long as the write got).
TEST(Odbcopy, ACopyTheDiskHasNoRoomForLeavesNothingBehind) {
  test_support::scratch_dir dir;
  {
    d_env env{};
    ASSERT_TRUE(create_database(dir.file("src"), &env));
    scoped_database db = open_database_scoped(dir.file("src"), &env);
    d_list<std::string> list("list", &env);
    for (int i = 0; i < 400; ++i) list.push_back(std::string(100, 'a' + i % 26));
  }
  ASSERT_TRUE(create_database(dir.file("old"), nullptr));
  auto const names = [&] {
    std::set<std::string> found;
    for (auto const& e : std::filesystem::directory_iterator(dir.path()))
      found.insert(e.path().filename().string());
    return found;
  };
  auto const before = names();
  std::vector<char> const old = test_support::read_file(dir.file("old.odb"));
  // Past the empty database's length, far short of the source's.
  auto const limit = static_cast<rlim_t>(old.size() + 4096);
  ASSERT_GT(test_support::file_size(dir.file("src.odb")), static_cast<std::int64_t>(2 * limit));
  for (std::string const dest : {"new", "old"}) {
    SCOPED_TRACE(dest);
    test_support::child_processes kids;
    // 1: refused for another reason than the write's (100: not with an error of ours).
    int const status = kids.run([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit const small{limit, RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &small);
      errc const code = test_support::code_thrown_by(
          [&] { copy_database(dir.file("src"), dir.file(dest)); });
      return code == errc::io_failure ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(names(), before);
    EXPECT_TRUE(test_support::read_file(dir.file("old.odb")) == old) << "the old copy changed";
  }
}

// A DEST.odb-new left behind that is no file of ours (a link to another file, a pipe)
// is replaced, never written through: the copy wrote its bytes into the file the
// link led to, whatever that was, and then renamed the link to DEST.odb.
TEST(Odbcopy, ALeftoverNewFileBesideTheDestinationIsNotWrittenThrough) {
  test_support::scratch_dir dir;
  {
    d_env env{};
    ASSERT_TRUE(create_database(dir.file("src"), &env));
    scoped_database db = open_database_scoped(dir.file("src"), &env);
    d_list<std::string> list("list", &env);
    list.push_back("kept");
  }
  std::vector<char> const other = {'n', 'o', 't', 'e', 's', '\n'};
  for (std::string const leftover : {"a link to another file", "a pipe"}) {
    SCOPED_TRACE(leftover);
    test_support::write_file(dir.file("other.txt"), other);
    std::filesystem::remove(dir.file("copy.odb"));
    if (leftover == "a pipe") {
      ASSERT_EQ(::mkfifo(dir.file("copy.odb-new").c_str(), 0644), 0);
    } else {
      std::filesystem::create_symlink("other.txt", dir.file("copy.odb-new"));
    }
    EXPECT_NO_THROW(copy_database(dir.file("src"), dir.file("copy")));
    EXPECT_TRUE(test_support::read_file(dir.file("other.txt")) == other) << "written through";
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("copy.odb")));
    EXPECT_TRUE(test_support::read_file(dir.file("copy.odb")) ==
                test_support::read_file(dir.file("src.odb")));
    auto const left = std::filesystem::symlink_status(dir.file("copy.odb-new"));
    EXPECT_FALSE(std::filesystem::exists(left)) << "DEST.odb-new left behind";
  }
  // What a copy killed part way left under a name of its own goes with the next copy; a live
  // process's file, its copy under way, stays.
  test_support::child_processes kids;
  pid_t const gone = kids.start([] { return 0; });
  ASSERT_EQ(kids.wait(gone, std::chrono::steady_clock::now() + std::chrono::seconds(10)), 0);
  std::string const dead = dir.file("copy.odb-new-" + std::to_string(gone) + "-3");
  std::string const live = dir.file("copy.odb-new-" + std::to_string(::getppid()) + "-0");
  test_support::write_file(dead, other);
  test_support::write_file(live, other);
  EXPECT_NO_THROW(copy_database(dir.file("src"), dir.file("copy")));
  EXPECT_FALSE(std::filesystem::exists(dead)) << "a dead copy's file left behind";
  EXPECT_TRUE(std::filesystem::exists(live)) << "a live copy's file removed";
}

// Two copies of different databases to one new destination at once: each fails with an error of
// ours or makes a whole copy, and the destination, as a copy that returned finds it and at the
// end, is one of the two sources as it was, which checks clean. Both wrote DEST.odb-new, each
// removing what stood there first: the first to finish renamed the other's file, still empty, to
// DEST.odb, and returned.
TEST(Odbcopy, TwoCopiesToOneDestinationAtOnceLeaveOneWholeCopy) {
  test_support::scratch_dir dir;
  std::map<std::string, std::vector<char>> sources;
  for (int s = 0; s < 2; ++s) {
    std::string const name = dir.file("src" + std::to_string(s));
    {
      d_env env{};
      ASSERT_TRUE(create_database(name, &env));
      scoped_database db = open_database_scoped(name, &env);
      d_list<std::string> list("list", &env);
      for (int i = 0; i < 300 * (s + 1); ++i) list.push_back(std::string(100, 'a' + s));
    }
    sources[name] = test_support::read_file(name + ".odb");
  }
  auto const whole = [&](std::string const& file) {
    std::vector<char> const bytes = test_support::read_file(file);
    return std::any_of(sources.begin(), sources.end(),
                       [&](auto const& source) { return source.second == bytes; }) &&
           check_database(file).problems.empty();
  };
  std::mt19937 rng(17);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string const dest = dir.file("copy" + std::to_string(round));
    auto const start = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    test_support::child_processes kids;
    std::vector<pid_t> pids;
    for (auto const& source : sources) {
      auto const late = std::chrono::milliseconds(rng() % 20);
      auto const slow = std::chrono::milliseconds(rng() % 40);
      // 0: copied; 1: refused with an error of ours; 2: copied, and the destination was not
      // whole (100: anything else).
      pids.push_back(kids.start([&, from = source.first, late, slow] {
        test_support::slow_writes observer;
        observer.beside = dest;
        observer.delay = slow;
        io_tools::set_io_observer(&observer);
        std::this_thread::sleep_until(start + late);
        try {
          copy_database(from, dest);
        } catch (error const&) {
          return 1;
        }
        io_tools::set_io_observer(nullptr);
        return whole(dest + ".odb") ? 0 : 2;
      }));
    }
    int made = 0;
    for (pid_t pid : pids) {
      auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      int const status = kids.wait(pid, deadline);
      EXPECT_TRUE(status == 0 || status == 1) << status;
      made += status == 0 ? 1 : 0;
    }
    EXPECT_GE(made, 1) << "neither copy was made";
    EXPECT_TRUE(whole(dest + ".odb"));
  }
  for (auto const& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find("-new"), std::string::npos) << e.path();
  }
}

// Copies and checks taken one after another beside a writer that never rests each read a
// snapshot, and hold none of its checkpoints back. Read from the files under a pause of the
// checkpoints, each copy read the log that had grown during the one before: the fourth
// took 10 s, the sixth 33 s, and the journal passed a gigabyte.
TEST(Odbcopy, CopiesOneAfterAnotherBesideABusyWriterKeepUpAndKeepTheJournalBounded) {
  test_support::scratch_dir dir;
  std::string const src = dir.file("src");
  ASSERT_TRUE(create_database(src, nullptr));
  test_support::child_processes kids(120);
  pid_t const writer = kids.start([&] {
    d_env env{};
    scoped_database db = open_database_scoped(src, &env);
    d_map<std::string, std::string> words("words", &env);
    d_list<std::string> recent("recent", &env);
    for (std::uint64_t i = 0;; ++i) {
      d_transaction tx(&env);
      words.put("k" + std::to_string(i % 500), "value " + std::to_string(i));
      recent.push_back("item " + std::to_string(i));
      if (recent.size() > 100) {
        auto first = recent.begin();
        recent.erase(first);
      }
      tx.commit();
    }
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int const copies = 12;
  int const status = kids.run(
      [&] {
        for (int i = 0; i < copies; ++i) {
          std::string const copy = dir.file("copy" + std::to_string(i));
          copy_database(src, copy);
          if (!check_database(copy + ".odb").problems.empty()) return 2;
          if (!check_database(src + ".odb").problems.empty()) return 3;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
      },
      std::chrono::seconds(40));
  std::int64_t const journal = test_support::file_size(src + ".odb-journal");
  kids.kill(writer);
  EXPECT_EQ(status, 0) << "-1: the copies did not finish in 40 s; 2: a copy has problems; "
                          "3: the source checked while written has problems";
  // The log starts afresh past 16 MB once no snapshot needs it.
  EXPECT_LT(journal, std::int64_t{64} << 20);
}

}  // namespace
