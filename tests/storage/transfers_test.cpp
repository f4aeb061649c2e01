// A bank under load from many processes: writers move money between accounts (an
// ordered map, and a hash map that mirrors it) while readers check in read transactions
// that the total holds and the mirror equals the map; kills at random moments, a long
// reader, mixed journal modes, a damaged lock file. ODB_TRANSFER_SECONDS sets how long
// the transfers run in each mode (3 by default; CI runs 20) and, at half of it (2 s at
// least), how long the long reader holds its snapshot. Every child has an alarm.
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/detail/bfstream.h>
#include <disk_tools/odb_check.h>
#include <disk_tools/odb_copy.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::memory_dir;
using test_support::mode_name;
using namespace std::chrono_literals;

namespace {

using steady = std::chrono::steady_clock;
using ledger = d_map<std::uint64_t, std::int64_t>;
using mirror_map = d_hashmap<std::uint64_t, std::int64_t>;

constexpr std::uint64_t accounts = 1000;
constexpr std::int64_t opening_balance = 1000;
constexpr std::int64_t expected_total = static_cast<std::int64_t>(accounts) * opening_balance;
// Beside the accounts, in both maps: the number of transfers committed.
constexpr std::uint64_t commits_key = accounts;

double transfer_seconds() {
  char const* text = std::getenv("ODB_TRANSFER_SECONDS");
  double const s = text ? std::atof(text) : 0;
  return s > 0 ? s : 3;
}

std::chrono::milliseconds as_ms(double seconds) {
  return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

d_open_options options_for(d_journal mode) { return test_support::options_for(mode, 2000ms); }

// What every process of one run adds up, in memory shared with the test.
struct tally {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> commits{0};     // counted after each commit returned
  std::atomic<std::uint64_t> checks{0};      // snapshots checked whole
  std::atomic<std::uint64_t> busy{0};        // "database is busy..." retried
  std::atomic<std::uint64_t> violations{0};  // a check that failed
  std::atomic<std::uint64_t> failures{0};    // any other error
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the tally is shared by processes");

using shared_tally = std::unique_ptr<tally, void (*)(tally*)>;
shared_tally new_shared_tally() {
  void* at =
      ::mmap(nullptr, sizeof(tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) throw std::runtime_error("cannot map the tally");
  return shared_tally(new (at) tally, [](tally* t) { ::munmap(t, sizeof(tally)); });
}

// One opening of the bank, with its two maps.
struct bank {
  bank(std::string const& name, d_open_options const& options)
      : db(open_database_scoped(name, &env, options)),
        map("accounts", &env),
        mirror("mirror", &env) {}
  d_env env{};
  scoped_database db;
  ledger map;
  mirror_map mirror;
};

void make_bank(std::string const& name) {
  ASSERT_TRUE(create_database(name, nullptr));
  bank b(name, d_open_options{});
  d_transaction tx(&b.env);
  for (std::uint64_t k = 0; k <= accounts; ++k) {
    b.map.put(k, k == commits_key ? 0 : opening_balance);
    b.mirror.put(k, k == commits_key ? 0 : opening_balance);
  }
  tx.commit();
}

// A new bank in a scratch folder of its own.
struct bank_dir {
  bank_dir() { make_bank(name); }
  test_support::scratch_dir dir{memory_dir};
  std::string const name = dir.file("bank");
};

// "" when a snapshot of the bank (one read transaction) holds the accounts and the
// counter in order, the mirror the same pairs, the opening total, and a counter not below
// last_count (a later snapshot never shows an earlier state).
std::string check_snapshot(bank& b, std::int64_t& last_count,
                           std::uint64_t* fingerprint = nullptr) {
  d_read_transaction rt(&b.env);
  std::int64_t total = 0, count = -1;
  std::uint64_t key = 0, print = 0;
  for (auto const& e : b.map) {
    if (e.key != key)
      return "key " + std::to_string(e.key) + " where " + std::to_string(key) + " was due";
    std::int64_t m = 0;
    if (!b.mirror.get(e.key, m))
      return "key " + std::to_string(e.key) + " is missing from the mirror";
    if (m != e.value) {
      return "the mirror differs from the map at key " + std::to_string(e.key) + ": " +
             std::to_string(e.value) + " in the map, " + std::to_string(m) + " in the mirror";
    }
    if (e.key < accounts) total += e.value;
    if (e.key == commits_key) count = e.value;
    print = print * 1000003 + static_cast<std::uint64_t>(e.value);
    ++key;
  }
  if (key != accounts + 1) return std::to_string(key) + " keys in the map";
  if (b.mirror.count() != static_cast<long>(accounts + 1)) {
    return std::to_string(b.mirror.count()) + " keys in the mirror";
  }
  if (total != expected_total) return "total " + std::to_string(total);
  if (count < last_count) {
    return "counter went back from " + std::to_string(last_count) + " to " + std::to_string(count);
  }
  last_count = count;
  if (fingerprint) *fingerprint = print;
  return "";
}

// Moves a random amount between two accounts in one transaction, in the map and the
// mirror, counting it. "" once committed, else what the writer saw that it should not.
std::string transfer(bank& b, std::mt19937_64& rng) {
  std::uint64_t const from = rng() % accounts;
  std::uint64_t const to = (from + 1 + rng() % (accounts - 1)) % accounts;
  auto const amount = static_cast<std::int64_t>(1 + rng() % 100);
  d_transaction tx(&b.env);
  std::int64_t a = 0, c = 0, n = 0, ma = 0, mc = 0;
  if (!b.map.get(from, a) || !b.map.get(to, c) || !b.map.get(commits_key, n)) {
    return "an account is missing from the map";
  }
  if (!b.mirror.get(from, ma) || !b.mirror.get(to, mc) || ma != a || mc != c) {
    return "the writer finds the mirror unlike the map";
  }
  auto const move = [&](auto& m) {
    m.put(from, a - amount), m.put(to, c + amount), m.put(commits_key, n + 1);
  };
  move(b.map), move(b.mirror);
  tx.commit();
  return "";
}

// Counts ok when nothing is wrong, else a violation; the first few of each process are
// told, with its id.
void tally_up(tally& t, std::atomic<std::uint64_t>& ok, char const* who,
              std::string const& wrong) {
  if (wrong.empty()) return void(++ok);
  ++t.violations;
  static std::atomic<int> told{0};
  if (told++ < 3)
    std::fprintf(stderr, "%s %d: %s\n", who, static_cast<int>(::getpid()), wrong.c_str());
}

// Runs body on an opening of the bank until the run stops, retrying "database is
// busy..." (at the opening too); any other error is counted as a failure and ends it.
template <class Body>
void until_stopped(std::string const& name, d_journal mode, tally& t, Body&& body) {
  std::unique_ptr<bank> b;
  while (!t.stop) {
    try {
      if (!b) b = std::make_unique<bank>(name, options_for(mode));
      body(*b);
    } catch (std::exception const& e) {
      auto const* failed = dynamic_cast<error const*>(&e);
      if (failed && failed->code() == errc::busy) {
        ++t.busy;
        continue;
      }
      ++t.failures;
      std::fprintf(stderr, "process %d: %s\n", static_cast<int>(::getpid()), e.what());
      return;
    }
  }
}

// A writer: threads (each with an opening of its own) that transfer until the run
// stops. The process's status: 3 once anything failed.
int writer_process(std::string const& name, d_journal mode, std::uint64_t seed, tally& t,
                   int threads = 2) {
  auto const write = [&](std::uint64_t s) {
    std::mt19937_64 rng(s);
    until_stopped(name, mode, t, [&](bank& b) {
      tally_up(t, t.commits, "writer", transfer(b, rng));
    });
  };
  std::vector<std::thread> others;
  for (int i = 1; i < threads; ++i) others.emplace_back(write, seed * threads + i);
  write(seed * threads);
  for (auto& o : others) o.join();
  return t.failures ? 3 : 0;
}

int reader_process(std::string const& name, d_journal mode, tally& t) {
  std::int64_t last_count = 0;
  until_stopped(name, mode, t, [&](bank& b) {
    std::string wrong = check_snapshot(b, last_count);
    // A read outside a read transaction shows the latest commit, never one
    // before what was seen already.
    std::int64_t count = -1;
    if (wrong.empty() && (!b.map.get(commits_key, count) || count < last_count)) {
      wrong = "a plain read showed counter " + std::to_string(count) + " after " +
              std::to_string(last_count);
    }
    last_count = std::max(last_count, count);
    tally_up(t, t.checks, "reader", wrong);
  });
  return t.failures ? 3 : 0;
}

// Two openings take turns holding a read transaction, each pinning a snapshot before the
// other lets go: the checkpoint trails, and writers work from commits the journal alone holds.
int lag_the_checkpoint(std::string const& name, d_journal mode, tally& t) {
  std::int64_t last_count = 0;
  std::unique_ptr<bank> other;
  std::unique_ptr<d_read_transaction> held;
  until_stopped(name, mode, t, [&](bank& b) {
    if (!other) other = std::make_unique<bank>(name, options_for(mode));
    auto pinned = std::make_unique<d_read_transaction>(&b.env);
    tally_up(t, t.checks, "lagging reader", check_snapshot(b, last_count));
    held.reset();
    std::this_thread::sleep_for(2ms);
    held = std::make_unique<d_read_transaction>(&other->env);
    pinned.reset();
    std::this_thread::sleep_for(2ms);
  });
  held.reset();
  return t.failures ? 3 : 0;
}

// The bank after a run, alone: sound, the total whole, and its counter between committed
// and committed + uncounted (writers killed after a commit but before counting it).
void expect_sound_bank(std::string const& name, std::uint64_t committed, std::uint64_t uncounted) {
  {
    bank b(name, d_open_options{});
    std::int64_t count = 0;
    EXPECT_EQ(check_snapshot(b, count), "");
    EXPECT_GE(static_cast<std::uint64_t>(count), committed) << "a commit was lost";
    EXPECT_LE(static_cast<std::uint64_t>(count), committed + uncounted)
        << "the counter shows transfers nobody made";
    EXPECT_EQ(b.mirror.check(), std::vector<std::string>{});
  }
  database_check const check = check_database(name + ".odb");
  EXPECT_EQ(check.problems, std::vector<std::string>{});
  EXPECT_EQ(test_support::file_size(name + ".odb-lock"), -1) << "the last close left the lock file";
}

// How many of each kind run_crew killed, and the hot copies it took.
struct crew_run {
  int writer_kills = 0;
  int reader_kills = 0;
  int copies = 0;
};

// A hot copy taken while the crew works is a sound database of its own.
std::string hot_copy_is_sound(std::string const& name, std::string const& copy) {
  copy_database(name, copy);
  std::int64_t count = 0;
  std::string wrong;
  {
    bank b(copy, d_open_options{});
    wrong = check_snapshot(b, count);
  }
  if (wrong.empty() && !check_database(copy + ".odb").problems.empty()) {
    wrong = "check_database finds problems in the copy";
  }
  return wrong.empty() ? wrong : "hot copy: " + wrong;
}

// Two writer processes of two threads and four readers run for seconds; kill_count
// times one is killed at random and replaced. Without kills, hot copies are checked.
crew_run run_crew(std::string const& name, d_journal mode, tally& t, double seconds,
                  int kill_count, bool lagging = false) {
  constexpr int writers = 2, readers = 4;
  test_support::child_processes kids(static_cast<unsigned>(seconds) + 120);
  std::uint64_t next_seed = 1;
  auto start = [&](int slot) {
    std::uint64_t const seed = next_seed++;
    return slot < writers ? kids.start([&, seed] { return writer_process(name, mode, seed, t); })
                          : kids.start([&] { return reader_process(name, mode, t); });
  };
  std::vector<pid_t> slots;
  for (int slot = 0; slot < writers + readers; ++slot) slots.push_back(start(slot));
  if (lagging) slots.push_back(kids.start([&] { return lag_the_checkpoint(name, mode, t); }));
  crew_run run;
  auto const end = steady::now() + as_ms(seconds);
  std::random_device device;
  unsigned const seed = device();
  std::mt19937 rng(seed);
  if (kill_count > 0) std::printf("[ kills    ] seed %u\n", seed);
  double const mean_gap = seconds / (kill_count + 1);
  for (int kill = 0; kill < kill_count; ++kill) {
    std::this_thread::sleep_for(as_ms(mean_gap * 2 * (rng() % 1000) / 1000.0));
    int const slot = static_cast<int>(rng() % (writers + readers));
    kids.kill(slots[slot]);
    ++(slot < writers ? run.writer_kills : run.reader_kills);
    slots[slot] = start(slot);
  }
  for (; kill_count == 0 && steady::now() < end; ++run.copies) {
    std::string const wrong = hot_copy_is_sound(name, name + "-copy");
    EXPECT_EQ(wrong, "");
    if (!wrong.empty()) break;
    std::this_thread::sleep_for(as_ms(seconds / 10));
  }
  std::this_thread::sleep_until(std::max(end, steady::now() + 200ms));
  t.stop = true;
  auto const deadline = steady::now() + 30s;
  for (pid_t pid : slots) EXPECT_EQ(kids.wait(pid, deadline), 0) << "a process failed or hung";
  return run;
}

// What a run did, for the log: commits, checks and retries; hot copies or kills when there were.
void print_counts(char const* test, d_journal mode, tally const& t, double seconds,
                  crew_run const& run = {}) {
  std::printf("[ figures  ] %s, %s, %.0f s: %llu commits, %llu snapshot checks, %llu busy retries, "
              "%d hot copies, %d writer processes and %d readers killed\n",
              test, mode_name(mode), seconds, static_cast<unsigned long long>(t.commits.load()),
              static_cast<unsigned long long>(t.checks.load()),
              static_cast<unsigned long long>(t.busy.load()), run.copies, run.writer_kills,
              run.reader_kills);
}

class Transfers : public ::testing::TestWithParam<d_journal> {
 protected:
  // Nothing went wrong, writers committed (and readers checked, when there were any), and
  // the bank is sound, its counter past every counted commit and at most uncounted beyond.
  void expect_clean_run(bool readers = true, std::uint64_t uncounted = 0) {
    EXPECT_EQ(t->violations, 0u);
    EXPECT_EQ(t->failures, 0u);
    EXPECT_GT(t->commits, 0u);
    EXPECT_TRUE(!readers || t->checks > 0u) << "no snapshot was checked";
    expect_sound_bank(name, t->commits, uncounted);
  }
  bank_dir bank_;
  std::string const& name = bank_.name;
  shared_tally t = new_shared_tally();
};

INSTANTIATE_TEST_SUITE_P(Modes, Transfers, ::testing::Values(d_journal::atomic, d_journal::durable),
                         [](auto const& info) { return std::string(mode_name(info.param)); });

TEST_P(Transfers, KeepTheTotalAndTheMirror) {
  double const seconds = transfer_seconds();
  crew_run const run = run_crew(name, GetParam(), *t, seconds, 0);
  print_counts("transfers", GetParam(), *t, seconds, run);
  EXPECT_GT(run.copies, 0);
  expect_clean_run();
}

// An opening alone writes its transactions into the file in place: a copy
// taken meanwhile must not show half of one.
TEST_P(Transfers, HotCopiesBesideAnOpeningAloneAreWhole) {
  test_support::child_processes kids(60);
  pid_t const writer = kids.start([&] { return writer_process(name, GetParam(), 1, *t, 1); });
  int copies = 0;
  std::string wrong;
  for (auto const end = steady::now() + 2s; wrong.empty() && steady::now() < end; ++copies) {
    wrong = hot_copy_is_sound(name, name + "-copy");
  }
  t->stop = true;
  EXPECT_EQ(kids.wait(writer, steady::now() + 30s), 0);
  EXPECT_EQ(wrong, "") << "copy " << copies;
  print_counts("hot copies beside one opening", GetParam(), *t, 2, crew_run{0, 0, copies});
  expect_clean_run(false);
}

// Writers that work from commits not yet copied into the database file
// (a reader holds the checkpoint back) lose no update and read none stale:
// the counter ends equal to the commits counted.
TEST_P(Transfers, LoseNoUpdateWhileTheCheckpointLags) {
  double const seconds = transfer_seconds();
  run_crew(name, GetParam(), *t, seconds, 0, true);
  print_counts("lagging checkpoint", GetParam(), *t, seconds);
  expect_clean_run(false);
}

// Killed writers must leave every commit whole or gone: a commit left half
// copied shows as a mirror that differs from the map.
TEST_P(Transfers, GoOnWhileProcessesAreKilled) {
  double const seconds = transfer_seconds();
  crew_run const run = run_crew(name, GetParam(), *t, seconds, 50);
  print_counts("kills", GetParam(), *t, seconds, run);
  // Each writer process killed may take one counted-never commit per thread.
  expect_clean_run(true, 2 * static_cast<std::uint64_t>(run.writer_kills));
}

// Waits for go, pins a snapshot and says so, reads it again and again for hold, says it
// lets go; 1 when a reading differed from the first.
int hold_a_snapshot(std::string const& name, d_journal mode, std::chrono::milliseconds hold,
                    test_support::signal_pipe const& go, test_support::signal_pipe const& said) {
  bank b(name, options_for(mode));
  if (!go.heard()) return 2;
  int status = 0;
  {
    d_read_transaction rt(&b.env);
    std::int64_t count = 0;
    std::uint64_t first = 0;
    std::string wrong = check_snapshot(b, count, &first);
    if (!said.say()) return 2;
    std::int64_t const pinned_count = count;
    for (auto const until = steady::now() + hold; wrong.empty() && steady::now() < until;) {
      std::this_thread::sleep_for(20ms);
      std::uint64_t again = 0;
      wrong = check_snapshot(b, count, &again);
      if (wrong.empty() && (again != first || count != pinned_count))
        wrong = "the snapshot changed";
    }
    if (!wrong.empty()) {
      std::fprintf(stderr, "long reader: %s\n", wrong.c_str());
      status = 1;
    }
    if (!said.say()) return 2;
  }
  return status;
}

// The writer's commit rate beside the pinned snapshot is the bench's to measure
// (scripts/bench.sh longread).
TEST_P(Transfers, ALongReaderSeesOneSnapshotWhileAWriterCommits) {
  auto const hold = as_ms(std::max(2.0, transfer_seconds() / 2));
  test_support::child_processes kids(static_cast<unsigned>(hold.count() / 1000) + 120);
  test_support::signal_pipe go, said;
  pid_t const reader = kids.start([&] { return hold_a_snapshot(name, GetParam(), hold, go, said); });
  said.close_writer();  // a reader that ends early ends the waits below
  pid_t const writer = kids.start([&] { return writer_process(name, GetParam(), 7, *t, 1); });
  std::this_thread::sleep_for(300ms);  // both open, the writer under way
  ASSERT_TRUE(go.say());
  ASSERT_TRUE(said.heard(steady::now() + 30s)) << "the reader did not pin its snapshot";
  std::uint64_t const before = t->commits;
  ASSERT_TRUE(said.heard(steady::now() + hold + 30s)) << "the reader did not let go";
  EXPECT_EQ(kids.wait(reader, steady::now() + 30s), 0) << "the reader's snapshot changed";
  std::this_thread::sleep_for(100ms);
  std::uint64_t const after_hold = t->commits;
  t->stop = true;
  EXPECT_EQ(kids.wait(writer, steady::now() + 30s), 0) << "the writer failed or hung";
  EXPECT_GT(after_hold, before) << "the writer stopped committing after the reader let go";
  expect_clean_run(false);
}

// An atomic and a durable opening of one database, in turn writing and
// checking what the other wrote.
TEST(MixedModes, AnAtomicAndADurableOpeningAgree) {
  bank_dir made;
  std::string const& name = made.name;
  std::uint64_t committed = 0;
  {
    bank atomic(name, options_for(d_journal::atomic));
    bank durable(name, options_for(d_journal::durable));
    bank* const openings[] = {&atomic, &durable};
    std::mt19937_64 rng(5);
    std::int64_t seen[2] = {0, 0};
    for (int step = 0; step < 200; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      bank& writer = *openings[step % 2];
      bank& other = *openings[1 - step % 2];
      ASSERT_EQ(transfer(writer, rng), "");
      ++committed;
      ASSERT_EQ(check_snapshot(other, seen[1 - step % 2]), "");
      ASSERT_EQ(seen[1 - step % 2], static_cast<std::int64_t>(committed)) << "a commit is not seen";
    }
  }
  expect_sound_bank(name, committed, 0);
}

// Lock files as a crash, a stray program or a full disk might leave them.
struct lock_damage {
  char const* what;
  std::vector<char> bytes;
};

std::vector<lock_damage> lock_damages() {
  std::vector<char> stale(4096, 0), wrong_magic(4096, 0), noise(4096);
  std::string const magic = "odb-lock", not_magic = "not-lock";
  std::copy(magic.begin(), magic.end(), stale.begin());
  std::copy(not_magic.begin(), not_magic.end(), wrong_magic.begin());
  // A commit count and a length from another life; every flag raised (a
  // writer copying, one alone inside a transaction, one asked to share).
  for (std::size_t offset = 8; offset < 72; offset += 8) stale[offset] = 1;
  stale[8 + 6] = 0x7f;
  stale[16 + 5] = 0x7f;
  std::mt19937 rng(3);
  for (char& c : noise) c = static_cast<char>(rng());
  std::vector<char> const truncated(stale.begin(), stale.begin() + 12);
  return {
      {"empty", {}},
      {"truncated", truncated},
      {"wrong magic", wrong_magic},
      {"noise", noise},
      {"stale words", stale},
      {"too long", std::vector<char>(10000, '\xff')},
  };
}

// A lock file nobody holds tells nothing: the next opening, of any kind,
// starts it afresh, and a second opening joins it.
TEST(DamagedLockFile, DoesNotStopTheNextOpening) {
  struct first_opening { char const* what; d_open_options options; };
  first_opening const firsts[] = {{"atomic", options_for(d_journal::atomic)},
                                  {"durable", options_for(d_journal::durable)},
                                  {"read-only", test_support::reading()}};
  for (auto const& damage : lock_damages()) {
    for (auto const& first : firsts) {
      SCOPED_TRACE(std::string(damage.what) + ", " + first.what + " opening");
      bank_dir made;
      std::string const& name = made.name;
      test_support::write_file(name + ".odb-lock", damage.bytes);
      std::unique_ptr<bank> opened;
      ASSERT_EQ(
          test_support::thrown_by([&] { opened = std::make_unique<bank>(name, first.options); }),
          "");
      std::int64_t count = 0;
      EXPECT_EQ(check_snapshot(*opened, count), "");
      {
        bank second(name, options_for(d_journal::atomic));
        std::mt19937_64 rng(1);
        ASSERT_EQ(transfer(second, rng), "");
      }
      EXPECT_EQ(check_snapshot(*opened, count), "");
      EXPECT_EQ(count, 1) << "the first opening does not follow the second's commit";
      opened.reset();
      expect_sound_bank(name, 1, 0);
    }
  }
}

// Kills its own process at the sync after a new journal header (a checkpoint starting
// the log afresh), or at the second write copying a commit into the database file.
class die_at : public io_tools::io_observer {
 public:
  enum class moment { header_synced, copying };
  explicit die_at(moment m) : moment_(m) {}
  void on_event(io_tools::io_event const& e) override {
    bool const journal = test_support::ends_with(*e.file, ".odb-journal");
    bool const database = test_support::ends_with(*e.file, ".odb");
    using kind = io_tools::io_event::kind;
    if (moment_ == moment::header_synced) {
      if (journal && e.what == kind::write) header_written_ = e.address == 0;
      if (journal && e.what == kind::sync && header_written_) ::raise(SIGKILL);
    } else if (database && e.what == kind::write && ++writes_ == 2) {
      ::raise(SIGKILL);
    }
  }

 private:
  moment moment_;
  bool header_written_ = false;
  int writes_ = 0;
};

// One transfer in a child process that kills itself at the moment given.
int transfer_and_die(std::string const& name, d_open_options const& options, die_at::moment m) {
  bank b(name, options);
  std::mt19937_64 rng(::getpid());
  die_at observer(m);
  io_tools::set_io_observer(&observer);
  transfer(b, rng);
  return 0;
}

// Two writers killed in turn beside an opening that stays: the first, which starts the log afresh
// after every commit (a checkpoint), at the moment given; the second copying its commit in (its
// journal's bound reached at once, as the first's). That commit is whole in the journal, and the
// next transaction (a read one too) plays it back whole. A writer killed between a new journal
// header and the lock file's new log end must not leave the next writers appending where playing
// back never reaches them: the half-copied commit that follows would stay half copied.
TEST(KilledWriters, ACommitHalfCopiedAfterACheckpointOrACheckpointCutShortIsPlayedBack) {
  struct row { die_at::moment first; d_journal mode; };
  for (row const r : {row{die_at::moment::copying, d_journal::atomic},
                      row{die_at::moment::copying, d_journal::durable},
                      row{die_at::moment::header_synced, d_journal::durable}}) {
    die_at::moment const first = r.first;
    d_journal const mode = r.mode;
    SCOPED_TRACE(std::string(mode_name(mode)) +
                 (first == die_at::moment::copying ? ", copying" : ", header synced"));
    bank_dir made;
    std::string const& name = made.name;
    bank stays(name, options_for(mode));
    std::int64_t count = 0;
    ASSERT_EQ(check_snapshot(stays, count), "");
    test_support::child_processes kids(60);
    d_open_options checkpointing = options_for(mode);
    checkpointing.checkpoint_bytes = 1;
    pid_t pid = kids.start([&] { return transfer_and_die(name, checkpointing, first); });
    ASSERT_EQ(kids.wait(pid, steady::now() + 20s), -1) << "the first writer was not killed";
    std::mt19937_64 rng(9);
    ASSERT_EQ(transfer(stays, rng), "");
    pid = kids.start([&] { return transfer_and_die(name, checkpointing, die_at::moment::copying); });
    ASSERT_EQ(kids.wait(pid, steady::now() + 20s), -1) << "the second writer was not killed";
    EXPECT_EQ(check_snapshot(stays, count), "");
    EXPECT_EQ(count, 3) << "the commits were not all played back";
  }
}

}  // namespace
