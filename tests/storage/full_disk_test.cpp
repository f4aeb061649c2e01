// A disk that is really full, or mounted read-only, under every journal mode: each on a small
// file system of its own (test_support::small_disk), where a file can still be lengthened
// sparsely and a write to a mapped page with no block behind it kills the process with SIGBUS,
// which a file-size limit never does. The databases are used in forked children, so that such
// a fault fails the test rather than ending the test program.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
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

}  // namespace
