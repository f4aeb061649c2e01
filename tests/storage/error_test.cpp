// Each kind of error, provoked once the way a program meets it: the code, the
// message, the file and the system's errno it carries, and that a program
// catching std::exception catches it.
#include <disk_tools/d_db.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/journal_records.h>
#include <disk_tools/error.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "harness.h"

using namespace disk_tools;

namespace {

// Each cause makes its error happen and says which file it should name.
class ErrorTest : public test_support::database_test {
 protected:
  std::string other(char const* name) const { return dir_.file(name); }

  static void absent(ErrorTest& t, std::string& path) {
    path = t.other("absent.odb");
    d_env env{};
    open_database(t.other("absent"), &env);
  }
  static void too_short(ErrorTest& t, std::string& path) {
    path = t.other("short.odb");
    test_support::write_file(path, std::vector<char>(100, '\xff'));
    d_env env{};
    open_database(t.other("short"), &env);
  }
  static void list_header_outside(ErrorTest& t, std::string& path) {
    path = t.path();
    t.db_->stream()->write_word(root_slot(t.db_, "l"), t.length() * 2);
    d_list<std::string> l("l", &t.env_);
  }
  static void bad_journal(ErrorTest& t, std::string& path) {
    t.close();
    path = journal_file_of(t.path());
    journal_header h;
    h.end = static_cast<word_t>(journal_header::record_size) + 8;  // past the journal's end
    std::vector<char> bytes(journal_header::record_size);
    h.encode(bytes.data());
    test_support::write_file(path, bytes);
    d_env env{};
    open_database(t.name(), &env);
  }
  // Unjournaled writes are never shared.
  static void open_twice(ErrorTest& t, std::string& path) {
    path = t.path();
    d_env env{};
    open_database(t.name(), &env, d_open_options{d_journal::off});
  }
  static void writer_waiting(ErrorTest& t, std::string& path) {
    path = t.path();
    d_transaction tx(t.db_);  // holds the writer's turn
    d_env env{};
    d_open_options o;
    o.busy_timeout = std::chrono::milliseconds(0);
    scoped_database other = open_database_scoped(t.name(), &env, o);
    other->get_address("r");
  }
  // Another opening of this very thread holds the turn: it cannot let go
  // while this one waits.
  static void writer_in_this_thread(ErrorTest& t, std::string& path) {
    path = t.path();
    d_env env{};
    d_open_options o;
    o.busy_timeout = std::chrono::milliseconds(10);
    scoped_database other = open_database_scoped(t.name(), &env, o);
    d_transaction tx(t.db_);  // both take turns now
    other->get_address("r");
  }
  static void change_read_only(ErrorTest& t, std::string& path) {
    path = t.path();
    d_env env{};
    d_open_options o;
    o.read_only = true;
    scoped_database reader = open_database_scoped(t.name(), &env, o);
    reader->get_address("r");
  }
  static void after_close(ErrorTest& t, std::string&) {
    d_list<std::string> l("l", &t.env_);
    t.close();
    l.push_back("x");
  }
  static void after_rollback(ErrorTest& t, std::string&) {
    d_transaction change(t.db_);
    d_list<std::string> l("l", &t.env_);
    change.rollback();
    l.push_back("x");
  }
  static void commit_twice(ErrorTest& t, std::string&) {
    d_transaction change(t.db_);
    change.commit();
    change.commit();
  }
  static void no_free_entry(ErrorTest& t, std::string&) {
    for (int i = 0; i < 100; ++i) t.db_->get_address("root " + std::to_string(i));
    d_list<std::string> l("one more", &t.env_);
  }
  static void empty_name(ErrorTest& t, std::string&) { d_list<std::string> l("", &t.env_); }
  static void write_read_only(ErrorTest& t, std::string& path) {
    path = t.path();
    t.close();
    io_tools::bfstream s(path.c_str(), std::ios_base::in);
    s.write_at(0, "x", 1);
  }
  static void past_the_end(ErrorTest& t, std::string&) {
    d_vector<std::string> v("v", 1, &t.env_);
    (void)v[1];
  }
  static void pop_empty(ErrorTest& t, std::string&) {
    d_list<std::string>("l", &t.env_).pop_front();
  }
};

struct row {
  char const* what;
  void (*cause)(ErrorTest&, std::string& expected_path);
  errc code;
  char const* message;
  int sys_errno;
};

TEST_F(ErrorTest, EachKindCarriesItsCodeMessageFileAndErrno) {
  row const rows[] = {
      {"missing file", ErrorTest::absent, errc::cannot_open, "unable to open alloc file...",
       ENOENT},
      {"short file", ErrorTest::too_short, errc::not_a_database, "not a database file...", 0},
      {"damaged record", ErrorTest::list_header_outside, errc::corrupt, "corrupt database file...",
       0},
      {"damaged journal", ErrorTest::bad_journal, errc::corrupt_journal, "corrupt journal file...",
       0},
      {"second opening", ErrorTest::open_twice, errc::in_use, "database is in use...", 0},
      {"busy", ErrorTest::writer_waiting, errc::busy, "database is busy...", 0},
      {"busy in one thread", ErrorTest::writer_in_this_thread, errc::busy, "database is busy...",
       0},
      {"read-only", ErrorTest::change_read_only, errc::read_only, "database is read-only...", 0},
      {"closed", ErrorTest::after_close, errc::closed, "database is closed...", 0},
      {"rolled back", ErrorTest::after_rollback, errc::rolled_back,
       "container was rolled back: make it again...", 0},
      {"ended", ErrorTest::commit_twice, errc::transaction_ended, "transaction already ended...",
       0},
      {"directory full", ErrorTest::no_free_entry, errc::directory_full, "root directory full...",
       0},
      {"bad name", ErrorTest::empty_name, errc::bad_name, "empty root name...", 0},
      {"refused write", ErrorTest::write_read_only, errc::io_failure, "unable to write db file...",
       EBADF},
      {"index", ErrorTest::past_the_end, errc::out_of_range, "vector index out of range...", 0},
      {"empty", ErrorTest::pop_empty, errc::empty, "list is empty...", 0},
  };
  for (row const& r : rows) {
    SCOPED_TRACE(r.what);
    TearDown();
    SetUp();
    std::string path;
    try {
      r.cause(*this, path);
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
