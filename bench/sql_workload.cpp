// The map drill workload on the embedded SQL store, the peer users compare us
// with: one autocommit INSERT per pair, synchronous and the journal off, the
// file locked exclusively.
#include <chrono>
#include <stdexcept>

#include "map_workload.h"
#include "timing.h"

#ifdef ODB_BENCH_HAS_SQLITE
#include <sqlite3.h>
#endif

namespace bench {

#ifdef ODB_BENCH_HAS_SQLITE

namespace {

// Owns one open connection and one prepared statement at a time.
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

}  // namespace

std::optional<map_phases> run_sql_workload(std::string const& dir, unsigned n) {
  map_phases t;
  sql_db db(dir + "/int.sqlite");
  db.exec("PRAGMA synchronous=OFF");
  db.exec("PRAGMA journal_mode=OFF");
  db.exec("PRAGMA locking_mode=EXCLUSIVE");
  db.exec("CREATE TABLE btree(k INTEGER PRIMARY KEY, v INTEGER NOT NULL)");

  {
    statement ins{db.prepare("INSERT INTO btree(k, v) VALUES(?1, ?2)")};
    auto const start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < n; ++i) {
      sqlite3_bind_int64(ins.st, 1, i);
      sqlite3_bind_int64(ins.st, 2, i);
      if (sqlite3_step(ins.st) != SQLITE_DONE) db.fail("insert");
      sqlite3_reset(ins.st);
    }
    t.insert = seconds_since(start);
  }

  unsigned long long sum = 0;
  {
    statement get{db.prepare("SELECT v FROM btree WHERE k = ?1")};
    auto const start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < n; ++i) {
      sqlite3_bind_int64(get.st, 1, i);
      if (sqlite3_step(get.st) != SQLITE_ROW) db.fail("lookup");
      sum += static_cast<unsigned long long>(sqlite3_column_int64(get.st, 0));
      sqlite3_reset(get.st);
    }
    t.lookup = seconds_since(start);
  }

  {
    statement all{db.prepare("SELECT k, v FROM btree")};
    unsigned long long walked = 0, walk_sum = 0;
    auto const start = std::chrono::steady_clock::now();
    while (sqlite3_step(all.st) == SQLITE_ROW) {
      walk_sum += static_cast<unsigned long long>(sqlite3_column_int64(all.st, 1));
      ++walked;
    }
    t.walk = seconds_since(start);
    if (walked != n || walk_sum != sum) throw std::runtime_error("sqlite walk lost rows");
  }
  return t;
}

#else

std::optional<map_phases> run_sql_workload(std::string const&, unsigned) {
  return std::nullopt;
}

#endif

}  // namespace bench
