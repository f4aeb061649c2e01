// Each kind of error, provoked once the way a program meets it: the code, the message, the file and
// the system's errno it carries, and that a program catching std::exception catches it.
#include <disk_tools/d_db.h>
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/journal_records.h>
#include <disk_tools/error.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "harness.h"

using namespace disk_tools;

namespace {

class ErrorTest : public test_support::database_test {
 protected:
  std::string other(char const* name) const { return dir_.file(name); }
  // An opening of this database beside the fixture's.
  scoped_database second(d_open_options o, d_env& env) {
    return open_database_scoped(name(), &env, o);
  }
};

// A row's cause makes its error happen and says which file it should name.
struct row {
  char const* what; errc code; char const* message; int sys_errno;
  std::function<void(std::string& expected_path)> cause;
};

TEST_F(ErrorTest, EachKindCarriesItsCodeMessageFileAndErrno) {
  d_env env{};
  d_open_options const waits_not = test_support::options_for(d_journal::atomic, {}),
                       reading = test_support::reading();
  char const* const bad_load = "invalid load factor: give 0 (never grow) or a positive number...";
  row const rows[] = {
      {"missing file", errc::cannot_open, "unable to open alloc file...", ENOENT,
       [&](std::string& p) { p = other("absent.odb"), open_database(other("absent"), &env); }},
      {"short file", errc::not_a_database, "not a database file...", 0,
       [&](std::string& p) {
         test_support::write_file(p = other("short.odb"), std::vector<char>(100, '\xff'));
         open_database(other("short"), &env);
       }},
      {"damaged record", errc::corrupt, "corrupt database file...", 0,
       [&](std::string& p) {
         p = path();
         db_->stream()->write_word(root_slot(db_, "l"), length() * 2);
         d_list<std::string> l("l", &env_);
       }},
      {"damaged journal", errc::corrupt_journal, "corrupt journal file...", 0,
       [&](std::string& p) {
         close();
         journal_header h;
         h.end = static_cast<word_t>(journal_header::record_size) + 8;  // past the journal's end
         std::vector<char> bytes(journal_header::record_size);
         h.encode(bytes.data());
         test_support::write_file(p = journal_file_of(path()), bytes);
         open_database(name(), &env);
       }},
      // Found by the playback rather than the reading of the journal: the error named no file.
      {"log longer than the file", errc::corrupt_journal, "corrupt journal file...", 0,
       [&](std::string& p) {
         close();
         journal_header h;
         h.kind = journal_kind::redo;
         h.committed_size = test_support::file_size(path()) * 2;  // no commit wrote that far
         std::vector<char> bytes(journal_header::record_size);
         h.encode(bytes.data());
         test_support::write_file(p = journal_file_of(path()), bytes);
         open_database(name(), &env);
       }},
      // Unjournaled writes are never shared.
      {"second opening", errc::in_use, "database is in use...", 0,
       [&](std::string& p) { p = path(), second(d_open_options{d_journal::off}, env); }},
      {"another name", errc::in_use,
       "database is in use through another name (a hard link or another path to the same "
       "file)...",
       0,
       [&](std::string& p) {
         ASSERT_EQ(::link(path().c_str(), (p = other("linked.odb")).c_str()), 0);
         open_database(other("linked"), &env);
       }},
      {"busy", errc::busy, "database is busy...", 0,
       [&](std::string& p) {
         p = path();
         d_transaction tx(db_);  // holds the writer's turn
         second(waits_not, env)->get_address("r");
       }},
      // Another opening of this very thread holds the turn: it cannot let go while this one waits,
      // which before stalled the thread for the whole timeout (5 s) all the same.
      {"busy in one thread", errc::busy, "database is busy...", 0,
       [&](std::string& p) {
         p = path();
         scoped_database other = second(d_open_options{}, env);
         d_transaction tx(db_);  // both take turns now
         auto const start = std::chrono::steady_clock::now();
         try {
           other->get_address("r");
         } catch (error const&) {
           EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
           throw;
         }
       }},
      {"read-only", errc::read_only, "database is read-only...", 0,
       [&](std::string& p) { p = path(), second(reading, env)->get_address("r"); }},
      {"closed", errc::closed, "database is closed...", 0,
       [&](std::string&) {
         d_list<std::string> l("l", &env_);
         close();
         l.push_back("x");
       }},
      {"rolled back", errc::rolled_back, "container was rolled back: make it again...", 0,
       [&](std::string&) {
         d_transaction change(db_);
         d_list<std::string> l("l", &env_);
         change.rollback();
         l.push_back("x");
       }},
      {"ended", errc::transaction_ended, "transaction already ended...", 0,
       [&](std::string&) {
         d_transaction change(db_);
         change.commit();
         change.commit();
       }},
      {"inner one open", errc::nested_open,
       "a transaction begun inside this one is still open: end it first...", 0,
       [&](std::string&) {
         d_transaction outer(db_);
         d_transaction inner(db_);
         outer.commit();
       }},
      {"directory full", errc::directory_full, "root directory full...", 0,
       [&](std::string&) {
         for (int i = 0; i < 100; ++i) db_->get_address("root " + std::to_string(i));
         d_list<std::string> l("one more", &env_);
       }},
      {"bad name", errc::bad_name, "empty root name...", 0,
       [&](std::string&) { d_list<std::string> l("", &env_); }},
      {"refused write", errc::io_failure, "unable to write db file...", EBADF,
       [&](std::string& p) {
         p = path();
         close();
         io_tools::bfstream s(p.c_str(), std::ios_base::in);
         s.write_at(0, "x", 1);
       }},
      {"index", errc::out_of_range, "vector index out of range...", 0,
       [&](std::string&) { (void)d_vector<std::string>("v", 1, &env_)[1]; }},
      {"empty", errc::empty, "list is empty...", 0,
       [&](std::string&) { d_list<std::string>("l", &env_).pop_front(); }},
      {"negative room", errc::bad_size, "invalid container size...", 0,
       [&](std::string&) { d_hashmap<std::string, std::string>("h", 16, &env_).reserve(-1); }},
      {"load factor of a chained map", errc::bad_size, bad_load, 0,
       [&](std::string&) {
         d_hashmap<std::string, std::string>("h", 16, &env_).set_max_load_factor(-1);
       }},
      // A root made by this (plain) opening records no kind: the header tells.
      {"slot table opened as chains", errc::wrong_kind,
       "hash map is a slot table of fixed-width keys and values, not a map of chains...", 0,
       [&](std::string&) {
         d_hashmap<std::uint64_t, std::uint64_t>("t", &env_).put(1, 2);
         d_hashmap<std::uint64_t, std::string>("t", &env_).put(1, "x");
       }},
      {"load factor of a slot table", errc::bad_size, bad_load, 0,
       [&](std::string&) {
         d_hashmap<std::uint64_t, std::uint64_t>("t", &env_).set_max_load_factor(
             std::numeric_limits<double>::quiet_NaN());
       }},
  };
  for (row const& r : rows) {
    SCOPED_TRACE(r.what);
    TearDown();
    SetUp();
    env = d_env{};
    std::string path;
    try {
      r.cause(path);
      ADD_FAILURE() << "nothing thrown";
    } catch (std::exception const& e) {
      auto const* err = dynamic_cast<error const*>(&e);
      ASSERT_NE(err, nullptr) << e.what();
      EXPECT_EQ(err->code(), r.code) << static_cast<int>(err->code());
      EXPECT_STREQ(e.what(), r.message);
      EXPECT_EQ(err->path(), path);
      EXPECT_EQ(err->sys_errno(), r.sys_errno) << std::strerror(err->sys_errno());
    }
  }
}

TEST(Error, DetailNamesTheFileAndTheSystemsReason) {
  EXPECT_EQ(error(errc::cannot_open, "unable to open alloc file...", "notes.odb", ENOENT).detail(),
            std::string("unable to open alloc file...: notes.odb: ") + std::strerror(ENOENT));
  EXPECT_EQ(error(errc::corrupt, "corrupt database file...").detail(), "corrupt database file...");
}

}  // namespace
