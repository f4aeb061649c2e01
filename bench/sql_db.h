// One open SQLite connection and its prepared statements, failing with the
// library's own message.
#pragma once

#ifdef ODB_BENCH_HAS_SQLITE

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace bench {

class sql_db {
 public:
  explicit sql_db(std::string const& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("open");
  }
  ~sql_db() { sqlite3_close(db_); }
  sql_db(sql_db const&) = delete;
  sql_db& operator=(sql_db const&) = delete;

  void exec(char const* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
  }
  sqlite3_stmt* prepare(char const* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) fail(sql);
    return st;
  }
  [[noreturn]] void fail(std::string const& what) {
    throw std::runtime_error("sqlite: " + what + ": " + sqlite3_errmsg(db_));
  }

 private:
  sqlite3* db_ = nullptr;
};

struct statement {
  sqlite3_stmt* st;
  ~statement() { sqlite3_finalize(st); }
};

}  // namespace bench

#endif
