// Readers and a writer in separate processes on one table of 1 000 integer
// keys: a reader's lookups per second alone and beside a writer that commits
// continuously, and the writer's commits per second alone and beside four
// readers; on our map (default atomic mode), LMDB and SQLite in WAL mode.
// Every process is forked from this one after the table is made and closed,
// counts what it does in the same fixed window of the monotonic clock (after
// a warm-up), and leaves its rate in a page shared with the parent.
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include "benches.h"
#include "lmdb_db.h"
#include "sql_db.h"
#include "timing.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint64_t table_keys = 1000;
constexpr int lookups_per_batch = 100;
constexpr std::size_t readers_beside_writer = 4;
// Every process is open before the warm-up ends, and counts only the window.
constexpr milliseconds open_time{150};
constexpr milliseconds warm_up{250};
constexpr milliseconds window{1000};
// A process still running this long after the window is killed.
constexpr milliseconds grace{10000};

// A small fast generator of random keys, seeded apart in each process.
struct key_source {
  std::uint64_t state;
  std::uint64_t next() {
    state += 0x9e3779b97f4a7c15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return (z ^ (z >> 31)) % table_keys;
  }
};

// One process's opening of a store. A lookup of a key that is missing
// throws, so that a broken reader cannot pass for a fast one.
class client {
 public:
  virtual ~client() = default;
  // lookups_per_batch lookups of random keys.
  virtual void lookup_batch(key_source& keys) = 0;
  // One transaction that sets two random keys to value.
  virtual void commit_two(key_source& keys, std::int64_t value) = 0;
};

[[noreturn]] void missing_key(char const* store) {
  throw std::runtime_error(std::string(store) + ": a key of the table was not found");
}

// ---- ours --------------------------------------------------------------

using table_map = disk_tools::d_map<std::uint64_t, std::int64_t>;

class odb_client : public client {
 public:
  odb_client(std::string const& dir, bool batched)
      : db_(disk_tools::open_database_scoped(dir + "/table", &env_)),
        map_("table", &env_),
        batched_(batched) {}

  void lookup_batch(key_source& keys) override {
    if (!batched_) return lookups(keys);
    disk_tools::d_read_transaction rt(&env_);
    lookups(keys);
  }
  void commit_two(key_source& keys, std::int64_t value) override {
    disk_tools::d_transaction tx(&env_);
    map_.put(keys.next(), value);
    map_.put(keys.next(), value);
    tx.commit();
  }

 private:
  void lookups(key_source& keys) {
    std::int64_t v = 0;
    for (int i = 0; i < lookups_per_batch; ++i) {
      if (!map_.get(keys.next(), v)) missing_key("odb");
    }
  }

  disk_tools::d_env env_{};
  disk_tools::scoped_database db_;  // before the map, which must go first
  table_map map_;
  bool batched_;
};

void odb_setup(std::string const& dir) {
  disk_tools::d_env env{};
  disk_tools::d_open_options o;
  o.create_if_missing = true;
  auto db = disk_tools::open_database_scoped(dir + "/table", &env, o);
  table_map map("table", &env);
  disk_tools::d_transaction tx(&env);
  for (std::uint64_t k = 0; k < table_keys; ++k) map.put(k, 0);
  tx.commit();
}

std::unique_ptr<client> odb_plain(std::string const& dir) {
  return std::make_unique<odb_client>(dir, false);
}
std::unique_ptr<client> odb_batched(std::string const& dir) {
  return std::make_unique<odb_client>(dir, true);
}

// ---- LMDB ----------------------------------------------------------------

#ifdef ODB_BENCH_HAS_LMDB
// MDB_NOSYNC: a commit survives the process but not a power loss, as in our
// atomic mode and SQLite's WAL with synchronous=NORMAL.
void lmdb_open(lmdb_env& e, std::string const& dir) {
  lmdb_check(mdb_env_create(&e.env), "create");
  lmdb_check(mdb_env_set_mapsize(e.env, std::size_t{1} << 30), "map size");
  lmdb_check(mdb_env_open(e.env, (dir + "/lmdb").c_str(), MDB_NOSYNC, 0644), "open");
}

class lmdb_client : public client {
 public:
  explicit lmdb_client(std::string const& dir) {
    lmdb_open(env_, dir);
    lmdb_check(mdb_txn_begin(env_.env, nullptr, MDB_RDONLY, &read_), "begin");
    lmdb_check(mdb_dbi_open(read_, nullptr, MDB_INTEGERKEY, &dbi_), "open table");
    mdb_txn_reset(read_);
  }
  ~lmdb_client() override { mdb_txn_abort(read_); }

  // Each lookup in a read transaction of its own, renewed as LMDB suggests
  // for readers that come back often.
  void lookup_batch(key_source& keys) override {
    for (int i = 0; i < lookups_per_batch; ++i) {
      std::uint64_t key = keys.next();
      MDB_val k{sizeof key, &key}, v{};
      lmdb_check(mdb_txn_renew(read_), "renew");
      int const rc = mdb_get(read_, dbi_, &k, &v);
      mdb_txn_reset(read_);
      if (rc == MDB_NOTFOUND) missing_key("lmdb");
      lmdb_check(rc, "get");
    }
  }
  void commit_two(key_source& keys, std::int64_t value) override {
    lmdb_txn t(env_.env);
    for (int i = 0; i < 2; ++i) {
      std::uint64_t key = keys.next();
      MDB_val k{sizeof key, &key}, v{sizeof value, &value};
      lmdb_check(mdb_put(t.txn, dbi_, &k, &v, 0), "put");
    }
    t.commit();
  }

 private:
  lmdb_env env_;
  MDB_txn* read_ = nullptr;
  MDB_dbi dbi_ = 0;
};

void lmdb_setup(std::string const& dir) {
  std::filesystem::create_directory(dir + "/lmdb");
  lmdb_env e;
  lmdb_open(e, dir);
  lmdb_txn t(e.env);
  MDB_dbi dbi = 0;
  lmdb_check(mdb_dbi_open(t.txn, nullptr, MDB_INTEGERKEY, &dbi), "open table");
  for (std::uint64_t key = 0; key < table_keys; ++key) {
    std::int64_t value = 0;
    MDB_val k{sizeof key, &key}, v{sizeof value, &value};
    lmdb_check(mdb_put(t.txn, dbi, &k, &v, 0), "put");
  }
  t.commit();
}

std::unique_ptr<client> lmdb_connect(std::string const& dir) {
  return std::make_unique<lmdb_client>(dir);
}
#endif

// ---- SQLite --------------------------------------------------------------

#ifdef ODB_BENCH_HAS_SQLITE
class sqlite_client : public client {
 public:
  // The busy handler goes first: preparing reads the schema, which another
  // connection's opening of the log may lock for a moment.
  explicit sqlite_client(std::string const& dir) : db_(dir + "/table.sqlite") {
    db_.exec("PRAGMA busy_timeout=5000");
    db_.exec("PRAGMA synchronous=NORMAL");
    select_.st = db_.prepare("SELECT v FROM t WHERE k = ?1");
    update_.st = db_.prepare("UPDATE t SET v = ?2 WHERE k = ?1");
    begin_.st = db_.prepare("BEGIN IMMEDIATE");
    commit_.st = db_.prepare("COMMIT");
  }

  // Each SELECT outside BEGIN is a read transaction of its own.
  void lookup_batch(key_source& keys) override {
    for (int i = 0; i < lookups_per_batch; ++i) {
      sqlite3_bind_int64(select_.st, 1, static_cast<sqlite3_int64>(keys.next()));
      int const rc = step_past_busy(select_.st);
      if (rc == SQLITE_DONE) missing_key("sqlite");
      if (rc != SQLITE_ROW) db_.fail("select");
    }
  }
  void commit_two(key_source& keys, std::int64_t value) override {
    if (step_past_busy(begin_.st) != SQLITE_DONE) db_.fail("begin");
    for (int i = 0; i < 2; ++i) {
      sqlite3_bind_int64(update_.st, 1, static_cast<sqlite3_int64>(keys.next()));
      sqlite3_bind_int64(update_.st, 2, value);
      step(update_.st, "update");
    }
    step(commit_.st, "commit");
  }

 private:
  // A statement that is still told "database is locked" when the busy
  // handler gives up is run again, as an application would; the parent ends
  // a process that never gets through.
  static int step_past_busy(sqlite3_stmt* st) {
    for (;;) {
      int const rc = sqlite3_step(st);
      sqlite3_reset(st);
      if (rc != SQLITE_BUSY) return rc;
    }
  }
  void step(sqlite3_stmt* st, char const* what) {
    int const rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) db_.fail(what);
  }

  sql_db db_;
  statement select_{nullptr}, update_{nullptr}, begin_{nullptr}, commit_{nullptr};
};

void sqlite_setup(std::string const& dir) {
  sql_db db(dir + "/table.sqlite");
  db.exec("PRAGMA journal_mode=WAL");
  db.exec("CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER NOT NULL)");
  db.exec("BEGIN");
  statement ins{db.prepare("INSERT INTO t(k, v) VALUES(?1, 0)")};
  for (std::uint64_t k = 0; k < table_keys; ++k) {
    sqlite3_bind_int64(ins.st, 1, static_cast<sqlite3_int64>(k));
    if (sqlite3_step(ins.st) != SQLITE_DONE) db.fail("insert");
    sqlite3_reset(ins.st);
  }
  db.exec("COMMIT");
}

std::unique_ptr<client> sqlite_connect(std::string const& dir) {
  return std::make_unique<sqlite_client>(dir);
}
#endif

struct store {
  char const* heading;
  void (*setup)(std::string const& dir);                       // null: not built
  std::unique_ptr<client> (*connect)(std::string const& dir);  // in the child
};

store const stores[] = {
    {"odb map, default d_journal::atomic, plain reads (each lookup sees the latest commit)",
     odb_setup, odb_plain},
    {"odb map, default d_journal::atomic, a d_read_transaction per 100 lookups", odb_setup,
     odb_batched},
#ifdef ODB_BENCH_HAS_LMDB
    {"LMDB, MDB_NOSYNC, a read transaction per lookup", lmdb_setup, lmdb_connect},
#else
    {"LMDB", nullptr, nullptr},
#endif
#ifdef ODB_BENCH_HAS_SQLITE
    {"SQLite, journal_mode=WAL, synchronous=NORMAL, a read transaction per lookup", sqlite_setup,
     sqlite_connect},
#else
    {"SQLite", nullptr, nullptr},
#endif
};

// ---- the processes -------------------------------------------------------

struct schedule {
  clock_type::time_point start;  // the window's
  clock_type::time_point end;
};

// What a process does: commit continuously, look up continuously, or look
// up one batch every light_pause (a process that mostly idles, to tell what
// sharing the database costs from what busy readers cost).
enum class role { writer, reader, light_reader };
constexpr milliseconds light_pause{50};

// The processor time this process has used, in user and system mode.
double cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto const seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// What one process did inside the window: its operations per second, and the
// share of one core it had meanwhile.
struct outcome {
  double rate = -1;
  double core_share = -1;
};

// Runs one role until the window ends.
outcome run_role(store const& s, std::string const& dir, role r, std::uint64_t seed,
                 schedule const& when) {
  std::unique_ptr<client> c = s.connect(dir);
  key_source keys{seed};
  std::uint64_t done = 0, at_start = 0;
  double cpu_at_start = 0;
  clock_type::time_point started{};
  bool const writer = r == role::writer;
  for (;;) {
    if (writer) {
      c->commit_two(keys, static_cast<std::int64_t>(done));
      ++done;
    } else {
      c->lookup_batch(keys);
      done += lookups_per_batch;
      if (r == role::light_reader) std::this_thread::sleep_for(light_pause);
    }
    auto const now = clock_type::now();
    if (started == clock_type::time_point{} && now >= when.start) {
      started = now;
      at_start = done;
      cpu_at_start = cpu_seconds();
    }
    if (now >= when.end) {
      // One operation that outlasted the whole window counts as none in it.
      if (started == now) {
        std::fprintf(stderr, "concurrent bench: %s, a %s's operation outlasted the window\n",
                     s.heading, writer ? "writer" : "reader");
        return {0, 0};
      }
      double const seconds = std::chrono::duration<double>(now - started).count();
      return {static_cast<double>(done - at_start) / seconds,
              (cpu_seconds() - cpu_at_start) / seconds};
    }
  }
}

// A page shared with the children, where each leaves its outcome.
class rate_board {
 public:
  explicit rate_board(std::size_t slots) : size_(slots * sizeof(outcome)) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("cannot map a page for the children's rates");
    outcomes_ = static_cast<outcome*>(p);
    for (std::size_t i = 0; i < slots; ++i) outcomes_[i] = outcome{};
  }
  ~rate_board() { ::munmap(outcomes_, size_); }
  rate_board(rate_board const&) = delete;
  rate_board& operator=(rate_board const&) = delete;
  outcome& operator[](std::size_t i) { return outcomes_[i]; }

 private:
  std::size_t size_;
  outcome* outcomes_ = nullptr;
};

// The children forked for one measurement; any still running when it goes
// (an exception, or one stuck past its deadline) is killed, and all are
// reaped.
class children {
 public:
  children() = default;
  ~children() {
    for (pid_t pid : running_) ::kill(pid, SIGKILL);
    for (pid_t pid : running_) reap(pid);
  }
  children(children const&) = delete;
  children& operator=(children const&) = delete;

  template <class Body>
  void start(Body body) {
    std::fflush(nullptr);
    pid_t const pid = ::fork();
    if (pid < 0) throw std::runtime_error("cannot fork a process for the concurrent bench");
    if (pid == 0) {
      int code = 1;
      try {
        body();
        code = 0;
      } catch (std::exception const& e) {
        std::fprintf(stderr, "concurrent bench, child: %s\n", e.what());
      }
      ::_exit(code);  // nothing of the parent's (buffers, destructors) runs twice
    }
    running_.push_back(pid);
  }

  // Waits until every child has exited, or until the deadline, then kills
  // those left; true when every child exited with status 0.
  bool wait_all(clock_type::time_point deadline) {
    bool all_ok = true;
    while (!running_.empty()) {
      for (std::size_t i = 0; i < running_.size();) {
        int status = 0;
        pid_t const got = ::waitpid(running_[i], &status, WNOHANG);
        if (got == running_[i] || (got < 0 && errno != EINTR)) {
          all_ok = all_ok && got == running_[i] && WIFEXITED(status) && WEXITSTATUS(status) == 0;
          running_.erase(running_.begin() + static_cast<long>(i));
        } else {
          ++i;
        }
      }
      if (running_.empty()) break;
      if (clock_type::now() >= deadline) {
        for (pid_t pid : running_) ::kill(pid, SIGKILL);
        for (pid_t pid : running_) reap(pid);
        running_.clear();
        return false;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return all_ok;
  }

 private:
  static void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  std::vector<pid_t> running_;
};

// The outcomes of processes in the given roles, all running together in one
// window, in the same order.
std::vector<outcome> measure(store const& s, std::string const& dir,
                            std::vector<role> const& roles) {
  std::size_t const processes = roles.size();
  rate_board board(processes);
  auto const now = clock_type::now();
  schedule const when{now + open_time + warm_up, now + open_time + warm_up + window};
  children kids;
  for (std::size_t i = 0; i < processes; ++i) {
    kids.start([&, i] { board[i] = run_role(s, dir, roles[i], 1 + i * 7919, when); });
  }
  if (!kids.wait_all(when.end + grace)) {
    throw std::runtime_error(std::string("concurrent bench: a process failed on ") + s.heading);
  }
  std::vector<outcome> outcomes;
  for (std::size_t i = 0; i < processes; ++i) outcomes.push_back(board[i]);
  return outcomes;
}

std::string per_second(double rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", rate);
  return buf;
}

std::string ratio(double part, double whole) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", whole > 0 ? part / whole : 0.0);
  return buf;
}

}  // namespace

void run_concurrent_benches(int repetitions) {
  std::printf(
      "\n### Readers and a writer in separate processes: random lookups in, and commits of two "
      "random keys to, a table of %llu integer keys (%lld ms windows)\n\n",
      static_cast<unsigned long long>(table_keys), static_cast<long long>(window.count()));
  row({"store", "lookups/s, one reader alone", "lookups/s, beside a writer", "ratio",
       "commits/s, one writer alone", "commits/s, beside 4 readers", "ratio",
       "writer's share of a core beside 4 readers", "ratio per processor second",
       "commits/s, beside one light reader"});
  row({"---", "---", "---", "---", "---", "---", "---", "---", "---", "---"});
  using R = role;
  std::vector<R> writer_and_four(1 + readers_beside_writer, R::reader);
  writer_and_four[0] = R::writer;
  for (store const& s : stores) {
    if (!s.setup) {
      row({s.heading, "(not built)", "", "", "", "", "", "", "", ""});
      continue;
    }
    std::vector<double> const m = median_of_runs(repetitions, [&](std::string const& dir) {
      try {
        s.setup(dir);
        outcome const alone = measure(s, dir, {R::writer})[0];
        outcome const beside_four = measure(s, dir, writer_and_four)[0];
        return std::vector<double>{
            measure(s, dir, {R::reader})[0].rate,
            measure(s, dir, {R::writer, R::reader})[1].rate,
            alone.rate,
            beside_four.rate,
            measure(s, dir, {R::writer, R::light_reader})[0].rate,
            alone.rate / alone.core_share,
            beside_four.core_share,
            beside_four.rate / beside_four.core_share};
      } catch (...) {
        remove_dir(dir);  // the harness removes it only after a run that returns
        throw;
      }
    });
    char share[32];
    std::snprintf(share, sizeof share, "%.2f", m[6]);
    row({s.heading, per_second(m[0]), per_second(m[1]), ratio(m[1], m[0]), per_second(m[2]),
         per_second(m[3]), ratio(m[3], m[2]), share, ratio(m[7], m[5]), per_second(m[4])});
  }
  // Every process is busy all the time, so with more of them than cores the
  // ratios also hold what sharing the processors costs.
  std::printf(
      "\nEvery process runs flat out: a writer beside four readers is five busy processes on "
      "%ld cores; the writer's share of a core and its commits per second of processor time "
      "tell what the readers take from it through the database from what they take as busy "
      "processes. The light reader looks up %d keys every %lld ms, so that the last column shows "
      "what the writer pays for sharing the database alone.\n",
      ::sysconf(_SC_NPROCESSORS_ONLN), lookups_per_batch,
      static_cast<long long>(light_pause.count()));
}

}  // namespace bench
