// The map drill workload on the embedded SQL store, the peer users compare us
// with: one autocommit INSERT per pair, synchronous and the journal off, the
// file locked exclusively.
#include <chrono>
#include <stdexcept>

#include "map_workload.h"
#include "sql_db.h"
#include "timing.h"

namespace bench {

#ifdef ODB_BENCH_HAS_SQLITE

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
