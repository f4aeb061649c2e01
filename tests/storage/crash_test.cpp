// Crashes replayed from a record of every write, resize and sync a workload makes: what
// each prefix leaves (a long write half-made; after a power loss, synced bytes plus some
// later pages, one torn) must recover to the state before or after the operation under way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using bytes_t = std::vector<char>;
using int_map = d_map<unsigned, unsigned, unsigned>;
using str_ref = d_ref<std::string>;
using str_map = d_map<str_ref, str_ref, std::string>;

constexpr std::size_t page = 4096;
char const* const memory_dir = "/dev/shm";  // thousands of openings with syncs
unsigned const map_keys = 300;              // enough ascending keys to rotate

// A change to the journal or the database, as the stream layer reported it.
struct change { bool journal; io_tools::io_event::kind what; word_t address; bytes_t bytes; };

bool ends_with(io_tools::bfstream const* s, std::string const& suffix) {
  std::string const& n = s->name();
  return n.size() > suffix.size() && n.substr(n.size() - suffix.size()) == suffix;
}

// While alive, records every change; or, armed, makes the fail_at-th from now fail.
struct recorder : io_tools::io_observer {
  recorder() { io_tools::set_io_observer(this); }
  ~recorder() { io_tools::set_io_observer(nullptr); }
  void on_event(io_tools::io_event const& e) override {
    // The allocator's side file is checked at opening and ignored when stale.
    if (!e.stream || ends_with(e.stream, "-index")) return;
    if (fail_at > 0 && ++seen == fail_at)
      throw disk_tools::error(disk_tools::errc::io_failure, "simulated write failure...");
    if (recording)
      changes.push_back(
          {ends_with(e.stream, "-journal"), e.what, e.address, {e.bytes, e.bytes + e.n}});
  }
  std::vector<change> changes;
  bool recording = false;
  long fail_at = 0, seen = 0;
};

// A file as the disk holds it, and what the system holds of it besides.
struct disk_file {
  bytes_t synced;
  bytes_t current;

  void apply(change const& c, std::size_t n) {
    using k = io_tools::io_event::kind;
    if (c.what == k::resize) current.resize(static_cast<std::size_t>(c.address), 0);
    if (c.what == k::sync) synced = current;
    if (c.what != k::write) return;
    auto const end = static_cast<std::size_t>(c.address) + n;
    if (current.size() < end) current.resize(end, 0);
    std::copy_n(c.bytes.begin(), n, current.begin() + c.address);
  }

  bytes_t after_power_loss(std::mt19937& rng) const {
    auto const at = [](bytes_t const& b, std::size_t i) { return i < b.size() ? b[i] : '\0'; };
    bytes_t out = synced;
    out.resize(rng() % 2 ? current.size() : synced.size(), 0);
    std::vector<std::size_t> changed;  // pages of unsynced bytes that reached the disk
    for (std::size_t begin = 0; begin < out.size(); begin += page) {
      std::size_t const end = std::min(out.size(), begin + page);
      std::size_t i = begin;
      while (i < end && at(synced, i) == at(current, i)) ++i;
      if (i < end && rng() % 2) changed.push_back(begin);
    }
    std::size_t const torn = changed.empty() ? 0 : rng() % changed.size();
    for (std::size_t c = 0; c < changed.size(); ++c) {
      std::size_t const begin = changed[c], whole = std::min(out.size(), begin + page);
      std::size_t const end = c == torn ? std::min(whole, begin + 512 * (rng() % 8)) : whole;
      for (std::size_t i = begin; i < end; ++i) out[i] = at(current, i);
    }
    return out;
  }
};

// Every kind of change the library makes; the objects live across steps. A
// step is one operation or several in a transaction: one change of state.
struct workload {
  struct step { std::string name; std::function<void()> run; bool rolls_back = false; };

  explicit workload(d_env& e) : env(e) {
    auto add = [this](std::string name, std::function<void()> run) {
      steps.push_back({std::move(name), std::move(run)});
    };
    auto in_tx = [this](std::function<void()> run) {  // one change of state
      return [this, run] { d_transaction tx(&env); run(); tx.commit(); };
    };
    add("root registration", [this] { d_var<int>("registered", &env); });
    add("a new list", [this] { list = make<d_list<std::string>>("list"); });
    for (int i = 0; i < 3; ++i)
      add("list push_back", [this, i] { list->push_back("value " + std::to_string(i)); });
    add("list push_front", [this] { list->push_front("first"); });
    add("list insert", [this] { list->insert(std::next(list->begin()), "inserted"); });
    add("list erase", [this] { auto it = std::next(list->begin()); list->erase(it); });
    add("list erase at the end position",
        [this] { dl_iterator<std::string> at_end(*list); list->erase(at_end); });
    add("list element write",
        [this] { auto it = list->begin(); dl_assign<std::string>{it} = "rewritten"; });
    add("list sort", [this] { list->sort(CompLess<std::string>()); });
    add("list of lists", in_tx([this] {
          lists = make<d_list<d_list<int>>>("lists");
          d_list<int> inner(&env);
          for (int v : {1, 2}) inner.push_back(v);
          lists->push_back(inner);
        }));
    add("a new vector", [this] { vec = make<d_vector<std::string>>("vec", 2); });
    for (int i = 0; i < 5; ++i)
      add("vector push_back (growing)", [this, i] { vec->push_back("v" + std::to_string(9 - i)); });
    add("vector insert", [this] { vec->insert(vec->begin() + 1, "middle"); });
    add("vector sort", [this] { vec->sort(DefaultLess<std::string>()); });
    add("vector element write", [this] { (*vec)[2] = "written"; });
    add("a new hash map", [this] { hash = make<d_hashmap<std::string, std::string>>("hash", 4); });
    for (int i = 0; i < 5; ++i)
      add("hash map new key", [this, i] { hash->put("key" + std::to_string(i), "value"); });
    add("hash map overwrite", [this] { hash->put("key2", "another value"); });
    add("hash map element write", [this] { (*hash)["key3"] = "written"; });
    add("a new map", [this] { map = make<int_map>("map"); });
    // Ascending keys fill nodes and set off balance; odd keys land in full nodes.
    for (unsigned k = 0; k < 2 * map_keys; k += 2)
      add("map insert", [this, k] { map->insert(k, k + 1); });
    for (unsigned k = 1; k < 200; k += 10)
      add("map insert into a full node", [this, k] { map->insert(k, k); });
    add("map update", [this] { map->update(40, 4); });
    add("map put over a present key", [this] { map->put(42, 5); });
    add("map put of a new key", [this] { map->put(1001, 6); });
    add("map element write", [this] { (*map)[44] = 7; });
    add("string map", in_tx([this] {
          smap = make<str_map>("smap");
          smap->put(str_ref("one", &env), str_ref("1", &env));
          smap->put(str_ref("two", &env), str_ref("2", &env));
        }));
    add("string map element write",
        in_tx([this] { (*smap)[str_ref("one", &env)] = str_ref("I", &env); }));
    add("variable", in_tx([this] { var = make<d_var<std::string>>("var"), *var = "first"; }));
    add("variable assignment", [this] { *var = "second, longer"; });
    add("pointer write through to the variable",
        [this] { *d_ptr<std::string>(*var, &env) = "through the pointer"; });
    add("reference", [this] { ref = std::make_unique<str_ref>("referenced", &env); });
    add("transaction of several operations", in_tx([this] {
          list->push_back("in a transaction");
          map->insert(5000, 1);
          *var = "transaction";
        }));
    add("transaction rolled back", [this] {
      d_transaction tx(&env);
      list->push_back("never");
      map->insert(6000, 1);
    });
    steps.back().rolls_back = true;
  }

  template <class T, class... Size>
  std::unique_ptr<T> make(char const* name, Size... size) {
    d_transaction tx(&env);
    auto made = std::make_unique<T>(name, size..., &env);
    tx.commit();
    return made;
  }

  std::vector<std::string> check() {  // problems with any container
    std::vector<std::string> all, none;
    for (auto const& more : {list ? list->check() : none, vec ? vec->check() : none,
                             hash ? hash->check() : none, map ? check_map(*map) : none,
                             smap ? check_map(*smap) : none})
      all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  std::string contents() {  // what the containers hold, as text
    std::string out;
    auto put = [&out](std::string const& s) { out += s + "|"; };
    if (list) for (std::string const& s : *list) put(s);
    if (lists) for (auto it = lists->begin(); it != lists->end(); ++it)
        for (int v : it.get_data2(it.value_address())) put(std::to_string(v));
    if (vec) for (std::string const& s : *vec) put(s);
    for (int i = 0; hash && i < 5; ++i) {
      std::string v;
      hash->get("key" + std::to_string(i), v);
      put(v);
    }
    for (unsigned k = 0, v = 0; map && k < 7000; ++k)
      if (map->get(k, v)) put(std::to_string(k) + "=" + std::to_string(v));
    if (smap)  // walked in key order: a lookup would store its key first
      for (auto const& p : *smap) put(p.key.get_data() + "=" + p.value.get_data());
    if (var) put(var->get_data());
    return out;
  }

  d_env& env;
  std::vector<step> steps;
  std::unique_ptr<d_list<std::string>> list;
  std::unique_ptr<d_list<d_list<int>>> lists;
  std::unique_ptr<d_vector<std::string>> vec;
  std::unique_ptr<d_hashmap<std::string, std::string>> hash;
  std::unique_ptr<int_map> map;
  std::unique_ptr<str_map> smap;
  std::unique_ptr<d_var<std::string>> var;
  std::unique_ptr<str_ref> ref;
};

// The database's data: the file cut to the length the stream holds.
bytes_t data_of(d_database* db) {
  bytes_t all = test_support::read_file(db->file_name());
  all.resize(static_cast<std::size_t>(db->stream()->size()));
  return all;
}

// The workload's changes, and the states between its operations.
struct recorded_run {
  std::vector<change> changes;
  std::vector<bytes_t> states;        // states[i]: after i operations
  std::vector<std::string> contents;  // what the containers held then
  std::vector<std::size_t> marks;     // marks[i]: changes made by then
  std::vector<std::string> names;
  bytes_t initial;
  long rotations = 0;
};

recorded_run record_workload(test_support::scratch_dir& dir, d_open_options options) {
  recorded_run run;
  std::string const name = dir.file("recorded");
  d_env env{};
  EXPECT_TRUE(create_database(name, &env));
  run.initial = test_support::read_file(name + ".odb");
  recorder rec;
  rec.recording = true;
  d_database* db = open_database(name, &env, options);
  auto w = std::make_unique<workload>(env);
  auto keep_state = [&] {
    run.states.push_back(data_of(db));
    run.contents.push_back(w->contents());
    run.marks.push_back(rec.changes.size());
  };
  keep_state();
  for (auto const& s : w->steps) {
    s.run();
    keep_state();
    run.names.push_back(s.name);
    std::vector<std::string> const problems = w->check();
    EXPECT_TRUE(problems.empty()) << s.name << ": " << problems.front();
  }
  run.rotations = w->map->stats.shifts + w->map->stats.shifts4;
  w.reset();
  close_database(db);
  run.changes = std::move(rec.changes);
  return run;
}

// "" when the files a crash at change k left open (recovering) to the state before or
// after the operation under way then; else what is wrong.
std::string verdict(recorded_run const& run, std::size_t k, std::string const& name,
                    bytes_t const& database, bytes_t const* journal, d_open_options options) {
  test_support::write_file(name + ".odb", database);
  std::string const jfile = journal_file_of(name + ".odb");
  std::remove(jfile.c_str());
  if (journal) test_support::write_file(jfile, *journal);
  d_env env{};
  std::string const error =
      test_support::thrown_by([&] { close_database(open_database(name, &env, options)); });
  bytes_t const bytes = error.empty() ? test_support::read_file(name + ".odb") : bytes_t{};
  std::size_t op = 0;
  while (op + 1 < run.marks.size() && run.marks[op + 1] <= k) ++op;
  bytes_t const& after = run.states[std::min(op + 1, run.states.size() - 1)];
  if (error.empty() && (bytes == run.states[op] || bytes == after)) return "";
  return "in operation " + std::to_string(op) + " (" +
         (op < run.names.size() ? run.names[op] : "closing") +
         (error.empty() ? "): neither state" : "): recovery threw " + error);
}

TEST(CrashTest, ProcessDeathAtEveryWriteLeavesTheStateBeforeOrAfter) {
  test_support::scratch_dir dir(memory_dir);
  recorded_run const run = record_workload(dir, d_open_options{});
  ASSERT_GT(run.rotations, 0) << "the workload must set off balance rotations";
  std::string const name = dir.file("crashed");
  disk_file database{run.initial, run.initial}, journal;
  auto crash = [&](std::size_t k, disk_file const& db, disk_file const& j, char const* how) {
    std::string const v = verdict(run, k, name, db.current, &j.current, {});
    EXPECT_EQ(v, "") << "crash at change " << k << " (" << how << ")";
    return v.empty();
  };
  // Every change before k made, none from k on.
  for (std::size_t k = 0; crash(k, database, journal, "the changes before it made"); ++k) {
    if (k == run.changes.size()) break;
    change const& c = run.changes[k];
    // A write longer than a word can be cut short; a word is one store.
    if (c.what == io_tools::io_event::kind::write && c.bytes.size() > word_size) {
      disk_file db = database, j = journal;
      (c.journal ? j : db).apply(c, c.bytes.size() / 2);
      if (!crash(k, db, j, "half of it made")) break;
    }
    (c.journal ? journal : database).apply(c, c.bytes.size());
  }
}

TEST(CrashTest, PowerLossInDurableModeKeepsEveryCommitAndNothingElse) {
  test_support::scratch_dir dir(memory_dir);
  // Checkpoints every few commits, so that power losses land in them too.
  d_open_options const durable{d_journal::durable, 16 << 10};
  recorded_run const run = record_workload(dir, durable);
  std::string const name = dir.file("crashed");
  disk_file database{run.initial, run.initial}, journal;
  std::mt19937 rng(7);
  for (std::size_t k = 0; k < run.changes.size(); ++k) {
    change const& c = run.changes[k];
    (c.journal ? journal : database).apply(c, c.bytes.size());
    // Every operation is a transaction: only the states around it are allowed.
    for (int trial = 0; trial < 3; ++trial) {
      bytes_t const db = database.after_power_loss(rng);
      bytes_t const j = journal.after_power_loss(rng);
      ASSERT_EQ(verdict(run, k, name, db, journal.current.empty() ? nullptr : &j, durable), "")
          << "power loss after change " << k << ", trial " << trial;
    }
  }
}

TEST(CrashTest, AFailingWriteLeavesTheFileAsItWasAndObjectsCarryOn) {
  test_support::scratch_dir dir(memory_dir);
  recorded_run const run = record_workload(dir, d_open_options{});
  std::string const name = dir.file("failing");
  // A rollback may leave other bytes in unread slots past a map node's count: compared by
  // contents, and by bytes only where it failed.
  d_env env{};
  ASSERT_TRUE(create_database(name, &env));
  recorder rec;
  d_database* db = open_database(name, &env);
  {
    workload w(env);
    for (std::size_t i = 0; i < w.steps.size(); ++i) {
      auto const& step = w.steps[i];
      if (step.rolls_back) {
        step.run();  // its own writes only copy saved bytes back in memory
        continue;
      }
      bytes_t const before = data_of(db);
      // Fail the first change, the second, ... until the operation gets through.
      for (long k = 1;; ++k) {
        rec.fail_at = k, rec.seen = 0;
        std::string const message = test_support::thrown_by(step.run);
        rec.fail_at = 0;
        if (message.empty()) break;
        ASSERT_EQ(data_of(db), before) << step.name << ": failure at change " << k << " ("
                                       << message << ")";
      }
      std::string contents;
      ASSERT_EQ(test_support::thrown_by([&] { contents = w.contents(); }), "")
          << step.name << ": reading the containers after its failures";
      ASSERT_EQ(contents, run.contents[i + 1]) << step.name << " after its failures";
      std::vector<std::string> const problems = w.check();
      ASSERT_TRUE(problems.empty()) << step.name << ": " << problems.front();
    }
  }
  close_database(db);
}

// A file-size limit stops an append the way a full disk does.
TEST(CrashTest, AnAppendBeyondTheFileSizeLimitIsRolledBack) {
  test_support::scratch_dir dir(memory_dir);
  std::string const name = dir.file("limited");
  ASSERT_TRUE(create_database(name, nullptr));
  pid_t const pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The limit is the process's; each bit of the status is a failed expectation.
    ::signal(SIGXFSZ, SIG_IGN);
    int status = 0;
    try {
      d_env env{};
      d_database* db = open_database(name, &env);
      d_list<std::string> list("list", &env);
      list.push_back("kept");
      rlimit const limit{static_cast<rlim_t>(db->stream()->size() + 200), RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      bytes_t const before = data_of(db);
      std::string const refused = test_support::thrown_by([&] {
        for (int i = 0; i < 100000; ++i) list.push_back(std::string(100, 'x'));
      });
      if (refused.empty()) status |= 1;
      long const count = list.count();
      rlimit const none{RLIM_INFINITY, RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &none);
      // What fit is there, the rest not, and the same list goes on.
      if (data_of(db).size() < before.size()) status |= 2;
      list.push_back("after");
      if (list.count() != count + 1 || !list.check().empty()) status |= 4;
      close_database(db);
    } catch (...) {
      status |= 8;
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(check_database_file(name + ".odb").empty());
}

// With the journal off the file's bytes are the same as with it.
TEST(CrashTest, TheJournalChangesNoByteOfTheDatabase) {
  test_support::scratch_dir dir(memory_dir);
  std::vector<bytes_t> finals;
  for (d_journal mode : {d_journal::atomic, d_journal::off, d_journal::durable}) {
    std::string const name = dir.file("mode" + std::to_string(finals.size()));
    d_env env{};
    ASSERT_TRUE(create_database(name, &env));
    d_database* db = open_database(name, &env, d_open_options{mode});
    {
      workload w(env);
      for (auto const& s : w.steps) {
        // Nothing can be rolled back with the journal off.
        if (!(s.rolls_back && mode == d_journal::off)) s.run();
      }
    }
    close_database(db);
    finals.push_back(test_support::read_file(name + ".odb"));
    EXPECT_FALSE(std::ifstream(journal_file_of(name + ".odb")).good()) << "journal left behind";
  }
  EXPECT_EQ(finals[0], finals[1]);
  EXPECT_EQ(finals[0], finals[2]);
}

}  // namespace
