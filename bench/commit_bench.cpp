// What a durable commit costs: integer keys and values inserted into an
// ordered table, committed one insert at a time or 1 000 at a time, on SQLite
// (synchronous=FULL, rollback journal and write-ahead log), LMDB (sync on) and
// our map (d_journal::durable, and the default d_journal::atomic, which syncs
// nothing, for reference). The syncs each commit makes are counted from a
// traced child run.
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <disk_tools/d_map.h>
#include "benches.h"
#include "child_run.h"
#include "journal.h"
#include "lmdb_db.h"
#include "scratch_db.h"
#include "sql_db.h"
#include "timing.h"

namespace bench {

namespace {

// The commit loop of one store: commits commits of per_commit inserts each,
// keys counting up from 0; nothing when the store was not built.
using commit_run = std::optional<phase_cost> (*)(std::string const& dir, long commits,
                                                 long per_commit);

#ifdef ODB_BENCH_HAS_SQLITE
std::optional<phase_cost> sqlite_commits(std::string const& dir, long commits, long per_commit,
                                         char const* journal_pragma) {
  sql_db db(dir + "/commit.sqlite");
  db.exec("PRAGMA synchronous=FULL");
  db.exec(journal_pragma);
  db.exec("CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER NOT NULL)");
  statement ins{db.prepare("INSERT INTO t(k, v) VALUES(?1, ?2)")};
  statement begin{db.prepare("BEGIN")};
  statement commit{db.prepare("COMMIT")};
  auto step = [&db](sqlite3_stmt* st) {
    if (sqlite3_step(st) != SQLITE_DONE) db.fail("step");
    sqlite3_reset(st);
  };
  phase_meter loop;
  long key = 0;
  for (long c = 0; c < commits; ++c) {
    step(begin.st);
    for (long i = 0; i < per_commit; ++i, ++key) {
      sqlite3_bind_int64(ins.st, 1, key);
      sqlite3_bind_int64(ins.st, 2, key);
      step(ins.st);
    }
    step(commit.st);
  }
  return loop.done();
}

std::optional<phase_cost> sqlite_delete(std::string const& dir, long commits, long per_commit) {
  return sqlite_commits(dir, commits, per_commit, "PRAGMA journal_mode=DELETE");
}
std::optional<phase_cost> sqlite_wal(std::string const& dir, long commits, long per_commit) {
  return sqlite_commits(dir, commits, per_commit, "PRAGMA journal_mode=WAL");
}
#else
std::optional<phase_cost> sqlite_delete(std::string const&, long, long) {
  return std::nullopt;
}
std::optional<phase_cost> sqlite_wal(std::string const&, long, long) {
  return std::nullopt;
}
#endif

#ifdef ODB_BENCH_HAS_LMDB
// Default flags: every commit syncs.
std::optional<phase_cost> lmdb_commits(std::string const& dir, long commits, long per_commit) {
  std::string const path = dir + "/lmdb";
  std::filesystem::create_directory(path);
  lmdb_env e;
  lmdb_check(mdb_env_create(&e.env), "create");
  lmdb_check(mdb_env_set_mapsize(e.env, std::size_t{1} << 30), "map size");
  lmdb_check(mdb_env_open(e.env, path.c_str(), 0, 0644), "open");
  MDB_dbi dbi = 0;
  {
    lmdb_txn t(e.env);
    lmdb_check(mdb_dbi_open(t.txn, nullptr, MDB_INTEGERKEY, &dbi), "open table");
    t.commit();
  }
  phase_meter loop;
  unsigned key = 0;
  for (long c = 0; c < commits; ++c) {
    lmdb_txn t(e.env);
    for (long i = 0; i < per_commit; ++i, ++key) {
      MDB_val k{sizeof key, &key};
      MDB_val v{sizeof key, &key};
      lmdb_check(mdb_put(t.txn, dbi, &k, &v, 0), "put");
    }
    t.commit();
  }
  return loop.done();
}
#else
std::optional<phase_cost> lmdb_commits(std::string const&, long, long) {
  return std::nullopt;
}
#endif

std::optional<phase_cost> odb_commits(std::string const& dir, long commits, long per_commit,
                                      journal mode) {
  scratch_db s(dir, mode, "commit");
  disk_tools::d_map<unsigned, unsigned, unsigned> map("btree", &s.env);
  phase_meter loop;
  run_grouped(s.db, commits * per_commit, per_commit,
              [&map](long i) { map.insert(static_cast<unsigned>(i), static_cast<unsigned>(i)); });
  return loop.done();
}

std::optional<phase_cost> odb_durable(std::string const& dir, long commits, long per_commit) {
  return odb_commits(dir, commits, per_commit, journal::durable);
}
std::optional<phase_cost> odb_default(std::string const& dir, long commits, long per_commit) {
  return odb_commits(dir, commits, per_commit, journal::plain);
}

struct store {
  char const* id;
  char const* heading;
  commit_run run;
};

store const stores[] = {
    {"sqlite-delete", "SQLite, synchronous=FULL, journal_mode=DELETE", sqlite_delete},
    {"sqlite-wal", "SQLite, synchronous=FULL, journal_mode=WAL", sqlite_wal},
    {"lmdb", "LMDB, default flags", lmdb_commits},
    {"odb-durable", "odb map, d_journal::durable, a d_transaction per commit", odb_durable},
    {"odb-default", "odb map, default d_journal::atomic (syncs nothing)", odb_default},
};

// Commits timed per run, and commits in the traced run, for each group size:
// a commit that syncs takes 4 to 27 ms on our disk, and a run should stay
// within a second or two.
struct sizing {
  long per_commit;
  long timed_commits;
  long traced_commits;
};
sizing const sizings[] = {{1, 50, 10}, {1000, 20, 5}};

std::string single_name(store const& s, long per_commit) {
  return std::string("commit/") + s.id + "/" + std::to_string(per_commit);
}

std::string per_commit_count(long count, long commits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(count) / static_cast<double>(commits));
  return buf;
}

// The syncs of one store's commits, from a traced run less one of no commits.
std::vector<std::string> sync_cells(store const& s, sizing const& z) {
  if (!strace_usable()) return {"(no strace)", "", ""};
  std::string const name = single_name(s, z.per_commit);
  child_result const run = run_child(name, z.traced_commits, true);
  child_result const base = run_child(name, 0, true);
  long const commits = z.traced_commits;
  return {per_commit_count(run.syncs - base.syncs, commits),
          per_commit_count(run.folder_syncs - base.folder_syncs, commits),
          per_commit_count(run.sync_writes - base.sync_writes, commits)};
}

}  // namespace

single_run commit_single_run(std::string const& name) {
  for (auto const& s : stores) {
    for (auto const& z : sizings) {
      if (name == single_name(s, z.per_commit)) {
        return [run = s.run, per = z.per_commit](std::string const& dir, long commits) {
          auto const cost = run(dir, commits, per);
          return cost ? std::optional<phase_costs>(phase_costs{*cost}) : std::nullopt;
        };
      }
    }
  }
  return {};
}

void run_commit_benches(int repetitions) {
  std::puts("\n### Commit cost: integer keys and values inserted into an ordered table\n");
  row({"store", "inserts per commit", "per commit", "per insert", "syncs per commit",
       "of them on a folder", "writes through O_SYNC/O_DSYNC descriptors per commit"});
  row({"---", "---", "---", "---", "---", "---", "---"});
  for (auto const& s : stores) {
    for (auto const& z : sizings) {
      bool built = true;
      double const seconds = median_of_runs(repetitions, [&](std::string const& dir) {
        auto const cost = s.run(dir, z.timed_commits, z.per_commit);
        built = cost.has_value();
        return std::vector<double>{cost ? cost->seconds : 0};
      })[0];
      if (!built) {
        row({s.heading, std::to_string(z.per_commit), "(not built)", "", "", "", ""});
        continue;
      }
      double const per_commit = seconds / static_cast<double>(z.timed_commits);
      std::vector<std::string> r = {s.heading, std::to_string(z.per_commit), duration(per_commit),
                                    duration(per_commit / static_cast<double>(z.per_commit))};
      for (auto const& c : sync_cells(s, z)) r.push_back(c);
      row(r);
    }
  }
}

}  // namespace bench
