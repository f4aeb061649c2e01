// Crashes replayed from a record of every change a workload makes to its files and their
// folder, from the database's creation on: what each prefix leaves (a long write half-made;
// after a power loss, only what was synced, or that and a random half of the unsynced
// sectors) must recover to the state before or after the operation under way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/journal_records.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;
using test_support::data_of;
using test_support::memory_dir;

namespace {

using bytes_t = std::vector<char>;
using int_map = d_map<unsigned, unsigned, unsigned>;
using str_ref = d_ref<std::string>;
using str_map = d_map<str_ref, str_ref, std::string>;
using typed_map = d_map<std::string, std::string>;

constexpr std::size_t sector = 512;  // what a power loss keeps or loses whole
unsigned const map_keys = 300;              // enough ascending keys to rotate

// A change to a file or its folder, as the stream layer reported it.
struct change { std::string file; io_tools::io_event::kind what; word_t address; bytes_t bytes; };

// While alive, records every change; or, armed, makes the fail_at-th from now fail.
struct recorder : io_tools::io_observer {
  recorder() { io_tools::set_io_observer(this); }
  ~recorder() { io_tools::set_io_observer(nullptr); }
  void on_event(io_tools::io_event const& e) override {
    // The allocator's side file is checked at opening and ignored when stale.
    if (!e.file || test_support::ends_with(*e.file, "-index")) return;
    if (fail_at > 0 && ++seen == fail_at)
      throw disk_tools::error(disk_tools::errc::io_failure, "simulated write failure...");
    // A disk with room for journal_room bytes of journal and no more.
    if (journal_room > 0 && e.what == io_tools::io_event::kind::resize &&
        test_support::ends_with(*e.file, "-journal") && e.address > journal_room)
      throw disk_tools::error(disk_tools::errc::io_failure, "simulated full disk...");
    if (recording) changes.push_back({*e.file, e.what, e.address, {e.bytes, e.bytes + e.n}});
  }
  std::vector<change> changes;
  bool recording = false;
  long fail_at = 0, seen = 0, journal_room = 0;
};

// Files as the disk holds them and as the system holds them besides: each file's bytes
// (synced, current), and its folder's names (as last synced, and the changes since).
struct disk {
  using k = io_tools::io_event::kind;
  struct file { bytes_t synced, current; };
  struct folder_change { k what; std::string name, to; std::size_t file; };
  std::vector<file> files;
  std::map<std::string, std::size_t> names, synced_names;
  std::vector<folder_change> unsynced;

  static void apply_to(std::map<std::string, std::size_t>& to, folder_change const& f) {
    if (f.what == k::create) to[f.name] = f.file;
    auto const it = to.find(f.name);
    if (f.what != k::create && it != to.end()) {
      if (f.what == k::rename) to[f.to] = it->second;
      to.erase(f.name);
    }
  }

  void apply(change const& c, std::size_t n) {
    if (c.what == k::sync_folder) {
      synced_names = names, unsynced.clear();
    } else if (c.what == k::create && names.count(c.file)) {
      files[names[c.file]].current.clear();  // cut to 0, as a resize
    } else if (c.what == k::create || c.what == k::remove || c.what == k::rename) {
      if (c.what == k::create) files.emplace_back();
      unsynced.push_back({c.what, c.file, {c.bytes.begin(), c.bytes.end()}, files.size() - 1});
      apply_to(names, unsynced.back());
    } else {
      file& f = files.at(names.at(c.file));
      if (c.what == k::resize) f.current.resize(static_cast<std::size_t>(c.address), 0);
      if (c.what == k::sync) f.synced = f.current;
      if (c.what != k::write) return;
      auto const end = static_cast<std::size_t>(c.address) + n;
      if (f.current.size() < end) f.current.resize(end, 0);
      std::copy_n(c.bytes.begin(), n, f.current.begin() + c.address);
    }
  }

  // The files a power loss leaves (as their current bytes): only what was synced; torn: the
  // folder's changes kept in order up to one of them, each file at its synced or its current
  // length, and a random half of the 512-byte sectors that differ from what was synced.
  disk after_power_loss(std::mt19937& rng, bool torn) const {
    auto kept = synced_names;
    for (std::size_t i = 0, n = torn ? rng() % (unsynced.size() + 1) : 0; i < n; ++i)
      apply_to(kept, unsynced[i]);
    disk out;
    for (auto const& [name, i] : kept) {
      file const& f = files[i];
      out.names[name] = out.files.size();
      bytes_t& b = out.files.emplace_back().current = f.synced;
      if (!torn) continue;
      b.resize(rng() % 2 ? f.current.size() : f.synced.size(), 0);
      auto const at = [](bytes_t const& v, std::size_t j) { return j < v.size() ? v[j] : '\0'; };
      for (std::size_t begin = 0; begin < b.size(); begin += sector) {
        std::size_t const end = std::min(b.size(), begin + sector);
        std::size_t j = begin;
        while (j < end && at(f.synced, j) == at(f.current, j)) ++j;
        if (j < end && rng() % 2)
          for (; j < end; ++j) b[j] = at(f.current, j);
      }
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
    // A slot table of 8 slots has room for 7 keys: the 8th moves it to a new table, written
    // in place, before the handle names it. An erase moves the last pair into the hole.
    add("a new slot table", [this] { slots = make<slot_table>("slots"); });
    for (std::uint64_t k = 1; k <= 9; ++k)
      add(k == 8 ? "slot table put (growing)" : "slot table put",
          [this, k] { slots->put(k, k * 10); });
    add("slot table put over a present key", [this] { slots->put(3, 33); });
    add("slot table erase", [this] { slots->erase(2); });
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
    // A typed map's put makes the blocks of a long key and value in the change that places
    // the pair; a put over a present key frees the value it replaces.
    add("a new typed map", [this] { typed = make<typed_map>("typed"); });
    for (int i = 0; i < 3; ++i)
      add("typed map put of long strings", [this, i] {
        typed->put(std::string(30 + i, 'k'), std::string(40, char('a' + i)));
      });
    // Between the first two keys: the pairs after it move up a slot in place.
    add("typed map put that moves the pairs after it",
        [this] { typed->put(std::string(30, 'k') + "a", std::string(40, 'm')); });
    add("typed map put over a present key", [this] { typed->put(std::string(31, 'k'), "short"); });
    add("typed map erase", [this] { typed->erase(std::string(30, 'k')); });
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
    // Later operations of a transaction rewrite bytes that earlier ones changed.
    add("transaction rewriting its own changes", in_tx([this] {
          for (unsigned k = 5001; k < 5030; ++k) map->insert(k, k);
          for (int i = 0; i < 3; ++i) list->push_back("again " + std::to_string(i));
          *var = "rewritten in a transaction";
          *var = "and again";
        }));
    // A long value freed is split by the short one that follows; the list's
    // last elements, freed together, merge over the records between them and
    // leave the end of the file free for the close to cut off.
    add("variable assignment of a long value", [this] { *var = std::string(3000, 'l'); });
    add("variable assignment split off the freed block", [this] { *var = "short again"; });
    for (int i = 0; i < 3; ++i)
      add("list push_back of a long value", [this] { list->push_back(std::string(5000, 'e')); });
    for (int i = 0; i < 3; ++i) add("list pop_back (blocks merged)", [this] { list->pop_back(); });
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
                             hash ? hash->check() : none, slots ? slots->check() : none,
                             map ? check_map(*map) : none,
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
    for (std::uint64_t k = 1; slots && k <= 9; ++k) {
      std::uint64_t v = 0;
      put(slots->get(k, v) ? std::to_string(v) : "-");
    }
    for (unsigned k = 0, v = 0; map && k < 7000; ++k)
      if (map->get(k, v)) put(std::to_string(k) + "=" + std::to_string(v));
    if (smap)  // walked in key order: a lookup would store its key first
      for (auto const& p : *smap) put(p.key.get_data() + "=" + p.value.get_data());
    if (typed)
      for (auto const& p : *typed) put(p.key + "=" + p.value);
    if (var) put(var->get_data());
    return out;
  }

  d_env& env;
  std::vector<step> steps;
  std::unique_ptr<d_list<std::string>> list;
  std::unique_ptr<d_list<d_list<int>>> lists;
  std::unique_ptr<d_vector<std::string>> vec;
  std::unique_ptr<d_hashmap<std::string, std::string>> hash;
  using slot_table = d_hashmap<std::uint64_t, std::uint64_t>;
  std::unique_ptr<slot_table> slots;
  std::unique_ptr<int_map> map;
  std::unique_ptr<str_map> smap;
  std::unique_ptr<typed_map> typed;
  std::unique_ptr<d_var<std::string>> var;
  std::unique_ptr<str_ref> ref;
};

// The workload's changes from before the database was created, and the states between its
// operations.
struct recorded_run {
  std::string file;  // the recorded database's name
  std::vector<change> changes;
  std::vector<bytes_t> states;        // states[i]: after i operations
  std::vector<std::string> contents;  // what the containers held then
  std::vector<std::size_t> marks;     // marks[i]: changes made by then
  std::vector<std::string> names;
  std::size_t promised = 0;  // changes made when creation (or a durable reopening) returned
  bool warmed_up = false;    // an atomic session came first, which promised nothing
  long rotations = 0;
};

// Recorded warmed up (after an atomic session that closes without a sync, as a durable
// opening may find it); on a disk with room for journal_room bytes of journal (0: no
// bound); beside a second opening that takes turns and changes nothing itself, open from
// the start or joining once join_at operations are made.
struct run_setting {
  bool warmed_up = false;
  long journal_room = 0;
  bool beside_another = false;
  long join_at = 0;
};

// Records the workload run on a new database opened with options.
recorded_run record_workload(test_support::scratch_dir& dir, d_open_options options,
                             run_setting setting = {}) {
  bool const warmed_up = setting.warmed_up;
  recorded_run run;
  run.file = dir.file("recorded");
  run.warmed_up = warmed_up;
  d_env env{}, other_env{};
  recorder rec;
  rec.recording = true;
  rec.journal_room = setting.journal_room;
  EXPECT_TRUE(create_database(run.file, &env));
  run.promised = rec.changes.size();
  if (warmed_up) {
    d_database* db = open_database(run.file, &env);
    d_list<std::string> warm("warm", &env);
    for (int i = 0; i < 40; ++i) warm.push_back(std::string(100, 'w'));
    close_database(db);
  }
  d_database* db = open_database(run.file, &env, options);
  d_database* other = nullptr;
  auto join = [&] {
    other = open_database(run.file, &other_env, options);
    // The commits the first opening made alone, whether the file has them yet or not.
    EXPECT_TRUE(data_of(other) == data_of(db)) << "the opening that joins sees every commit";
  };
  if (setting.beside_another && setting.join_at == 0) join();
  if (warmed_up) run.promised = rec.changes.size();
  auto w = std::make_unique<workload>(env);
  auto keep_state = [&] {
    run.states.push_back(data_of(db));
    run.contents.push_back(w->contents());
    run.marks.push_back(rec.changes.size());
  };
  keep_state();
  for (auto const& s : w->steps) {
    if (setting.beside_another && !other && static_cast<long>(run.names.size()) == setting.join_at)
      join();
    s.run();
    keep_state();
    run.names.push_back(s.name);
    std::vector<std::string> const problems = w->check();
    EXPECT_TRUE(problems.empty()) << s.name << ": " << problems.front();
  }
  run.rotations = w->map->stats.shifts + w->map->stats.shifts4;
  w.reset();
  close_database(db);
  close_database(other);
  // Closing cuts the free end of the file off: a state of its own.
  run.states.push_back(test_support::read_file(run.file + ".odb"));
  run.contents.push_back(run.contents.back());
  run.marks.push_back(rec.changes.size());
  run.names.push_back("closing");
  run.changes = std::move(rec.changes);
  return run;
}

// "" when the files a crash left, once `made` changes were made, open (recovering) to the
// state before or after the operation under way then; else what is wrong.
std::string verdict(recorded_run const& run, std::size_t made, std::string const& name,
                    disk const& left, d_open_options options) {
  if (made < run.promised && run.warmed_up) return "";
  for (std::string suffix : {".odb", ".odb-journal"}) {
    std::remove((name + suffix).c_str());
    auto const it = left.names.find(run.file + suffix);
    if (it != left.names.end())
      test_support::write_file(name + suffix, left.files[it->second].current);
  }
  d_env env{};
  std::string const error =
      test_support::thrown_by([&] { close_database(open_database(name, &env, options)); });
  // Before its creation returned, a database may be missing.
  if (made < run.promised && error == "unable to open alloc file...") return "";
  bytes_t const bytes = error.empty() ? test_support::read_file(name + ".odb") : bytes_t{};
  std::size_t op = 0;
  while (op + 1 < run.marks.size() && run.marks[op + 1] <= made) ++op;
  bytes_t const& after = run.states[std::min(op + 1, run.states.size() - 1)];
  if (error.empty() && (bytes == run.states[op] || bytes == after)) return "";
  return "in operation " + std::to_string(op) + " (" +
         (op < run.names.size() ? run.names[op] : "closing") +
         (error.empty() ? "): neither state" : "): recovery threw " + error);
}

TEST(CrashTest, ProcessDeathAtEveryWriteLeavesTheStateBeforeOrAfter) {
  test_support::scratch_dir dir(memory_dir);
  // Atomic alone; then, on a disk with room for 32 KB of journal, durable alone and atomic
  // beside another opening (a shared log): the commit that finds the log full restarts it.
  struct variant { char const* name; d_open_options options; run_setting setting; };
  for (variant const& each :
       {variant{"atomic, alone", {}, {}},
        variant{"durable, alone, full disk", {d_journal::durable, 1u << 20}, {false, 32 << 10}},
        variant{"atomic, beside another opening, full disk", {}, {false, 32 << 10, true}}}) {
    SCOPED_TRACE(each.name);
    // Named, not bound: the lambdas below capture them.
    d_open_options const& options = each.options;
    run_setting const& s = each.setting;
    recorded_run const run = record_workload(dir, options, s);
    ASSERT_GT(run.rotations, 0) << "the workload must set off balance rotations";
    // The last to close cuts the free end off when it changed the file itself.
    if (!s.beside_another) {
      ASSERT_LT(run.states.back().size(), run.states.rbegin()[1].size())
          << "closing must cut the free end of the file off";
    }
    std::string const name = dir.file("crashed");
    disk files;
    auto crash = [&](std::size_t k, disk const& d, char const* how) {
      std::string const v = verdict(run, k, name, d, options);
      EXPECT_EQ(v, "") << "crash at change " << k << " (" << how << ")";
      return v.empty();
    };
    // Every change before k made, none from k on.
    for (std::size_t k = 0; crash(k, files, "the changes before it made"); ++k) {
      if (k == run.changes.size()) break;
      change const& c = run.changes[k];
      // A write longer than a word can be cut short; a word is one store.
      if (c.what == io_tools::io_event::kind::write && c.bytes.size() > word_size) {
        disk half = files;
        half.apply(c, c.bytes.size() / 2);
        if (!crash(k, half, "half of it made")) break;
      }
      files.apply(c, c.bytes.size());
    }
  }
}

// Durable from the database's creation on, or after an atomic session: a power loss keeps
// every commit that returned, whether it keeps only the synced bytes or some others too.
TEST(CrashTest, PowerLossInDurableModeKeepsEveryCommitAndNothingElse) {
  test_support::scratch_dir dir(memory_dir);
  std::string const name = dir.file("crashed");
  std::mt19937 rng(7);
  // The last runs' disk has room for 32 KB of journal, short of the bound: the commit that
  // finds the log full makes the file hold every earlier commit and restarts the log
  // (before, it failed, and on a full disk not even an erase went through), alone and
  // beside another opening, where the file holds only the commits copied in so far. Alone,
  // the file gets a commit's bytes with later ones': the opening that joins midway (in
  // the map's inserts) finds commits that the log alone holds.
  for (run_setting const s : {run_setting{false, 0, false}, run_setting{true, 0, false},
                              run_setting{false, 0, true, 150},
                              run_setting{false, 32 << 10, false},
                              run_setting{false, 32 << 10, true}}) {
    bool const warmed_up = s.warmed_up;
    // Elsewhere checkpoints every few commits, so that power losses land in them too.
    d_open_options const options{d_journal::durable,
                                 std::size_t{s.journal_room ? 1u << 20 : 16u << 10}};
    recorded_run const run = record_workload(dir, options, s);
    disk files;
    for (std::size_t k = 0; k < run.changes.size(); ++k) {
      files.apply(run.changes[k], run.changes[k].bytes.size());
      // Every operation is a transaction: only the states around it are allowed.
      for (int trial = 0; trial < (warmed_up ? 2 : 3); ++trial) {
        ASSERT_EQ(verdict(run, k + 1, name, files.after_power_loss(rng, trial > 0), options), "")
            << (warmed_up ? "after an atomic session, " : "")
            << (s.journal_room ? "on a full disk, " : "")
            << (s.beside_another ? "beside another opening, " : "")
            << (s.join_at > 0 ? "that joins midway, " : "")
            << "power loss after change " << k
            << (trial > 0 ? ", torn, trial " + std::to_string(trial) : ", synced bytes only");
      }
    }
  }
}

// A durable commit writes its log records and syncs them, and nothing else: its bytes go to
// the database file with later commits' (a range many of them change goes once), and at the
// latest when the database closes.
TEST(DurableCommit, WritesTheLogAloneAndTheFileOnceForManyCommits) {
  test_support::scratch_dir dir(memory_dir);
  std::string const file = dir.file("batched");
  unsigned const commits = 40;
  using k = io_tools::io_event::kind;
  recorder rec;
  auto count = [&rec](char const* suffix, k what) {
    return std::count_if(rec.changes.begin(), rec.changes.end(), [&](change const& c) {
      return c.what == what && test_support::ends_with(c.file, suffix);
    });
  };
  {
    d_env env{};
    ASSERT_TRUE(create_database(file, &env));
    d_database* db = open_database(file, &env, {d_journal::durable});
    {
      int_map map("map", &env);
      rec.recording = true;
      for (unsigned key = 0; key < commits; ++key) map.insert(key, key + 1);
    }
    EXPECT_EQ(count(".odb-journal", k::sync), commits);
    EXPECT_EQ(count(".odb", k::write), 0) << "a commit wrote the database file";
    close_database(db);
  }
  EXPECT_GT(count(".odb", k::write), 0);
  EXPECT_LT(count(".odb", k::write), commits / 4) << "ranges written once each";
  d_env env{};
  d_database* db = open_database(file, &env);
  {
    int_map map("map", &env);
    for (unsigned key = 0; key < commits; ++key) {
      unsigned value = 0;
      EXPECT_TRUE(map.get(key, value) && value == key + 1) << key;
    }
  }
  close_database(db);
}

// Each operation alone, and all in one transaction: an operation that fails at any of its
// writes takes back its own and nothing else, though it rewrote bytes the transaction had
// changed; the transaction then commits the rest, or rolls back to the bytes it began with.
TEST(CrashTest, AFailingWriteLeavesTheFileAsItWasAndObjectsCarryOn) {
  test_support::scratch_dir dir(memory_dir);
  recorded_run const run = record_workload(dir, d_open_options{});
  for (std::string const outer : {"", "committed", "rolled back"}) {
    SCOPED_TRACE(outer.empty() ? "each operation alone" : "in one transaction " + outer);
    std::string const name = dir.file("failing" + outer);
    // A rollback may leave other bytes past a map node's count: compared by contents, and
    // by bytes only where it failed.
    d_env env{};
    ASSERT_TRUE(create_database(name, &env));
    recorder rec;
    d_database* db = open_database(name, &env);
    bytes_t const first = data_of(db);
    {
      workload w(env);
      std::optional<d_transaction> tx;
      if (!outer.empty()) tx.emplace(&env);
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
      if (outer == "committed") tx->commit();
      if (outer == "rolled back") {
        tx->rollback();
        EXPECT_TRUE(data_of(db) == first);
      }
    }
    close_database(db);
    EXPECT_EQ(check_database_file(name + ".odb"), std::vector<std::string>{});
    db = open_database(name, &env);
    EXPECT_EQ(db->has_root("var") ? d_var<std::string>("var", &env).get_data() : "none",
              outer == "rolled back" ? "none" : "short again");
    close_database(db);
  }
}

// A file-size limit stops an append the way a full disk does. Journaled, the append is rolled
// back; with the journal off nothing can be taken back, so it must fail before it takes its
// first block. At each of a run of limits, which stop it at each of its allocations in turn,
// the file checks clean with no block that no root owns, and once the limit is lifted the
// same objects go on.
TEST(CrashTest, AnAppendStoppedByTheFileSizeLimitIsRolledBackAndLeavesNoBlockBehind) {
  struct kind_row {
    char const* name;
    std::function<void(d_env&, int)> add;
    std::function<std::size_t(d_env&)> count;
  };
  std::string const long_text(40, 'k');
  using lists_map = d_map<std::string, d_list<std::string>>;
  using hash_map = d_hashmap<std::string, std::string>;
  auto const value = [](int i) { return std::string(60 + i % 7, 'v'); };
  kind_row const kinds[] = {
      {"list", [&](d_env& env, int i) { d_list<std::string>("c", &env).push_back(value(i)); },
       [](d_env& env) { return d_list<std::string>("c", &env).size(); }},
      {"vector",
       [&](d_env& env, int i) { d_vector<std::string>("c", 2, &env).push_back(value(i)); },
       [](d_env& env) { return d_vector<std::string>("c", 2, &env).size(); }},
      {"typed map",
       [&](d_env& env, int i) {
         typed_map("c", &env).put(long_text + std::to_string(i), value(i));
       },
       [](d_env& env) { return typed_map("c", &env).size(); }},
      {"map of lists",
       [&](d_env& env, int i) {
         lists_map("c", &env)[long_text + std::to_string(i / 2)].push_back(value(i));
       },
       [](d_env& env) { return lists_map("c", &env).size(); }},
      {"hash map",
       [&](d_env& env, int i) {
         hash_map("c", 16, &env).put(long_text + std::to_string(i), value(i));
       },
       [](d_env& env) { return hash_map("c", 16, &env).size(); }},
  };
  test_support::scratch_dir dir(memory_dir);
  // Unjournaled at each of 16 limits; journaled, where a rollback takes all back, at one.
  struct limits { d_journal mode; int first, step; };
  for (limits const run : {limits{d_journal::off, 0, 8}, limits{d_journal::atomic, 64, 64}}) {
    d_journal const mode = run.mode;
    for (kind_row const& kind : kinds) {
      for (int extra = run.first; extra < 128; extra += run.step) {
        std::string const label = std::string(kind.name) + ", journal " +
                                  test_support::mode_name(mode) + ", limit " +
                                  std::to_string(extra);
        std::string const name = dir.file("limited");
        ASSERT_TRUE(create_database(name, nullptr));
        test_support::child_processes kids;
        // The limit is the process's; each bit of the status is a failed expectation (100: a
        // throw).
        int const status = kids.run([&] {
          ::signal(SIGXFSZ, SIG_IGN);
          d_env env{};
          d_database* db = open_database(name, &env, d_open_options{mode});
          kind.add(env, 0);
          auto const length = std::filesystem::file_size(name + ".odb");
          rlimit const limit{static_cast<rlim_t>(length + static_cast<std::uintmax_t>(extra)),
                             RLIM_INFINITY};
          bytes_t const before = data_of(db);
          ::setrlimit(RLIMIT_FSIZE, &limit);
          bool const stopped = !test_support::thrown_by([&] {
            for (int i = 1; i < 100000; ++i) kind.add(env, i);
          }).empty();
          rlimit const none{RLIM_INFINITY, RLIM_INFINITY};
          ::setrlimit(RLIMIT_FSIZE, &none);
          int bits = stopped ? 0 : 1;
          // What fit is there, the rest not, and the same objects go on.
          if (data_of(db).size() < before.size()) bits |= 2;
          std::size_t const count = kind.count(env);
          kind.add(env, 1000000);
          if (kind.count(env) != count + 1) bits |= 4;
          close_database(db);
          return bits;
        });
        EXPECT_EQ(status, 0) << label;
        EXPECT_TRUE(test_support::checks_clean(name + ".odb")) << label;
      }
    }
  }
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

// The stream lays out an undo record and the header words that count it in place where it
// can, and one write at a time where it is watched (as the crashes above are replayed from): the
// journal of a transaction under way, and what its rollback leaves, must be the same either way.
TEST(CrashTest, AnUndoJournalIsTheSameLaidOutInPlaceOrWriteByWrite) {
  test_support::scratch_dir dir(memory_dir);
  std::vector<bytes_t> journals;
  for (bool watched : {false, true}) {
    std::string const name = dir.file(watched ? "watched" : "in_place");
    d_env env{};
    ASSERT_TRUE(create_database(name, &env));
    d_database* db = open_database(name, &env);
    {
      d_vector<std::string> v("v", &env);
      d_list<std::string> l("l", &env);
      typed_map m("m", &env);
      for (int i = 0; i < 40; ++i) {
        v.push_back("value " + std::to_string(i));
        l.push_back("value " + std::to_string(i));
      }
      // A full node of a typed map: a put inside its range moves pairs down in place.
      for (int i = 100; i < 164; ++i) m.put("key " + std::to_string(i), std::to_string(i));
      bytes_t const before = data_of(db);
      // Pushes into freed room and past the end, and erasures: records of a word, of a few
      // bytes, and the first one of the transaction; pairs of the typed map moved down in the
      // full node and up in the leaf its smallest pairs go to. Rolled back as the transaction goes.
      auto const change = [&] {
        d_transaction tx(db);
        v.erase(v.begin() + 3);
        l.pop_front();
        for (int i = 0; i < 30; ++i) {
          v.push_back("another value " + std::to_string(i));
          l.push_back("another value " + std::to_string(i));
        }
        for (std::string const k : {"key 1305", "key 1505", "key 1405", "key 0999"}) m.put(k, k);
        journals.push_back(test_support::read_file(journal_file_of(name + ".odb")));
      };
      if (watched) {
        recorder r;
        change();
      } else {
        change();
      }
      EXPECT_EQ(data_of(db), before) << (watched ? "watched" : "in place");
    }
    close_database(db);
  }
  ASSERT_EQ(journals.size(), 2u);
  ASSERT_GE(journals[0].size(), journal_header::record_size);
  auto const end =
      static_cast<std::size_t>(decode_word(journals[0].data() + journal_header::end_offset));
  ASSERT_GT(end, journal_header::record_size) << "no record saved";
  ASSERT_LE(end, std::min(journals[0].size(), journals[1].size()));
  EXPECT_TRUE(std::equal(journals[0].begin(), journals[0].begin() + static_cast<long>(end),
                         journals[1].begin()));
}

}  // namespace
