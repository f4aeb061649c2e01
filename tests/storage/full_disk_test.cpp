// A disk that is really full, or mounted read-only, under every journal mode: each on a small
// file system of its own (test_support::small_disk), where a file can still be lengthened
// sparsely and a write to a mapped page with no block behind it kills the process with SIGBUS,
// which a file-size limit never does. The databases are used in forked children, so that such
// a fault fails the test rather than ending the test program.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

namespace {

using namespace disk_tools;
using test_support::child_processes;
using test_support::mode_name;
using test_support::small_disk;

constexpr std::size_t disk_bytes = std::size_t{2} << 20;
constexpr std::int64_t page = 4096;

#define SKIP_WITHOUT(disk)                                            \
  do {                                                                \
    if (!(disk).mounted()) GTEST_SKIP() << (disk).why();              \
  } while (0)

// Makes the database name holding the list "l" with one element, "one".
void make_database(std::string const& name) {
  d_env env{};
  d_open_options making;
  making.create_if_missing = true;
  d_database* db = open_database(name, &env, making);
  d_list<std::string>("l", &env).push_back("one");
  close_database(db);
}

// Whether e is what a full disk should give: the system's reason, and a file of the database's.
bool says_disk_full(error const& e, std::string const& name) {
  return e.sys_errno() == ENOSPC && e.path().compare(0, name.size(), name) == 0 &&
         (e.code() == errc::io_failure || e.code() == errc::cannot_open);
}

// An opening on a disk with no room left (or a page or two) for the journal and the lock
// file beside the database: it either works or says which file it could not make; one for
// reading makes nothing, so it works. Nothing is left that the next opening would mind.
TEST(FullDisk, AnOpeningWithNoRoomForItsFilesFailsClearlyOrWorks) {
  struct row {
    d_journal mode;
    bool read_only;
  };
  for (row const r : {row{d_journal::atomic, false}, row{d_journal::durable, false},
                      row{d_journal::off, false}, row{d_journal::atomic, true}}) {
    for (std::int64_t const leave : {std::int64_t{0}, page, 2 * page}) {
      std::string const label = std::string(mode_name(r.mode)) + (r.read_only ? " read-only" : "") +
                                ", " + std::to_string(leave) + " bytes left";
      small_disk disk(disk_bytes);
      SKIP_WITHOUT(disk);
      std::string const name = disk.file("db");
      make_database(name);
      disk.fill(leave);
      child_processes kids(60);
      // Each bit of the status is a failed expectation; 100 another exception.
      int const status = kids.run([&] {
        d_env env{};
        d_open_options o = test_support::options_for(r.mode);
        o.read_only = r.read_only;
        d_database* db = nullptr;
        try {
          db = open_database(name, &env, o);
        } catch (error const& e) {
          return (says_disk_full(e, name) ? 0 : 1) | (r.read_only ? 2 : 0);
        }
        int bits = d_list<std::string>("l", &env).front() == "one" ? 0 : 4;
        close_database(db);
        return bits;
      });
      EXPECT_EQ(status, 0) << label << " (-1: killed by a signal)";
      disk.free_filler();
      EXPECT_TRUE(test_support::checks_clean(name + ".odb")) << label;
      d_env env{};
      d_database* db = open_database(name, &env, d_open_options{});
      EXPECT_EQ(d_list<std::string>("l", &env).count(), 1) << label;
      close_database(db);
    }
  }
}

// One container kind as the fill below uses it: add(i) adds element i (a var grows by a
// step), count() tells how many there are.
struct kind_row {
  char const* name;
  std::function<void(d_env*, long)> add;
  std::function<long(d_env*)> count;
};

std::string value_of(long i) {
  return std::string(100, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

std::vector<kind_row> const& kinds() {
  using typed_map = d_map<std::string, std::string>;
  using hash_map = d_hashmap<std::string, std::string>;
  static std::vector<kind_row> const rows = {
      {"list", [](d_env* env, long i) { d_list<std::string>("c", env).push_back(value_of(i)); },
       [](d_env* env) { return d_list<std::string>("c", env).count(); }},
      {"vector",
       [](d_env* env, long i) { d_vector<std::string>("c", 2, env).push_back(value_of(i)); },
       [](d_env* env) { return static_cast<long>(d_vector<std::string>("c", 2, env).size()); }},
      {"typed map",
       [](d_env* env, long i) { typed_map("c", env).put("k" + std::to_string(i), value_of(i)); },
       [](d_env* env) {
         typed_map m("c", env);
         return static_cast<long>(std::distance(m.begin(), m.end()));
       }},
      {"hash map",
       [](d_env* env, long i) { hash_map("c", 16, env).put("k" + std::to_string(i), value_of(i)); },
       [](d_env* env) { return static_cast<long>(hash_map("c", 16, env).size()); }},
      // The var's count is its length in steps of 1000 bytes.
      {"var",
       [](d_env* env, long i) {
         d_var<std::string>("c", env) = std::string(static_cast<std::size_t>(i + 1) * 1000, 'v');
       },
       [](d_env* env) {
         return static_cast<long>(d_var<std::string>("c", env).get_data().size() / 1000);
       }},
  };
  return rows;
}

// Each container kind filled until the disk is full, in each journal mode, an operation at a
// time and two in a transaction: the operation that finds no room throws the full disk's error
// naming the file, what was committed before stays, and once the space is back the same
// opening goes on; the file checks clean and has lost no block (with the journal off nothing
// can be taken back, so a failed operation may leave the blocks it took: problems only).
TEST(FullDisk, FillingEachKindUntilTheDiskIsFullKeepsWhatWasCommitted) {
  for (kind_row const& kind : kinds()) {
    for (d_journal const mode : {d_journal::atomic, d_journal::durable, d_journal::off}) {
      for (bool const in_transaction : {false, true}) {
        std::string const label = std::string(kind.name) + ", " + mode_name(mode) +
                                  (in_transaction ? ", in transactions" : "");
        small_disk disk(disk_bytes);
        SKIP_WITHOUT(disk);
        std::string const name = disk.file("db");
        make_database(name);
        disk.fill(700 << 10);
        child_processes kids(60);
        // The count committed last, and after the space came back, as the status: each bit
        // a failed expectation; 100 another exception.
        int const status = kids.run([&] {
          d_env env{};
          d_database* db = open_database(name, &env, test_support::options_for(mode));
          int bits = 0;
          long committed = 0, i = 0;
          try {
            for (; i < 100000; ++i) {
              if (in_transaction) {
                d_transaction t(db);
                kind.add(&env, 2 * i);
                kind.add(&env, 2 * i + 1);
                t.commit();
              } else {
                kind.add(&env, i);
              }
              committed = kind.count(&env);
            }
            bits |= 1;  // never full
          } catch (error const& e) {
            if (!says_disk_full(e, name)) bits |= 2;
          }
          if (mode != d_journal::off && kind.count(&env) != committed) bits |= 4;
          disk.free_filler();
          kind.add(&env, 2 * i + 2);
          if (kind.count(&env) <= committed) bits |= 8;
          close_database(db);
          return bits;
        });
        EXPECT_EQ(status, 0) << label << " (-1: killed by a signal)";
        disk.free_filler();
        database_check const c = check_database(name + ".odb");
        EXPECT_EQ(c.problems, std::vector<std::string>{}) << label;
        if (mode != d_journal::off) {
          EXPECT_EQ(c.notes, std::vector<std::string>{}) << label;
        }
        d_env env{};
        d_database* db = open_database(name, &env, d_open_options{});
        EXPECT_GT(kind.count(&env), 0) << label;
        close_database(db);
      }
    }
  }
}

// One way to replace a stored value with another: set(v) stores v in the root "c", which
// make() made holding a value; get() reads it back.
struct replace_row {
  char const* name;
  std::function<void(d_env*)> make;
  std::function<void(d_env*, std::string const&)> set;
  std::function<std::string(d_env*)> get;
};

std::vector<replace_row> const& replacements() {
  using typed_map = d_map<std::string, std::string>;
  using hash_map = d_hashmap<std::string, std::string>;
  static std::vector<replace_row> const rows = {
      {"var", [](d_env*) {},
       [](d_env* env, std::string const& v) { d_var<std::string>("c", env) = v; },
       [](d_env* env) { return d_var<std::string>("c", env).get_data(); }},
      {"vector element", [](d_env* env) { d_vector<std::string>("c", 2, env).push_back(""); },
       [](d_env* env, std::string const& v) { d_vector<std::string>("c", 2, env)[0] = v; },
       [](d_env* env) { return std::string(d_vector<std::string>("c", 2, env)[0]); }},
      {"hash map put", [](d_env*) {},
       [](d_env* env, std::string const& v) { hash_map("c", 16, env).put("k", v); },
       [](d_env* env) {
         std::string v;
         hash_map("c", 16, env).get("k", v);
         return v;
       }},
      {"hash map proxy", [](d_env* env) { hash_map("c", 16, env).put("k", ""); },
       [](d_env* env, std::string const& v) { hash_map("c", 16, env)["k"] = v; },
       [](d_env* env) {
         std::string v;
         hash_map("c", 16, env).get("k", v);
         return v;
       }},
      {"typed map put", [](d_env*) {},
       [](d_env* env, std::string const& v) { typed_map("c", env).put("k", v); },
       [](d_env* env) {
         std::string v;
         typed_map("c", env).get("k", v);
         return v;
       }},
  };
  return rows;
}

// A stored value replaced by a larger one the disk has no room for, in each journal mode: the
// replacement throws the full disk's error and the old value stays, named and in use. With
// the journal off nothing is taken back, so the old block must not be freed before the new
// one is sure to fit.
TEST(FullDisk, AValueReplacedByOneThatDoesNotFitStaysAsItWas) {
  std::string const old_value(50000, 'o'), new_value(200000, 'n');
  for (replace_row const& r : replacements()) {
    for (d_journal const mode : {d_journal::atomic, d_journal::durable, d_journal::off}) {
      std::string const label = std::string(r.name) + ", " + mode_name(mode);
      small_disk disk(std::size_t{1} << 20);
      SKIP_WITHOUT(disk);
      std::string const name = disk.file("db");
      make_database(name);
      {
        d_env env{};
        d_database* db = open_database(name, &env, d_open_options{});
        r.make(&env);
        r.set(&env, old_value);
        close_database(db);
      }
      disk.fill(2 * page);
      child_processes kids(60);
      int const status = kids.run([&] {
        d_env env{};
        d_database* db = open_database(name, &env, test_support::options_for(mode));
        int bits = 1;  // never refused
        try {
          r.set(&env, new_value);
        } catch (error const& e) {
          bits = says_disk_full(e, name) ? 0 : 2;
        }
        if (r.get(&env) != old_value) bits |= 4;
        close_database(db);
        return bits;
      });
      EXPECT_EQ(status, 0) << label << " (-1: killed by a signal)";
      disk.free_filler();
      EXPECT_TRUE(test_support::checks_clean(name + ".odb")) << label;
      std::string after;
      EXPECT_EQ(test_support::thrown_by([&] {
                  d_env env{};
                  d_database* db = open_database(name, &env, d_open_options{});
                  after = r.get(&env);
                  close_database(db);
                }),
                "")
          << label;
      EXPECT_EQ(after, old_value) << label;
    }
  }
}

// Another process reads while the writer fills the disk, in each shared mode and read-only:
// every read sees a whole commit (the list's count never goes back, its check passes), the
// writer's full disk costs the reader nothing, and the reader sees the writer's last commit.
TEST(FullDisk, AReaderBesideAWriterThatFillsTheDiskSeesWholeCommits) {
  for (d_journal const mode : {d_journal::atomic, d_journal::durable}) {
    for (bool const reader_read_only : {false, true}) {
      std::string const label =
          std::string(mode_name(mode)) + (reader_read_only ? ", reader read-only" : "");
      small_disk disk(disk_bytes);
      SKIP_WITHOUT(disk);
      std::string const name = disk.file("db");
      make_database(name);
      disk.fill(600 << 10);
      test_support::signal_pipe opened, done;
      child_processes kids(60);
      // The reader's status: each bit a failed expectation; 100 another exception.
      pid_t const reader = kids.start([&] {
        d_env env{};
        d_open_options o = test_support::options_for(mode);
        o.read_only = reader_read_only;
        d_database* db = open_database(name, &env, o);
        opened.say();
        int bits = 0;
        long last = 0;
        bool writer_done = false;
        while (!writer_done) {
          auto const soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
          writer_done = done.heard(soon);
          d_read_transaction rt(db);
          d_list<std::string> l("l", &env);
          long const n = l.count();
          if (n < last) bits |= 1;
          if (!l.check().empty() || l.back() != (n == 1 ? "one" : value_of(n))) bits |= 2;
          last = n;
        }
        close_database(db);
        return bits | (last > 1 ? 0 : 4);
      });
      ASSERT_TRUE(opened.heard()) << label;
      int const writer = kids.run([&] {
        d_env env{};
        d_database* db = open_database(name, &env, test_support::options_for(mode));
        d_list<std::string> l("l", &env);
        int bits = 1;  // never full
        try {
          for (long i = 2; i < 100000; ++i) l.push_back(value_of(i));
        } catch (error const& e) {
          bits = says_disk_full(e, name) ? 0 : 2;
        }
        disk.free_filler();
        l.push_back(value_of(l.count() + 1));
        close_database(db);
        done.say();
        return bits;
      });
      EXPECT_EQ(writer, 0) << label << ": the writer (-1: killed by a signal)";
      EXPECT_EQ(kids.wait(reader, std::chrono::steady_clock::now() + std::chrono::seconds(30)), 0)
          << label << ": the reader (-1: killed by a signal)";
      EXPECT_TRUE(test_support::checks_clean(name + ".odb")) << label;
    }
  }
}

// A database on a file system mounted read-only: an opening for reading works, one for
// writing is refused naming the file and the system's reason, and the check reads it.
TEST(FullDisk, ADatabaseOnAReadOnlyFileSystemOpensForReading) {
  small_disk disk(disk_bytes);
  SKIP_WITHOUT(disk);
  std::string const name = disk.file("db");
  make_database(name);
  ASSERT_TRUE(disk.remount(true));
  d_env env{};
  d_database* db = open_database(name, &env, test_support::reading());
  EXPECT_EQ(d_list<std::string>("l", &env).front(), "one");
  EXPECT_EQ(test_support::code_thrown_by([&] { d_list<std::string>("l", &env).push_back("x"); }),
            errc::read_only);
  close_database(db);
  for (d_journal const mode : {d_journal::atomic, d_journal::durable, d_journal::off}) {
    try {
      close_database(open_database(name, &env, test_support::options_for(mode)));
      ADD_FAILURE() << mode_name(mode) << ": opened for writing";
    } catch (error const& e) {
      EXPECT_EQ(e.code(), errc::cannot_open) << mode_name(mode);
      EXPECT_EQ(e.path(), name + ".odb") << mode_name(mode);
      EXPECT_EQ(e.sys_errno(), EROFS) << mode_name(mode);
    }
  }
  EXPECT_TRUE(test_support::checks_clean(name + ".odb"));
  EXPECT_TRUE(disk.remount(false));
}

}  // namespace
