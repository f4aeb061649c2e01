// Processes (and threads) on one database through the original map: a busy writer that gives up in
// time, a writer killed inside its transaction, a reader that pins its snapshot or dies inside it,
// and read-only openings. (Many writers and readers at once, kills and hot copies:
// transfers_test.cpp.) Every child is waited for with a deadline and killed when it overstays.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/membarrier.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <iterator>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include <disk_tools/detail/lock_file.h>
#include "harness.h"

using namespace disk_tools;
using test_support::memory_dir;
using test_support::options_for;
using test_support::reading;
using test_support::thrown_by;
using namespace std::chrono_literals;

namespace {

using int_map = d_map<unsigned, unsigned, unsigned>;
using steady = std::chrono::steady_clock;

constexpr unsigned accounts = 100;
constexpr unsigned opening_balance = 1000;
constexpr unsigned commits_key = accounts;  // counts the transfers made

// An opening of the accounts and their map, made with options (the plain call when there are none).
struct opening {
  explicit opening(std::string const& name, std::optional<d_open_options> const& o = {},
                   d_root root = d_root::open_or_create)
      : db(o ? open_database_scoped(name, &env, *o) : open_database_scoped(name, &env)),
        map("accounts", &env, root) {}
  d_env env{};
  scoped_database db;
  int_map map;
};

// A new database of accounts in a scratch folder of its own.
struct accounts_db {
  accounts_db() {
    EXPECT_TRUE(create_database(name, nullptr));
    opening o(name);
    d_transaction tx(&o.env);
    for (unsigned k = 0; k < accounts; ++k) o.map.put(k, opening_balance);
    o.map.put(commits_key, 0);
    tx.commit();
  }
  test_support::scratch_dir dir{memory_dir};
  std::string const name = dir.file("accounts");
};

// Cases on a new database of accounts.
class ManyProcesses : public ::testing::Test {
 protected:
  accounts_db made;
  std::string const& name = made.name;
};
using ReadOnly = ManyProcesses;

// The value at key k; none when the key is missing.
constexpr unsigned none = ~0u;
unsigned value_at(int_map& map, unsigned k) {
  unsigned v = 0;
  return map.get(k, v) ? v : none;
}

// The accounts' total, read in one read transaction.
unsigned long total_of(opening& o) {
  d_read_transaction rt(&o.env);
  unsigned long total = 0;
  for (unsigned k = 0; k < accounts; ++k) {
    unsigned v = 0;
    if (!o.map.get(k, v)) return 0;
    total += v;
  }
  return total;
}
unsigned long const opening_total = static_cast<unsigned long>(accounts) * opening_balance;

// One transfer between random accounts, read and written in one transaction,
// which also counts itself.
void transfer(opening& o, std::mt19937& rng) {
  unsigned const from = rng() % accounts, to = rng() % accounts, amount = rng() % 50;
  int_map& map = o.map;
  d_transaction tx(&o.env);
  unsigned a = 0, b = 0, n = 0;
  map.get(from, a);
  map.get(to, b);
  map.get(commits_key, n);
  if (from != to && a >= amount) {
    map.put(from, a - amount);
    map.put(to, b + amount);
  }
  map.put(commits_key, n + 1);
  tx.commit();
}

// A child that opens name (with options) and waits, to be killed, inside a transaction that
// changed account 0; its pid, -1 when it ended first.
pid_t held_in_a_transaction(test_support::child_processes& kids, std::string const& name,
                            std::optional<d_open_options> const& options = {}) {
  return kids.start_held([&](auto const& hold) {
    opening o(name, options);
    d_transaction tx(&o.env);
    o.map.put(0, 0);
    hold();
  });
}

// A writer that holds its transaction for a second, in another process or in
// another thread with an opening of its own.
void hold_a_transaction(std::string const& name, test_support::signal_pipe const& ready) {
  opening o(name);
  d_transaction tx(&o.env);
  o.map.put(0, 1);
  if (!ready.say()) return;
  std::this_thread::sleep_for(1s);
  tx.commit();
}

TEST_F(ManyProcesses, AWriterWaitsItsTimeoutThenIsBusyOrGetsItsTurn) {
  for (bool in_thread : {false, true}) {
    SCOPED_TRACE(in_thread ? "holder in a thread" : "holder in a process");
    accounts_db fresh;  // the holder's commit changes the accounts
    std::string const& name = fresh.name;
    opening first(name, options_for(d_journal::atomic, 100ms));
    int_map& map = first.map;
    test_support::signal_pipe ready;
    test_support::child_processes kids;
    std::thread holder;
    pid_t pid = -1;
    if (in_thread) {
      holder = std::thread([&] { hold_a_transaction(name, ready); });
    } else {
      pid = kids.start([&] {
        hold_a_transaction(name, ready);
        return 0;
      });
    }
    ASSERT_TRUE(ready.heard());
    auto start = steady::now();
    EXPECT_EQ(test_support::code_thrown_by([&] { map.put(1, 7); }), errc::busy);
    auto const waited = steady::now() - start;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 900ms) << "it waited for the holder";
    EXPECT_EQ(value_at(map, 1), opening_balance) << "the busy writer changed something";

    // Attaching the map takes a turn already.
    start = steady::now();
    opening patient(name);
    EXPECT_EQ(test_support::thrown_by([&] { patient.map.put(1, 7); }), "");
    EXPECT_GE(steady::now() - start, 300ms) << "it did not wait for the holder's commit";
    EXPECT_EQ(value_at(patient.map, 0), 1u) << "the holder's commit is not seen";
    EXPECT_EQ(value_at(map, 1), 7u) << "the first opening does not follow the commit";
    if (in_thread) holder.join();
    EXPECT_TRUE(pid < 0 || kids.wait(pid, steady::now() + 5s) == 0);
  }
}

// An opening that joins beside a writer inside a long transaction waits for its turn holding the
// gate that every opening passes: one that comes meanwhile waits there a bounded time too, and is
// told the database is busy long before the first gives up (it once waited for that, and then for
// every other joiner queued before it).
TEST_F(ManyProcesses, AnOpeningBehindAnotherWaitingToJoinIsBusyWithinItsOwnBound) {
  test_support::child_processes kids;
  pid_t const holder = held_in_a_transaction(kids, name);
  ASSERT_GT(holder, 0);
  std::string joiner_error = "not ended";
  std::thread joiner([&] {
    joiner_error = thrown_by([&] { opening o(name, options_for(d_journal::atomic, 2500ms)); });
  });
  std::this_thread::sleep_for(300ms);  // it holds the gate, waiting for the writer's turn
  auto const start = steady::now();
  EXPECT_EQ(test_support::code_thrown_by([&] {
              opening o(name, options_for(d_journal::atomic, 300ms));
            }),
            errc::busy);
  auto const waited = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
  EXPECT_LT(waited.count(), 1800) << "it waited for the opening ahead of it";
  joiner.join();
  EXPECT_EQ(joiner_error, "database is busy...");
  kids.kill(holder);
  opening after(name);
  EXPECT_EQ(value_at(after.map, 0), opening_balance) << "the killed holder's change stayed";
}

// A writer killed inside its transaction blocks nobody, and what it left is taken back by the next
// writer while this process keeps the database open: one that comes after the death, and one
// already waiting for its turn. A holder killed at the wrong moment can leave the writer's mutex
// marked as left by the dead but without the mark that others sleep on it, and the system then
// wakes none of them (seen with processes killed at random): for the waiting writer the mark is
// taken away by hand before the holder dies, and it must still get its turn, long before its
// timeout runs out.
TEST_F(ManyProcesses, AWriterKilledInsideItsTransactionBlocksNobodyAndLeavesNothing) {
  for (bool const waiting : {false, true}) {
    SCOPED_TRACE(waiting ? "a writer waiting, its wake-up lost" : "the next writer after it");
    accounts_db fresh;
    opening o(fresh.name, options_for(d_journal::atomic, waiting ? 10000ms : 1000ms));
    test_support::child_processes kids;
    pid_t const pid = held_in_a_transaction(kids, fresh.name);
    ASSERT_GT(pid, 0);
    if (!waiting) kids.kill(pid);
    auto const start = steady::now();
    std::string thrown = "never ran";
    std::thread writer([&] {
      std::mt19937 rng(1);
      thrown = test_support::thrown_by([&] { transfer(o, rng); });
    });
    if (waiting) {
      std::this_thread::sleep_for(200ms);  // the writer sleeps on the mutex now
      // The mutex's first word: the holder's thread id and the two marks.
      std::int32_t const dead_and_nobody_waiting = 0x40000000;
      int const fd = ::open(lock_file_of(fresh.name + ".odb").c_str(), O_WRONLY);
      EXPECT_EQ(::pwrite(fd, &dead_and_nobody_waiting, 4, lock_file::writer_offset), 4);
      ::close(fd);
      kids.kill(pid);
    }
    writer.join();
    EXPECT_EQ(thrown, "");
    EXPECT_LT(steady::now() - start, 5s) << "the writer slept until its timeout ran out";
    EXPECT_EQ(total_of(o), opening_total);
    EXPECT_TRUE(check_map(o.map).empty());
    o.db.reset();
    EXPECT_TRUE(check_database_file(fresh.name + ".odb").empty());
  }
}

// Every account's balance and the count of transfers, as the map shows them.
std::vector<unsigned> balances(int_map& map) {
  std::vector<unsigned> out(accounts + 1, 0);
  for (unsigned k = 0; k <= accounts; ++k) map.get(k, out[k]);
  return out;
}

published_state shared_state(std::string const& name) {
  published_state s;
  EXPECT_TRUE(read_published_state(name + ".odb", s)) << "no lock file";
  return s;
}

d_open_options short_journal(d_journal mode) {
  d_open_options o = options_for(mode);
  o.checkpoint_bytes = 4096;  // a few transfers fill it
  return o;
}

// The longest the journal of the database name grew over 300 transfers through o.
word_t longest_log(std::string const& name, opening& o, std::mt19937& rng) {
  word_t longest = 0;
  for (int i = 0; i < 300; ++i) {
    transfer(o, rng);
    longest = std::max(longest, shared_state(name).log_end);
  }
  return longest;
}

// Runs main while another thread, with an opening of its own in mode, runs step over and
// over until main returns; what either threw, "" when neither threw.
std::string beside_a_thread(std::string const& name, d_journal mode,
                            std::function<void(d_env&, scoped_database&)> const& step,
                            std::function<void()> const& main) {
  std::atomic<bool> done{false};
  std::string failed[2];
  std::thread other([&] {
    failed[1] = thrown_by([&] {
      d_env env{};
      scoped_database db = open_database_scoped(name, &env, options_for(mode, 20000ms));
      while (!done) step(env, db);
    });
  });
  failed[0] = thrown_by(main);
  done = true;
  other.join();
  return failed[0] + failed[1];
}

// Cases run in both journal modes, each on a new database of accounts.
class InEachMode : public ::testing::TestWithParam<d_journal> {
 protected:
  d_journal const mode = GetParam();
  accounts_db made;
  std::string const& name = made.name;
};

INSTANTIATE_TEST_SUITE_P(ManyProcesses, InEachMode,
                         ::testing::Values(d_journal::atomic, d_journal::durable),
                         [](auto const& i) { return test_support::mode_name(i.param); });

// Two threads, each with its own opening, add to every kind outside transactions. A
// change reads what its object caches, then takes the writer's turn, which may catch up
// with the other's commits: the cache must be read again, or the change writes where the
// other's went. Both fill the same lists of two indexes, which must not make a key's list
// twice; nor may the openings make a container twice as they attach to it at once (the
// second took the root, and what the first had pushed was lost, one run in 800).
TEST_P(InEachMode, ThreadsChangingEveryKindOutsideTransactionsLoseNothing) {
  using number_map = d_map<std::uint64_t, std::int64_t>;
  using number_hash = d_hashmap<std::uint64_t, std::int64_t>;
  using index_map = d_map<std::uint64_t, d_list<long>>;
  using index_hash = d_hashmap<std::uint64_t, d_list<long>>;
  struct containers {  // each thread makes its own
    explicit containers(accounts_db const& made, d_journal mode)
        : db(open_database_scoped(made.name, &env, options_for(mode, 20000ms))) {}
    d_env env{};
    scoped_database db;
    d_vector<long> v{"v", 8, &env};
    d_list<long> l{"l", &env};
    number_hash h{"h", &env};
    number_map m{"m", &env};
    index_map im{"im", &env};
    index_hash ih{"ih", &env};
  };
  constexpr long each = 1500;
  std::string failed[2];
  auto const add = [&](int who) {
    try {
      containers o(made, mode);
      for (long i = who * each; i < (who + 1) * each; ++i) {
        o.v.push_back(i);
        o.l.push_back(i);
        o.h.put(static_cast<std::uint64_t>(i), i);
        o.m.put(static_cast<std::uint64_t>(i), i);
        o.im[static_cast<std::uint64_t>(i % 97)].push_back(i);
        o.ih[static_cast<std::uint64_t>(i % 89)].push_back(i);
      }
    } catch (error const& e) {
      failed[who] = e.what();
    }
  };
  std::thread other(add, 1);
  add(0);
  other.join();
  EXPECT_EQ(failed[0] + failed[1], "");
  containers o(made, mode);
  std::vector<long> in_vector(o.v.begin(), o.v.end()), in_list(o.l.begin(), o.l.end());
  auto const postings_of = [](auto& index, std::uint64_t keys) {
    std::vector<long> all;
    for (std::uint64_t k = 0; k < keys; ++k) {
      d_list<long> postings = index[k];
      all.insert(all.end(), postings.begin(), postings.end());
    }
    return all;
  };
  std::vector<long> in_index = postings_of(o.im, 97), in_hash = postings_of(o.ih, 89);
  std::vector<long> all(2 * each);
  std::iota(all.begin(), all.end(), 0L);
  for (auto* seen : {&in_vector, &in_list, &in_index, &in_hash}) {
    std::sort(seen->begin(), seen->end());
    EXPECT_EQ(*seen, all);
  }
  long in_both_maps = 0;
  for (long i : all) {
    std::int64_t hv = -1, mv = -1;
    auto const k = static_cast<std::uint64_t>(i);
    in_both_maps += o.h.get(k, hv) && o.m.get(k, mv) && hv == i && mv == i;
  }
  EXPECT_EQ(in_both_maps, 2 * each);
  EXPECT_EQ(o.h.size(), static_cast<std::size_t>(2 * each));
  // A container made twice leaves blocks no root owns, counted once every root has a kind.
  o.db->record_kind("accounts", "map<unsigned,unsigned>");
  o.db.reset();
  EXPECT_TRUE(test_support::checks_clean(name + ".odb"));
}

// The first opening, idle since another joined it, closes last: the other's commits that
// only the journal holds (a snapshot kept the checkpoint back) reach the file first.
TEST_P(InEachMode, AnIdleFirstOpeningClosingLastKeepsTheOthersCommits) {
  d_env first_env{};
  scoped_database first = open_database_scoped(name, &first_env, options_for(mode));
  {
    d_env reader_env{};
    scoped_database reader = open_database_scoped(name, &reader_env, options_for(mode));
    auto snapshot = std::make_unique<d_read_transaction>(&reader_env);
    opening o(name, options_for(mode));
    std::mt19937 rng(3);
    for (int i = 0; i < 10; ++i) transfer(o, rng);
    snapshot.reset();
  }
  first.reset();
  opening o(name);
  EXPECT_EQ(total_of(o), opening_total);
  EXPECT_EQ(value_at(o.map, commits_key), 10u) << "the last close dropped the journal's commits";
}

// Beside another opening, commits reach the file in batches, not one copy per commit,
// and still the journal starts afresh near its bound.
TEST_P(InEachMode, CommitsReachTheFileInBatchesWithinTheJournalsBound) {
  d_env idle_env{};
  scoped_database idle = open_database_scoped(name, &idle_env, short_journal(mode));
  opening o(name, short_journal(mode));
  std::mt19937 rng(4);
  for (int i = 0; i < 3; ++i) transfer(o, rng);
  published_state s = shared_state(name);
  EXPECT_LT(s.checkpoint, s.commits) << "every commit was copied into the file at once";
  EXPECT_LT(longest_log(name, o, rng), 4096 + 2048) << "the journal outgrew its bound";
}

// An opening refused after it joined the others (busy: the turn is another opening's of
// its thread) wrote nothing and leaves the file as it was. It used to cut the file back
// to the checkpoint its view had reached as it joined: beside busy writers, which copy
// commits in past that point and start the log afresh while such an opening waits for
// its turn, the cut took committed bytes out of the file, and every snapshot read them
// as zeros ("record at ... gives its own address as 0").
TEST_P(InEachMode, AnOpeningRefusedBesideOthersLeavesTheFileAsItWas) {
  d_env first_env{}, second_env{};
  scoped_database first = open_database_scoped(name, &first_env, options_for(mode, 100ms));
  scoped_database second = open_database_scoped(name, &second_env, options_for(mode, 100ms));
  d_list<std::string> texts("texts", &first_env);
  // A few commits of a few hundred kilobytes: the file grows for each, and the batch
  // waits in the journal for its checkpoint.
  for (int t = 0; t < 6; ++t) {
    d_transaction tx(&first_env);
    for (int i = 0; i < 100; ++i) texts.push_back(std::string(2000, static_cast<char>('a' + t)));
    tx.commit();
  }
  published_state const s = shared_state(name);
  std::string const file = name + ".odb";
  ASSERT_LT(s.checkpoint_length, test_support::file_size(file))
      << "the case needs commits past the checkpoint";
  {
    d_transaction held(&first_env);
    texts.push_back("held");
    std::vector<char> const before = test_support::read_file(file);
    d_env refused_env{};
    EXPECT_EQ(test_support::code_thrown_by([&] {
                open_database_scoped(name, &refused_env, options_for(mode, 100ms));
              }),
              errc::busy);
    EXPECT_EQ(test_support::file_size(file), static_cast<std::int64_t>(before.size()))
        << "the refused opening cut the file back to " << s.checkpoint_length;
    EXPECT_TRUE(test_support::read_file(file) == before) << "the refused opening changed the file";
    held.commit();
  }
  EXPECT_EQ(texts.size(), 601u);
  second.reset();
  first.reset();
  EXPECT_EQ(check_database_file(file), std::vector<std::string>{});
}

// A batch copied in after its writer's own commit goes to the file in a few writes, however
// its changes lie scattered over the nodes, and the file then holds every commit.
TEST_P(InEachMode, ABatchReachesTheFileInAFewWritesWhereverItsChangesLie) {
  using numbers = d_map<std::uint64_t, std::int64_t>;
  constexpr std::uint64_t keys = 4000;
  constexpr int commits = 640;
  d_env idle_env{};
  scoped_database idle = open_database_scoped(name, &idle_env, options_for(mode));
  // Read once in a read transaction: its end holds nothing back.
  { d_read_transaction rt(&idle_env); }
  std::map<std::uint64_t, std::int64_t> model;
  {
    opening o(name, options_for(mode));
    numbers spread("spread", &o.env);
    d_transaction fill(&o.env);
    for (std::uint64_t k = 0; k < keys; ++k) {
      spread.put(k, 0);
      model[k] = 0;
    }
    fill.commit();
    long long const calls_before = o.env.stream->counts().calls;
    std::mt19937 rng(5);
    for (int i = 1; i <= commits; ++i) {
      d_transaction tx(&o.env);
      for (int pair = 0; pair < 2; ++pair) {
        std::uint64_t const k = rng() % keys;
        spread.put(k, i);
        model[k] = i;
      }
      tx.commit();
    }
    long long const calls = o.env.stream->counts().calls - calls_before;
    published_state const s = shared_state(name);
    EXPECT_LT(s.commits - s.checkpoint, 64u) << "the batches stayed in the journal";
    EXPECT_LE(calls, commits / 8) << "a write per range the batch's records changed";
  }
  idle.reset();
  opening o(name, options_for(mode));
  numbers spread("spread", &o.env);
  std::size_t agree = 0;
  for (auto const& [k, v] : model) {
    std::int64_t got = -1;
    agree += spread.get(k, got) && got == v;
  }
  EXPECT_EQ(agree, model.size());
}

// An opening that read outside any transaction and rests holds a batch's checkpoint back
// (what it read in place stays as it read it), but a writer whose journal reaches its
// bound passes it; the opening's next read shows the latest commit.
TEST_P(InEachMode, AnOpeningRestingAfterAReadHoldsBackNoMoreThanTheJournalsBound) {
  opening idle(name, options_for(mode)), batch(name, options_for(mode));
  unsigned const before = value_at(idle.map, commits_key);
  ASSERT_NE(before, none);
  published_state const read_at = shared_state(name);
  std::mt19937 rng(8);
  for (int i = 0; i < 100; ++i) transfer(batch, rng);
  EXPECT_LE(shared_state(name).checkpoint, read_at.commits) << "a batch passed the resting reader";
  opening o(name, short_journal(mode));
  EXPECT_LT(longest_log(name, o, rng), 4096 + 2048) << "the resting reader held the journal back";
  EXPECT_GT(shared_state(name).generation, read_at.generation)
      << "the journal never started afresh";
  EXPECT_EQ(value_at(idle.map, commits_key), before + 400);
  EXPECT_EQ(total_of(idle), opening_total);
}

// Whether this system lets a process ask for a barrier in the running threads of others
// (those that pin a resting snapshot again without a fence, lock_file.h).
bool barriers_offered() {
  long const offered = ::syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
  return offered > 0 && (offered & MEMBARRIER_CMD_GLOBAL_EXPEDITED) != 0;
}

// From now on this process is refused that barrier (EPERM), as a filter on its system
// calls may refuse it; false when the filter cannot be set.
bool refuse_barriers() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_membarrier, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// An opening resting after a read pins again without a fence where the system offers the
// barrier; a writer the system refuses it to must then pass that snapshot no more than a
// pinned one, however far its journal outgrows the bound, and the opening's next read still
// shows the latest commit.
TEST_P(InEachMode, AWriterRefusedTheBarrierPassesNoReaderRestingWithoutAFence) {
  if (!barriers_offered()) GTEST_SKIP() << "the system offers no barrier in others' threads";
  opening idle(name, options_for(mode)), beside(name, options_for(mode));  // idle is not alone
  unsigned const before = value_at(idle.map, commits_key);
  ASSERT_NE(before, none);
  published_state const read_at = shared_state(name);
  test_support::child_processes kids;
  int const status = kids.run([&] {
    if (!refuse_barriers()) return 2;
    opening o(name, short_journal(mode));
    std::mt19937 rng(9);
    for (int i = 0; i < 300; ++i) transfer(o, rng);
    return 0;
  });
  ASSERT_EQ(status, 0);
  published_state const now = shared_state(name);
  EXPECT_LE(now.checkpoint, read_at.commits) << "a checkpoint passed the resting reader";
  EXPECT_GT(now.log_end, 4 * 4096) << "the journal started afresh under the resting reader";
  EXPECT_EQ(value_at(idle.map, commits_key), before + 300);
  EXPECT_EQ(total_of(idle), opening_total);
}

// The first opening takes turns once another asked to join, even one that gave up; its
// commits then wait in the journal (a tool reading the file holds the checkpoint back).
// The next opening must find them there, not take the file for the whole database.
TEST_P(InEachMode, CommitsTheFirstOpeningMadeBeforeTheJoinAreKept) {
  opening first(name, options_for(mode));
  {
    d_transaction tx(&first.env);
    first.map.put(commits_key, 1);
    d_env gave_up{};
    EXPECT_EQ(test_support::thrown_by(
                  [&] { open_database_scoped(name, &gave_up, options_for(mode, 50ms)); }),
              "database is busy...");
    tx.commit();
  }
  {
    publish_pause pause(name + ".odb");
    d_transaction tx(&first.env);
    first.map.put(commits_key, 2);
    tx.commit();
  }
  opening second(name, options_for(mode));
  EXPECT_EQ(value_at(second.map, commits_key), 2u) << "the commit in the journal was dropped";
}

// An opening closed inside its transaction while another thread's opening waits to join. The
// closing one took the gate before it let go of the writer's turn, which the joiner, holding
// the gate, waited for: both waited until the joiner gave up busy. The close rolls back and
// lets the turn go first, so the joiner opens at once and never sees the change.
TEST_P(InEachMode, AnOpeningClosedInsideItsTransactionKeepsNoJoinerWaiting) {
  for (bool alone : {true, false}) {
    SCOPED_TRACE(alone ? "closed alone" : "closed beside another opening");
    accounts_db fresh;
    std::string const& name = fresh.name;
    std::optional<opening> other;
    if (!alone) other.emplace(name, options_for(mode));
    auto closing = std::make_unique<opening>(name, options_for(mode));
    auto tx = std::make_unique<d_transaction>(&closing->env);
    closing->map.put(0, 0);
    unsigned seen = none;
    std::string thrown = "never ran";
    auto const start = steady::now();
    std::thread joiner([&] {
      thrown = thrown_by([&] {
        opening o(name, options_for(mode, 3000ms));
        seen = value_at(o.map, 0);
      });
    });
    std::this_thread::sleep_for(200ms);  // the joiner waits for the turn now
    closing.reset();
    auto const closed_after = steady::now() - start;
    joiner.join();
    tx.reset();
    EXPECT_LT(closed_after, 1s) << "the close waited for the joiner";
    EXPECT_EQ(thrown, "");
    EXPECT_EQ(seen, opening_balance) << "the joiner saw the rolled back change";
    other.reset();
    EXPECT_TRUE(check_database_file(name + ".odb").empty());
  }
}

// A thread with two openings closes the idle one while the other is inside its transaction
// and another thread's opening waits to join. The close waited at the gate, which the joiner
// held while it waited for that transaction: the thread stood still until the joiner gave up
// busy. The opening that stays makes the closing one not the last; it leaves without waiting.
TEST_P(InEachMode, AnIdleOpeningClosedBesideItsThreadsTransactionKeepsNoJoinerWaiting) {
  opening writing(name, options_for(mode));
  auto idle = std::make_unique<opening>(name, options_for(mode));
  auto tx = std::make_unique<d_transaction>(&writing.env);
  writing.map.put(0, 0);
  unsigned seen = none;
  std::string thrown = "never ran";
  std::thread joiner([&] {
    thrown = thrown_by([&] {
      opening o(name, options_for(mode, 3000ms));
      seen = value_at(o.map, 0);
    });
  });
  std::this_thread::sleep_for(200ms);  // the joiner waits for the turn now
  auto const start = steady::now();
  idle.reset();
  auto const closed_after = steady::now() - start;
  tx->commit();
  joiner.join();
  tx.reset();
  EXPECT_LT(closed_after, 1s) << "the close waited for the joiner";
  EXPECT_EQ(thrown, "");
  EXPECT_EQ(seen, 0u) << "the joiner missed the commit";
  EXPECT_EQ(total_of(writing), opening_total - opening_balance);
}

// An opening maps the file before it meets the others in the lock file, and may wait
// there while the last of them writes on and goes. It must see the file as that one left
// it, not as mapped: before, it took the new end for a bad header, or would have written
// over the commits past the end it knew.
TEST_P(InEachMode, AnOpeningThatWaitedToJoinSeesWhatTheLastOneWroteMeanwhile) {
  constexpr unsigned added = 3000;
  test_support::signal_pipe ready, go;
  test_support::child_processes kids;
  pid_t const pid = kids.start([&] {
    opening o(name, options_for(mode));
    if (!ready.say() || !go.heard()) return 1;
    for (unsigned k = 0; k < added; ++k) o.map.put(accounts + 1 + k, k);
    if (!ready.say()) return 1;
    for (;;) ::pause();
  });
  ready.close_writer();  // a child that ends early ends the waits below
  ASSERT_TRUE(ready.heard());
  // Holding the gate (byte 0 of the lock file) keeps the next opening there, file mapped.
  int const lock_fd = ::open(lock_file_of(name + ".odb").c_str(), O_RDWR);
  ASSERT_GE(lock_fd, 0);
  struct flock gate {};
  gate.l_type = F_WRLCK;
  gate.l_whence = SEEK_SET;
  gate.l_len = 1;
  ASSERT_EQ(::fcntl(lock_fd, F_OFD_SETLKW, &gate), 0);
  std::string thrown = "never ran";
  std::size_t seen = 0;
  std::thread opener([&] {
    thrown = test_support::thrown_by([&] {
      opening o(name, options_for(mode));
      for (unsigned k = 0; k < added; ++k) seen += value_at(o.map, accounts + 1 + k) == k;
    });
  });
  std::this_thread::sleep_for(200ms);  // the opener waits at the gate now
  bool const added_all = go.say() && ready.heard();
  kids.kill(pid);
  ::close(lock_fd);  // lets the gate go
  opener.join();
  EXPECT_TRUE(added_all) << "the child ended before it added its keys";
  EXPECT_EQ(thrown, "");
  EXPECT_EQ(seen, added);
  EXPECT_TRUE(check_database_file(name + ".odb").empty());
}

TEST_P(InEachMode, ALongReaderKeepsItsSnapshotAndHoldsNobodyUp) {
  test_support::child_processes kids;
  test_support::signal_pipe ready, go;
  pid_t const pid = kids.start([&] {
    opening o(name, short_journal(mode));
    std::mt19937 rng(5);
    transfer(o, rng);
    if (!ready.say() || !go.heard()) return 2;
    for (int i = 0; i < 100; ++i) transfer(o, rng);
    return 0;
  });
  ready.close_writer();
  ASSERT_TRUE(ready.heard());
  // Opened now, the view is the file itself, so a checkpoint passing the snapshot shows.
  opening o(name, short_journal(mode));
  auto rt = std::make_unique<d_read_transaction>(&o.env);
  std::vector<unsigned> const seen = balances(o.map);
  std::vector<char> const seen_bytes = test_support::data_of(o.db.get());
  published_state const pinned = shared_state(name);
  ASSERT_TRUE(go.say());
  EXPECT_EQ(kids.wait(pid, steady::now() + 10s), 0) << "the writer was held up";
  EXPECT_TRUE(test_support::data_of(o.db.get()) == seen_bytes) << "the snapshot changed";
  published_state const during = shared_state(name);
  EXPECT_EQ(during.commits, pinned.commits + 100);
  EXPECT_LE(during.checkpoint, pinned.commits) << "a checkpoint passed the pinned snapshot";
  EXPECT_GT(during.log_end, 4096);
  EXPECT_EQ(during.generation, pinned.generation) << "the journal restarted under the reader";
  rt.reset();
  EXPECT_EQ(balances(o.map)[commits_key], seen[commits_key] + 100);
  std::mt19937 rng(6);
  transfer(o, rng);
  published_state const after = shared_state(name);
  EXPECT_EQ(after.checkpoint, after.commits);
  EXPECT_GT(after.generation, pinned.generation) << "the journal never started afresh";
  EXPECT_EQ(total_of(o), opening_total);
}

// A read transaction holds its snapshot while another opening commits and keeps nobody
// out, even begun alone. A change inside it is made and seen while the snapshot is the
// latest commit, busy once another committed since (a transfer that read the old balance
// must not overwrite the newer one), and made after it ends.
TEST_P(InEachMode, AReadTransactionKeepsItsSnapshotAndNobodyOutAndItsStaleChangesAreBusy) {
  unsigned const noted_key = commits_key + 1;  // no account
  for (bool alone : {true, false}) {
    SCOPED_TRACE(alone ? "begun alone" : "begun beside another opening");
    accounts_db fresh;
    std::string const& name = fresh.name;
    auto a = std::make_unique<opening>(name, short_journal(mode));
    std::optional<opening> b;
    if (!alone) b.emplace(name, options_for(mode, 100ms));
    {
      d_read_transaction rt(&a->env);
      a->map.put(noted_key, 7);
      EXPECT_EQ(value_at(a->map, noted_key), 7u) << "a change of the latest commit is not seen";
      std::vector<unsigned> const seen = balances(a->map);
      auto const start = steady::now();
      if (alone) b.emplace(name, options_for(mode, 2000ms));
      EXPECT_LT(steady::now() - start, 1s) << "the read transaction kept the other opening out";
      std::mt19937 rng(3);
      for (int i = 0; i < 200; ++i) transfer(*b, rng);  // past the journal's bound
      EXPECT_TRUE(balances(a->map) == seen) << "the snapshot moved";
      EXPECT_EQ(test_support::code_thrown_by([&] { a->map.put(0, 1); }), errc::busy);
      EXPECT_EQ(test_support::code_thrown_by([&] { d_transaction tx(&a->env); }), errc::busy);
      EXPECT_TRUE(balances(a->map) == seen) << "a busy change moved the snapshot";
    }
    EXPECT_EQ(balances(a->map)[commits_key], 200u);
    a->map.put(noted_key, 8);
    EXPECT_EQ(value_at(b->map, noted_key), 8u);
    EXPECT_EQ(total_of(*b), opening_total);
    a.reset();
    b.reset();
    EXPECT_TRUE(check_database_file(name + ".odb").empty());
  }
}

// A read transaction begun inside its opening's own write transaction reads on, once that
// ends, from what it left: the commit, or after a rollback the commit before. Another
// opening's commits, copied into the file at once, stay out of it (before, its slot pinned
// nothing, and they showed as soon as they reached the file).
TEST_P(InEachMode, AReadTransactionBegunInsideAWriteKeepsWhatTheWriteLeft) {
  d_open_options checkpointing = options_for(mode);
  checkpointing.checkpoint_bytes = 1;  // every commit is copied in at once, when it may be
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "committed" : "rolled back");
    accounts_db fresh;
    opening a(fresh.name, checkpointing), b(fresh.name, checkpointing);
    d_var<long> noted_a("noted", &a.env), noted_b("noted", &b.env);
    noted_a = 1;
    EXPECT_EQ(static_cast<long>(noted_b), 1);
    {
      auto tx = std::make_unique<d_transaction>(&a.env);
      noted_a = 5;
      d_read_transaction rt(&a.env);
      if (keep) tx->commit();
      tx.reset();
      long const seen = keep ? 5 : 1;
      EXPECT_EQ(static_cast<long>(noted_a), seen);
      std::vector<char> const seen_bytes = test_support::data_of(a.db.get());
      for (long i = 0; i < 50; ++i) noted_b = 100 + i;
      EXPECT_EQ(static_cast<long>(noted_a), seen) << "the snapshot moved";
      EXPECT_TRUE(test_support::data_of(a.db.get()) == seen_bytes) << "the snapshot changed";
    }
    EXPECT_EQ(static_cast<long>(noted_a), 149);
  }
}

// An iterator copies the node it stands on. Its own opening's changes, and another that
// joins without committing, leave a walk alone; once another has committed, a step or a
// look is busy (before, it read on into nodes that had moved and told of a corrupt file).
// Inside a read transaction the walk sees its snapshot to the end.
TEST_P(InEachMode, AnIteratorIsStaleOnceAnotherOpeningCommitsExceptInAReadTransaction) {
  using words = d_hashmap<std::uint64_t, std::string>;
  using lines = d_list<std::string>;
  auto a = std::make_unique<opening>(name, options_for(mode));
  words wa("words", &a->env);
  lines la("lines", &a->env);
  d_hashmap<std::uint64_t, std::uint64_t> slots("slots", &a->env);
  for (std::uint64_t k = 0; k < 50; ++k) {
    wa.put(k, std::string(40, 'w'));
    slots.put(k, k);
  }
  for (int i = 0; i < 10; ++i) la.push_back(std::string(40, 'a' + i));
  auto it = a->map.begin();
  auto wit = wa.begin();
  auto lit = la.begin();
  auto sit = slots.begin();
  a->map.put(commits_key + 1, 1);
  opening b(name, options_for(mode));
  words wb("words", &b.env);
  lines lb("lines", &b.env);
  for (int i = 0; i < 3; ++i) ++it, ++wit, ++lit;
  EXPECT_EQ(it->key, 3u);
  EXPECT_EQ(*lit, std::string(40, 'd'));
  b.map.put(0, opening_balance + 1);
  lb.pop_front();
  std::function<void()> const stale_uses[] = {[&] { ++it; }, [&] { (void)it->value; },
                                               [&] { ++wit; }, [&] { ++sit; },
                                               [&] { (void)*lit; }, [&] { la.erase(lit); }};
  for (auto const& use : stale_uses)
    EXPECT_EQ(test_support::code_thrown_by(use), errc::busy) << "use " << &use - stale_uses;
  EXPECT_EQ(la.size(), 9u);
  {
    d_read_transaction rt(&a->env);
    unsigned walked = 0;
    for (auto i = a->map.begin(); i != a->map.end(); ++i, ++walked) {
      if (walked % 10 == 0) b.map.put(commits_key + 2 + walked, walked);
    }
    EXPECT_EQ(walked, accounts + 2);
    std::size_t words_walked = 0;
    for (auto i = wa.begin(); i != wa.end(); ++i, ++words_walked) wb.erase(i->first);
    EXPECT_EQ(words_walked, 50u);
  }
  EXPECT_EQ(wa.size(), 0u);
  EXPECT_EQ(a->map.size(), accounts + 2 + 11);
}

// Two openings, each with an ordered and a hashed map from words to V.
template <class V>
struct maps_in_two_openings {
  maps_in_two_openings(std::string const& name, d_journal mode)
      : a(name, options_for(mode)), b(name, options_for(mode)) {}
  opening a, b;
  d_map<std::string, V> ia{"index", &a.env}, ib{"index", &b.env};
  d_hashmap<std::string, V> ha{"hashed", &a.env}, hb{"hashed", &b.env};
  // b erases "word" from both maps and gives the key "other" a value holding x, which may
  // take the freed blocks.
  template <class T>
  void erase_word_and_add_other(T const& x) {
    ib.erase("word");
    hb.erase("word");
    ib["other"].push_back(x);
    hb["other"].push_back(x);
  }
  // Both of a's maps give x at "other".
  template <class T>
  void expect_other_holds(std::vector<T> const& x) {
    for (V other : {ia["other"], ha["other"]}) {
      EXPECT_EQ(std::vector<T>(other.begin(), other.end()), x);
    }
  }
};

// After others' commits a typed map keeps the node objects they left alone and reads again
// the ones they changed. A writer's commits (puts that split nodes, updates, erases; one at a
// time or dozens, more than the stream names) are checked from another opening's map, by
// lookups, its size and a walk, against a std::map; that opening also changes the map
// itself and rolls a change back, and the log starts afresh now and then.
TEST_P(InEachMode, AMapFollowingOthersCommitsAgreesWithThemWhateverItCached) {
  using numbers = d_map<std::uint64_t, std::int64_t>;
  d_open_options o = options_for(mode);
  o.checkpoint_bytes = 64 << 10;
  d_env we{}, re{};
  scoped_database w = open_database_scoped(name, &we, o);
  numbers wm("numbers", &we);
  scoped_database r = open_database_scoped(name, &re, o);
  numbers rm("numbers", &re);
  std::map<std::uint64_t, std::int64_t> model;
  std::uint64_t const seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  constexpr std::uint64_t keys = 3000;
  // What the map shows for key k where the model disagrees; "" where they agree.
  auto const misread = [&](std::uint64_t k) -> std::string {
    std::int64_t v = -1;
    auto const at = model.find(k);
    bool const found = rm.get(k, v);
    std::string const key = "key " + std::to_string(k);
    if (found != (at != model.end())) return key + (found ? " found" : " missing");
    if (found && v != at->second) return key + ": " + std::to_string(v);
    return "";
  };
  for (int round = 0; round < 1000; ++round) {
    // Every third round only changes values: the map's size and header stay, and only
    // the nodes tell what changed.
    bool const values_only = round % 3 == 1 && !model.empty();
    int const commits = rng() % 4 == 0 ? 1 + static_cast<int>(rng() % (values_only ? 100 : 40)) : 1;
    for (int c = 0; c < commits; ++c) {
      d_transaction tx(&we);
      for (int ops = 1 + static_cast<int>(rng() % 3); ops > 0; --ops) {
        std::uint64_t k = rng() % keys;
        auto const v = static_cast<std::int64_t>(rng() % 1000000);
        if (values_only) {
          auto const at = model.lower_bound(k);
          k = at == model.end() ? model.begin()->first : at->first;
          wm.put(k, v);
          model[k] = v;
        } else if (rng() % 5 == 0) {
          wm.erase(k);
          model.erase(k);
        } else {
          wm.put(k, v);
          model[k] = v;
        }
      }
      tx.commit();
    }
    for (int i = 0; i < 50; ++i) ASSERT_EQ(misread(rng() % keys), "") << "round " << round;
    if (round % 10 == 0 || commits > 20) {
      for (std::uint64_t k = 0; k < keys; ++k) ASSERT_EQ(misread(k), "") << "round " << round;
      ASSERT_EQ(rm.size(), model.size()) << "round " << round;
      auto at = model.begin();
      for (auto const& e : rm) {
        ASSERT_TRUE(at != model.end()) << "round " << round;
        ASSERT_EQ(e.key, at->first) << "round " << round;
        ASSERT_EQ(e.value, at->second) << "round " << round;
        ++at;
      }
      ASSERT_TRUE(at == model.end()) << "round " << round;
    }
    if (round % 7 == 3) {
      std::uint64_t const k = rng() % keys;
      rm.put(k, -round);
      model[k] = -round;
    }
    if (round % 11 == 5) {
      d_transaction tx(&re);
      rm.put(rng() % keys, -1);
      rm.erase(rng() % keys);
      tx.rollback();
    }
  }
}

// A list taken from a map is named by its handle block, which another opening's erase of
// the key frees for reuse. After another's commits the object asks its map again: it goes
// on while its key stays, and is refused once the key went, at every use from then on
// (before, it wrote into the list that took over its blocks; then, its second use did).
TEST_P(InEachMode, AListTakenFromAMapIsRefusedOnceAnotherOpeningErasedItsKey) {
  using lines = std::vector<std::string>;
  maps_in_two_openings<d_list<std::string>> m(name, mode);
  d_list<std::string> word = m.ia["word"], hashed_word = m.ha["word"];
  for (auto* l : {&word, &hashed_word}) l->push_back("doc1");
  m.ib["word"].push_back("doc2");
  m.hb["word"].push_back("doc2");
  for (auto* l : {&word, &hashed_word}) {
    l->push_back("doc3");
    EXPECT_EQ(lines(l->begin(), l->end()), (lines{"doc1", "doc2", "doc3"}));
  }
  m.erase_word_and_add_other(std::string("docX"));
  for (auto* l : {&word, &hashed_word}) {
    for (int use = 0; use < 2; ++use) {
      EXPECT_EQ(test_support::code_thrown_by([&] { l->push_back("doc4"); }), errc::out_of_range)
          << "use " << use;
    }
  }
  m.expect_other_holds(lines{"docX"});
}

// The same for a vector taken from a map, and for its positions, element proxies and the
// elements read through a position (auto e = *it), which read and write through the vector's
// handle block: once another opening erased the key they are refused too (before, they read
// and wrote the vector made in the freed blocks).
TEST_P(InEachMode, AVectorTakenFromAMapAndItsPositionsAreRefusedOnceAnotherOpeningErasedItsKey) {
  using numbers = std::vector<long>;
  maps_in_two_openings<d_vector<long>> m(name, mode);
  d_vector<long> word = m.ia["word"], hashed_word = m.ha["word"];
  for (auto* v : {&word, &hashed_word}) v->push_back(1);
  auto at = word.begin(), hashed_at = hashed_word.begin();
  auto first = word[0], hashed_first = hashed_word[0];
  auto element = *word.begin(), hashed_element = *hashed_word.begin();
  m.ib["word"].push_back(2);
  m.hb["word"].push_back(2);
  for (auto* v : {&word, &hashed_word}) EXPECT_EQ(numbers(v->begin(), v->end()), (numbers{1, 2}));
  EXPECT_EQ(*at + *hashed_at, 2);
  m.erase_word_and_add_other(7L);
  std::function<void()> const uses[] = {
      [&] { word.push_back(3); },  [&] { (void)hashed_word.size(); },
      [&] { (void)long(word[0]); }, [&] { (void)long(*at); },
      [&] { *hashed_at = 5; },      [&] { (void)long(first); },
      [&] { hashed_first = 6; },    [&] { element = 8; },
      [&] { hashed_element = 9; }};
  for (int round = 0; round < 2; ++round) {
    for (auto const& use : uses) {
      EXPECT_EQ(test_support::code_thrown_by(use), errc::out_of_range)
          << "round " << round << ", use " << &use - uses;
    }
  }
  m.expect_other_holds(numbers{7});
}

// Another opening's remove_root frees the root's blocks and its directory entry, which the
// next new root takes. This opening's objects of the root (and of a list inside it) refuse
// their use once they follow that commit, as after a removal of its own: before, a variable
// read and wrote the new root's cell, and a vector took the list made in its place for
// damage. A root recreated as another kind is a removal
// too; one made afterwards by name and the roots the other left alone go on working.
TEST_P(InEachMode, ObjectsOfARootAnotherOpeningRemovedRefuseTheirUse) {
  using index = d_map<std::string, d_list<std::string>>;
  opening a(name, options_for(mode)), b(name, options_for(mode));
  d_var<long> var("var", &a.env);
  d_vector<long> vec("vec", &a.env);
  d_list<long> list("list", &a.env);
  d_hashmap<std::uint64_t, std::uint64_t> slots("slots", &a.env);
  d_hashmap<std::string, std::string> hash("hash", 8, &a.env);
  index idx("idx", &a.env);
  d_list<std::string> inner = idx["w"];
  var = 1, vec.push_back(1), list.push_back(1), slots.put(1, 1), hash.put("k", "v");
  inner.push_back("a");
  d_vector<long> kept("kept", &a.env);
  kept.push_back(1);
  for (char const* root : {"var", "vec", "list", "slots", "hash", "idx"}) {
    EXPECT_TRUE(b.db->remove_root(root)) << root;
  }
  // The new roots take the freed entries; "list" comes back as another kind.
  d_var<long> taker("taker", &b.env);
  taker = 7;
  d_list<long> other("other", &b.env);
  other.push_back(8);
  d_vector<long> list_again("list", &b.env);
  list_again.push_back(9);
  std::string const removed = "container was removed with its root: make it again...";
  std::function<void()> const uses[] = {
      [&] { (void)var.get_data(); }, [&] { var = 2; }, [&] { (void)vec.size(); },
      [&] { vec.push_back(2); }, [&] { (void)list.size(); }, [&] { list.push_back(2); },
      [&] { slots.put(2, 2); }, [&] { (void)hash.size(); }, [&] { idx["w"]; }};
  for (auto const& use : uses) EXPECT_EQ(thrown_by(use), removed) << "use " << &use - uses;
  // The inner list asks its map again, which is no more.
  EXPECT_EQ(test_support::code_thrown_by([&] { inner.push_back("b"); }), errc::out_of_range);
  EXPECT_EQ(d_var<long>("taker", &a.env).get_data(), 7);
  d_vector<long> list_anew("list", &a.env);
  list_anew.push_back(10);
  EXPECT_EQ(std::vector<long>(list_anew.begin(), list_anew.end()), (std::vector<long>{9, 10}));
  EXPECT_EQ(std::vector<long>(other.begin(), other.end()), std::vector<long>{8});
  kept.push_back(2);
  EXPECT_EQ(value_at(a.map, 0), opening_balance);
  EXPECT_EQ(taker.get_data(), 7);
  // Blocks no root owns are counted once every root has a kind.
  a.db->record_kind("accounts", "map<unsigned,unsigned>");
  b.db.reset();
  a.db.reset();
  EXPECT_TRUE(test_support::checks_clean(name + ".odb"));
}

// A list made at a root while another opening removes that root, over and over. When the
// removal comes between the root's attaching and the list's making, the list is refused; it
// is never made under the free entry, where no root owns its blocks (before, most runs
// leaked some).
TEST_P(InEachMode, ListsMadeWhileAnotherOpeningRemovesTheirRootLeaveNoBlockBehind) {
  long refused = 0;
  auto const remove = [](d_env&, scoped_database& db) { db->remove_root("r"); };
  EXPECT_EQ(beside_a_thread(name, mode, remove, [&] {
              opening o(name, options_for(mode, 20000ms));
              for (long i = 0; i < 20000; ++i) {
                try {
                  d_list<long> l("r", &o.env);
                  l.push_back(i);
                } catch (error const& e) {
                  if (e.code() != errc::out_of_range && e.code() != errc::rolled_back) throw;
                  ++refused;
                }
              }
              o.db->record_kind("accounts", "map<unsigned,unsigned>");
            }),
            "");
  EXPECT_TRUE(test_support::checks_clean(name + ".odb")) << refused << " lists refused";
}

// Containers of a map added to while another opening removes the map's root, over and over.
// The key's container may be found in a read, before the removal is followed, and added to
// once the writer's turn has caught up with it: the write went into the freed blocks, which
// no root owned then, and the next look failed with "no root "x" in the database...". Now it
// is refused as removed, and nothing is damaged. Each kind of map whose values are containers.
TEST_P(InEachMode, ContainersOfAMapAddedToWhileAnotherOpeningRemovesTheMapLeaveNoBlockBehind) {
  std::vector<std::pair<char const*, std::function<void(d_env&, int)>>> const kinds = {
      {"map of lists",
       [](d_env& e, int k) {
         d_map<std::string, d_list<long>> m("x", &e);
         m[std::to_string(k)].push_back(1);
       }},
      {"hash map of lists",
       [](d_env& e, int k) {
         d_hashmap<std::uint64_t, d_list<long>> m("x", &e);
         m[std::uint64_t(k)].push_back(1);
       }},
      {"map of vectors",
       [](d_env& e, int k) {
         d_map<std::uint64_t, d_vector<long>> m("x", &e);
         m[std::uint64_t(k)].push_back(1);
       }},
  };
  for (auto const& row : kinds) {
    SCOPED_TRACE(row.first);
    auto const& add = row.second;
    accounts_db fresh;
    long refused = 0;
    auto const remove = [](d_env&, scoped_database& db) { db->remove_root("x"); };
    EXPECT_EQ(beside_a_thread(fresh.name, mode, remove, [&] {
                opening o(fresh.name, options_for(mode, 20000ms));
                for (auto const until = steady::now() + 2s; steady::now() < until;) {
                  for (int k = 0; k < 3; ++k) {
                    try {
                      add(o.env, k);
                    } catch (error const& e) {
                      std::string const what = e.what();
                      bool const refusal = what.find("was removed") != std::string::npos ||
                                           what.rfind("database is busy", 0) == 0;
                      if (!refusal) throw;
                      ++refused;
                    }
                  }
                }
                o.db->record_kind("accounts", "map<unsigned,unsigned>");
              }),
              "");
    EXPECT_TRUE(test_support::checks_clean(fresh.name + ".odb")) << refused << " refused";
  }
}

// A map's lists added to by an opening that works alone, when another opening joins it and
// removes the map. An opening alone reads on no pin: the join lands between two of its
// operations, and the next one follows the joiner's commits. When that was the attaching of
// the list the map's look had just found, the list was read from the freed blocks as current,
// and the push wrote its node and value there, which no root owned. Many short rounds, a
// join in each; the removal is refused as such, and no round leaves a block behind.
TEST_P(InEachMode, ListsOfAMapAddedToAsAnotherOpeningJoinsAndRemovesTheMapLeaveNoBlockBehind) {
  test_support::scratch_dir dir{memory_dir};
  int rounds = 0;
  for (auto const until = steady::now() + 2s; steady::now() < until; ++rounds) {
    std::string const round = dir.file("round" + std::to_string(rounds));
    ASSERT_TRUE(create_database(round, nullptr));
    std::atomic<bool> removed{false};
    std::string failed;
    {
      d_env env{};
      scoped_database db = open_database_scoped(round, &env, options_for(mode, 20000ms));
      d_map<std::string, d_list<long>>("x", &env)["0"].push_back(0);
      std::thread joiner([&] {
        failed = thrown_by([&] {
          d_env e{};
          scoped_database other = open_database_scoped(round, &e, options_for(mode, 20000ms));
          other->remove_root("x");
        });
        removed = true;
      });
      failed += thrown_by([&] {
        for (int after = 0; after < 3; after += removed ? 1 : 0) {
          for (int k = 0; k < 3; ++k) {
            try {
              d_map<std::string, d_list<long>> m("x", &env);
              m[std::to_string(k)].push_back(k);
            } catch (error const& e) {
              if (std::string(e.what()).find("was removed") == std::string::npos) throw;
            }
          }
        }
      });
      joiner.join();
    }
    ASSERT_EQ(failed, "") << "round " << rounds;
    ASSERT_TRUE(test_support::checks_clean(round + ".odb")) << "round " << rounds;
  }
}

// Attaching an object to a root that holds its container is a read. It took the writer's
// turn all the same: it waited for another opening's write transaction (at once busy when
// that one was the same thread's), and inside a read transaction that others had passed it
// was busy, so a reader could not open its containers. Each kind, by name as it is and with
// d_root::existing, beside a write transaction and inside a passed read transaction.
TEST_P(InEachMode, AttachingAnExistingRootIsAReadThatWaitsForNoWriter) {
  opening a(name, options_for(mode, 100ms)), b(name, options_for(mode, 100ms));
  {
    d_vector<long>("vec", &a.env).push_back(1);
    d_list<long>("list", &a.env).push_back(2);
    d_hashmap<std::string, std::string>("hash", &a.env).put("k", "3");
    d_hashmap<std::uint64_t, std::uint64_t>("slots", &a.env).put(1, 4);
    d_map<std::string, long>("typed", &a.env).put("k", 5);
    d_var<long>("var", &a.env) = 6;
  }
  // What each kind holds, read through a new object attached by name in mode m.
  using reader = std::function<long(d_root)>;
  std::vector<std::pair<char const*, reader>> const kinds = {
      {"vector", [&](d_root m) { return long(d_vector<long>("vec", &a.env, m)[0]); }},
      {"list", [&](d_root m) { return d_list<long>("list", &a.env, m).front(); }},
      {"hash map",
       [&](d_root m) {
         return std::stol(d_hashmap<std::string, std::string>("hash", &a.env, m).at("k"));
       }},
      {"slot table",
       [&](d_root m) {
         return long(d_hashmap<std::uint64_t, std::uint64_t>("slots", &a.env, m).at(1));
       }},
      {"typed map", [&](d_root m) { return d_map<std::string, long>("typed", &a.env, m).at("k"); }},
      {"ordered map",
       [&](d_root m) {
         int_map map("accounts", &a.env, m);
         return long(value_at(map, 0));
       }},
      {"variable", [&](d_root m) { return d_var<long>("var", &a.env, m).get_data(); }},
  };
  std::vector<long> const held = {1, 2, 3, 4, 5, opening_balance, 6};
  auto const attach_each = [&](char const* when) {
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      for (d_root m : {d_root::open_or_create, d_root::existing}) {
        SCOPED_TRACE(std::string(kinds[k].first) + ", " + when);
        long got = -1;
        EXPECT_EQ(thrown_by([&] { got = kinds[k].second(m); }), "");
        EXPECT_EQ(got, held[k]);
      }
    }
  };
  {
    d_transaction tx(&b.env);
    b.map.put(0, 1);
    attach_each("beside another opening's write transaction");
    tx.commit();
  }
  b.map.put(0, opening_balance);
  {
    d_read_transaction rt(&a.env);
    (void)value_at(a.map, 0);
    b.map.put(0, 7);
    attach_each("in a read transaction another opening's commit passed");
  }
  EXPECT_EQ(value_at(a.map, 0), 7u);
}

// An object attaches in two steps: it finds its root by name, then reads what the root's slot
// holds. Another opening may commit in between: remove the root, and give its entry to a root
// of another kind, or make it again by name, in a commit of its own, before its container.
// The object read the other kind's records as its own ("corrupt database file...",
// a slot table's "not a slot table..."), and a read-only one took the root made again for
// one to make ("database is read-only..."). Now the object is refused as removed, or finds
// the root as one commit left it, with its container. Each kind, in a writing and a
// read-only opening, while another thread removes and makes the root again and again.
TEST_P(InEachMode, AnObjectAttachingAsAnotherOpeningRemovesItsRootIsRefusedNotMisled) {
  // Each kind's root "r", made (or added to) by name, and attached to and read.
  struct kind {
    char const* name;
    std::function<void(d_env&)> make;
    std::function<std::size_t(d_env&)> look;
  };
  std::vector<kind> const kinds = {
      {"vector", [](d_env& e) { d_vector<long>("r", &e).push_back(1); },
       [](d_env& e) { return d_vector<long>("r", &e, d_root::existing).size(); }},
      {"list", [](d_env& e) { d_list<long>("r", &e).push_back(1); },
       [](d_env& e) { return d_list<long>("r", &e, d_root::existing).size(); }},
      {"hash map", [](d_env& e) { d_hashmap<std::string, long>("r", &e).put("k", 1); },
       [](d_env& e) { return d_hashmap<std::string, long>("r", &e, d_root::existing).size(); }},
      {"slot table", [](d_env& e) { d_hashmap<std::uint64_t, long>("r", &e).put(1, 1); },
       [](d_env& e) { return d_hashmap<std::uint64_t, long>("r", &e, d_root::existing).size(); }},
      {"typed map", [](d_env& e) { d_map<std::uint64_t, long>("r", &e).put(1, 1); },
       [](d_env& e) { return d_map<std::uint64_t, long>("r", &e, d_root::existing).size(); }},
  };
  for (kind const& k : kinds) {
    for (bool read_only : {false, true}) {
      SCOPED_TRACE(std::string(k.name) + (read_only ? ", read-only" : ", writing"));
      accounts_db fresh;
      auto const remake = [&](d_env& env, scoped_database& db) {
        db->remove_root("r");
        d_list<long>("taker", &env).push_back(2);  // takes the entry "r" had
        db->remove_root("taker");
        k.make(env);
      };
      long attached = 0;
      EXPECT_EQ(beside_a_thread(fresh.name, mode, remake, [&] {
                  opening o(fresh.name, read_only ? reading() : options_for(mode, 20000ms));
                  for (auto const until = steady::now() + 500ms; steady::now() < until;) {
                    try {
                      attached += k.look(o.env) == 1;
                    } catch (error const& e) {
                      // Gone meanwhile: no root by that name, or removed.
                      if (e.code() != errc::out_of_range) throw;
                    }
                  }
                }),
                "")
          << attached << " attached";
      EXPECT_TRUE(check_database_file(fresh.name + ".odb").empty());
    }
  }
}

// A reader holds the checkpoint back while it lives; killed inside its read
// transaction, its slot is found dead by its process id and holds nothing.
TEST_F(ManyProcesses, AReaderKilledInsideItsSnapshotHoldsNothingBack) {
  opening o(name, short_journal(d_journal::atomic));
  test_support::child_processes kids;
  pid_t const pid = kids.start_held([&](auto const& hold) {
    d_env e{};
    scoped_database d = open_database_scoped(name, &e);
    d_read_transaction rt(&e);
    hold();
  });
  ASSERT_GT(pid, 0);
  published_state const pinned = shared_state(name);
  std::mt19937 rng(7);
  for (int i = 0; i < 20; ++i) transfer(o, rng);
  EXPECT_LE(shared_state(name).checkpoint, pinned.commits) << "the live reader held nothing back";
  kids.kill(pid);
  // A writer asks whether a reader it found alive still is once in 100 ms.
  std::this_thread::sleep_for(150ms);
  for (int i = 0; i < 20; ++i) transfer(o, rng);
  published_state const after = shared_state(name);
  EXPECT_EQ(after.checkpoint, after.commits) << "the dead reader still holds the checkpoint";
  EXPECT_GT(after.generation, pinned.generation) << "the journal never started afresh";
  EXPECT_EQ(total_of(o), opening_total);
}

// A child of fork inherits the parent's openings and locks: closing one there took the parent's
// gate for good, and every other opening then hung at its next opening or close. The child lets go
// of it without touching the parent's locks, slot or journal, and refuses to use it.
TEST_F(ManyProcesses, AChildOfForkClosesWhatItInheritedAndLeavesTheParentsLocksAlone) {
  opening o(name);
  auto const in_own_opening = [&](unsigned seed) {
    opening own(name);
    std::mt19937 rng(seed);
    for (int i = 0; i < 20; ++i) transfer(own, rng);
  };
  test_support::child_processes kids;
  int const first = kids.run([&] {
    bool const refused = test_support::code_thrown_by([&] { o.map.put(0, 1); }) == errc::closed;
    o.db.reset();
    in_own_opening(1);
    return refused ? 0 : 1;
  }, 10s);
  EXPECT_EQ(first, 0) << "the child used its parent's opening, or hung";
  std::mt19937 rng(2);
  for (int i = 0; i < 20; ++i) transfer(o, rng);
  int const second = kids.run([&] { in_own_opening(3); return 0; }, 10s);
  EXPECT_EQ(second, 0) << "a later opening hung";
  EXPECT_EQ(total_of(o), opening_total);
  o.db.reset();
  EXPECT_TRUE(check_database_file(name + ".odb").empty());
}

// A child of fork kept its parent's descriptors and mappings until it closed what it
// inherited, and they kept the parent's locks: a parent killed inside its transaction,
// whose child lived on without ever using the database, kept every other opening waiting
// until "database is busy...".
TEST_P(InEachMode, AParentKilledInsideItsTransactionBlocksNobodyWhileItsChildLivesOn) {
  // The child that lives on passes to this process when its parent dies, to be reaped here.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  void* const shared =
      ::mmap(nullptr, sizeof(pid_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* const lives_on = static_cast<pid_t*>(shared);
  test_support::signal_pipe release;
  test_support::child_processes kids;
  *lives_on = 0;
  pid_t const pid = kids.start_held([&](auto const& hold) {
    opening o(name, options_for(mode));
    pid_t const child = ::fork();
    if (child == 0) {  // lives on idle, and ends when told or at its alarm
      ::alarm(20);
      release.heard(steady::now() + 20s);
      ::_exit(0);
    }
    *lives_on = child;
    d_transaction tx(&o.env);
    o.map.put(0, 0);
    hold();
  });
  ASSERT_GT(pid, 0);
  kids.kill(pid);
  std::string const thrown = test_support::thrown_by([&] {
    opening o(name, options_for(mode, 1000ms));
    std::mt19937 rng(1);
    transfer(o, rng);
    EXPECT_EQ(total_of(o), opening_total);
    EXPECT_EQ(value_at(o.map, commits_key), 1u);
  });
  release.say();
  if (*lives_on > 0) ::waitpid(*lives_on, nullptr, 0);
  EXPECT_EQ(thrown, "");
  ::munmap(shared, sizeof(pid_t));
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// For a few milliseconds after a process is killed the system may hold its locks still, and
// an opening then takes itself for one of several. A lock file damaged meanwhile (its state
// records wiped, its magic whole) kept such an opening reading the record in force for ever.
TEST_F(ManyProcesses, AnOpeningBesideAKilledOneOverADamagedLockFileIsRefusedNotHung) {
  std::string const lock_path = lock_file_of(name + ".odb");
  std::vector<char> lock_words;
  {
    opening o(name);
    lock_words = test_support::read_file(lock_path);
  }
  ASSERT_EQ(lock_words.size(), lock_file::file_size);
  std::fill_n(lock_words.begin() + lock_file::records_offset, 2 * lock_file::record_size, 0);
  test_support::write_file(lock_path, lock_words);
  // The presence the killed process has not let go of yet.
  int const fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock presence {};
  presence.l_type = F_RDLCK;
  presence.l_whence = SEEK_SET;
  presence.l_start = 1;
  presence.l_len = 1;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &presence), 0);
  test_support::child_processes kids;
  int const status = kids.run([&] {
    return static_cast<int>(test_support::code_thrown_by(
        [&] { opening o(name, options_for(d_journal::atomic, 500ms)); }));
  }, 10s);
  EXPECT_EQ(status, static_cast<int>(errc::io_failure))
      << "the opening hung, or opened over the damaged file";
  ::close(fd);
  opening o(name);  // alone: it makes the file afresh
  EXPECT_EQ(total_of(o), opening_total);
}

// An opening through a symbolic link in another folder took a lock file and journal of its
// own there, took itself for alone, and wrote over the commits of one through the file's
// own name (transfers through the two left a total of 100 000 at 100 079).
TEST_F(ManyProcesses, AnOpeningThroughALinkTakesTurnsWithOneThroughTheFilesName) {
  test_support::scratch_dir other{memory_dir};
  std::string const link = other.file("link");
  std::filesystem::create_symlink(made.name + ".odb", link + ".odb");
  d_env env{}, linked_env{};
  scoped_database db = open_database_scoped(made.name, &env);
  scoped_database linked =
      open_database_scoped(link, &linked_env, options_for(d_journal::atomic, 0ms));
  int_map map("accounts", &env);
  int_map through_link("accounts", &linked_env);
  d_transaction tx(&env);
  map.put(0, 1);
  EXPECT_EQ(test_support::code_thrown_by([&] { through_link.put(1, 1); }), errc::busy);
  tx.commit();
  through_link.put(1, 1);
  EXPECT_EQ(value_at(through_link, 0), 1u);
  EXPECT_EQ(value_at(map, 1), 1u);
}

// An opening refused half way (a file that is no database, a journal that cannot be trusted)
// left the lock file it had made, though nothing had the database open; a journal stays
// only where it holds what the next opening must look at.
TEST_F(ManyProcesses, AnOpeningRefusedLeavesNoLockFileBehind) {
  std::string const short_file = made.dir.file("short");
  test_support::write_file(short_file + ".odb", std::vector<char>(100, 0));
  std::string const damaged = made.dir.file("damaged");
  test_support::write_file(damaged + ".odb", test_support::read_file(name + ".odb"));
  std::vector<char> journal(4096, 0);
  std::copy_n("not-jrnl", 8, journal.begin());
  test_support::write_file(damaged + ".odb-journal", journal);
  struct file { char const* what; std::string const& name; errc refused; bool journal_stays; };
  std::pair<char const*, d_open_options> const modes[] = {
      {"atomic", options_for(d_journal::atomic)},
      {"durable", options_for(d_journal::durable)},
      {"read-only", reading()}};
  for (file const& f : {file{"no database", short_file, errc::not_a_database, false},
                        file{"damaged journal", damaged, errc::corrupt_journal, true}}) {
    for (auto const& [mode, options] : modes) {
      SCOPED_TRACE(std::string(f.what) + ", " + mode);
      d_env env{};
      EXPECT_EQ(test_support::code_thrown_by(
                    [&, &o = options] { open_database_scoped(f.name, &env, o); }),
                f.refused);
      EXPECT_FALSE(std::filesystem::exists(f.name + ".odb-lock"));
      EXPECT_EQ(std::filesystem::exists(f.name + ".odb-journal"), f.journal_stays);
    }
  }
}

// An opening with the journal off makes no lock file, and left one a killed process had left
// beside the database: after its close the database had a lock file though nothing had it open.
TEST_P(InEachMode, AnUnjournaledOpeningLeavesNoLockFileADeadProcessLeft) {
  test_support::child_processes kids;
  pid_t const pid = held_in_a_transaction(kids, name, options_for(mode));
  ASSERT_GT(pid, 0);
  kids.kill(pid);
  ASSERT_TRUE(std::filesystem::exists(name + ".odb-lock"));
  {
    opening o(name, options_for(d_journal::off));
    EXPECT_EQ(total_of(o), opening_total) << "the dead transaction was not taken back";
  }
  EXPECT_FALSE(std::filesystem::exists(name + ".odb-lock"));
  EXPECT_FALSE(std::filesystem::exists(name + ".odb-journal"));
}

// A hard link is a name of the file of its own, with a lock file and a journal beside it:
// an opening through it and one through the first name each took itself for alone, and
// each wrote over the other's commits. While the file is open through one name, an opening
// through another is refused in every mode (with the journal off, by the file's own lock)
// and leaves nothing behind; the first name's openings still join; once they all closed,
// or their process was killed, the other name opens.
TEST_F(ManyProcesses, AnOpeningThroughAnotherNameOfTheFileIsRefusedUntilTheFirstNamesClose) {
  test_support::scratch_dir other{memory_dir};
  // With first_killed false the first name's opening closes instead.
  struct second_name { char const* what; std::string name; bool first_killed; };
  std::vector<second_name> const names = {
      {"a hard link beside the file", made.dir.file("linked"), false},
      {"a hard link in another folder", other.file("accounts"), true},
  };
  std::vector<std::pair<char const*, d_open_options>> const modes = {
      {"atomic", options_for(d_journal::atomic, 0ms)},
      {"durable", options_for(d_journal::durable, 0ms)},
      {"read-only", reading()},
      {"journal off", options_for(d_journal::off, 0ms)},
  };
  for (second_name const& n : names) {
    ASSERT_EQ(::link((name + ".odb").c_str(), (n.name + ".odb").c_str()), 0) << n.what;
  }
  std::mt19937 rng(1);
  for (auto const& [what, second, first_killed] : names) {
    for (auto const& [mode, o] : modes) {
      SCOPED_TRACE(std::string(what) + ", " + mode);
      test_support::child_processes kids;
      test_support::signal_pipe ready, done;
      pid_t const first = kids.start([&] {
        opening held(name);
        return ready.say() && done.heard() ? 0 : 1;
      });
      ready.close_writer();
      ASSERT_TRUE(ready.heard()) << "the first name's opening failed";
      d_env env{};
      // (Structured bindings are named through captures of their own: C++17.)
      auto const open_second = [&, &file = second, &options = o] {
        open_database_scoped(file, &env, options);
      };
      EXPECT_EQ(test_support::code_thrown_by(open_second), errc::in_use);
      EXPECT_FALSE(std::filesystem::exists(second + ".odb-lock")) << "the refused opening's";
      EXPECT_FALSE(std::filesystem::exists(second + ".odb-journal")) << "the refused opening's";
      {
        opening joined(name);
        transfer(joined, rng);
      }
      if (first_killed) {
        kids.kill(first);
      } else {
        done.say();
        EXPECT_EQ(kids.wait(first, steady::now() + 10s), 0);
      }
      opening through_second(second, o, d_root::existing);
      EXPECT_EQ(total_of(through_second), opening_total);
    }
  }
}

// Two names opened at the same moment: each opening takes its share of the file's lock before
// it looks for others', so at most one of the two opens (both may be refused), never both.
TEST_F(ManyProcesses, TwoNamesOfTheFileOpenedAtOnceNeverBothOpen) {
  std::string const linked = made.dir.file("linked");
  ASSERT_EQ(::link((name + ".odb").c_str(), (linked + ".odb").c_str()), 0);
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> started{0}, tried{0}, opened{0};
    auto const open_through = [&](std::string const& through) {
      for (++started; started < 2;) {
      }
      d_env env{};
      scoped_database db;
      errc const code = test_support::code_thrown_by(
          [&] { db = open_database_scoped(through, &env, options_for(d_journal::atomic, 0ms)); });
      EXPECT_TRUE(code == errc{} || code == errc::in_use) << static_cast<int>(code);
      opened += code == errc{};
      for (++tried; tried < 2;) {  // both tried before either closes
      }
    };
    std::thread other(open_through, linked);
    open_through(name);
    other.join();
    ASSERT_LE(opened.load(), 1) << "round " << round;
  }
}

TEST_F(ReadOnly, EveryChangeIsRefusedAndNoByteChanges) {
  {
    d_env env{};
    scoped_database db = open_database_scoped(name, &env);
    d_list<int> list("list", &env);
    list.push_back(1);
  }
  auto const before = test_support::read_file(name + ".odb");
  opening o(name, reading(), d_root::existing);
  d_list<int> list("list", &o.env, d_root::existing);
  std::vector<std::pair<char const*, std::function<void()>>> const changes = {
      {"map put", [&] { o.map.put(1, 2); }},
      {"map erase", [&] { o.map.erase(1); }},
      {"list push", [&] { list.push_back(2); }},
      {"list pop", [&] { list.pop_back(); }},
      {"new root", [&] { o.db->get_address("new"); }},
      {"remove root", [&] { o.db->remove_root("list"); }},
      {"transaction", [&] { d_transaction tx(&o.env); }},
  };
  for (auto const& [what, change] : changes) {
    SCOPED_TRACE(what);
    EXPECT_EQ(test_support::code_thrown_by(change), errc::read_only);
  }
  EXPECT_EQ(value_at(o.map, 1), opening_balance);
  EXPECT_EQ(list.size(), 1u);
  o.db.reset();
  EXPECT_EQ(test_support::read_file(name + ".odb"), before);
}

// A read-only opening alone keeps no journal: a writer that joins starts one, and the
// reader follows its commits. The writer, closing first, leaves them in the journal: when
// the reader closed last, the next read-only opening was refused as if a writer had died
// ("database needs recovery..."). That last close plays them in where it may write.
TEST_F(ReadOnly, AReaderFollowsTheWriterThatJoinsItAndClosingLastLeavesItsCommitsInTheFile) {
  {
    opening reader(name, reading(), d_root::existing);
    {
      opening writer(name);
      writer.map.put(0, 7);
      writer.map.put(accounts + 1, 8);  // a new node: the file grows
    }
    EXPECT_EQ(value_at(reader.map, 0), 7u);
    d_read_transaction rt(&reader.env);
    EXPECT_EQ(value_at(reader.map, accounts + 1), 8u);
  }
  EXPECT_FALSE(std::filesystem::exists(name + ".odb-journal"));
  opening o(name, reading(), d_root::existing);
  EXPECT_EQ(value_at(o.map, 0), 7u) << "the writer's commit was lost";
  EXPECT_EQ(value_at(o.map, accounts + 1), 8u) << "the writer's commit was lost";
}

// The last writer to close cuts the file's room ahead, maybe while a read-only opening reads the
// file in: that failed with "unable to open alloc file..." when the file ended before the length it
// had taken. Interleaved for a while, every reading opening must open and find the accounts whole.
TEST_F(ReadOnly, AnOpeningReadsTheFileAsTheLastWriterClosingLeavesIt) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      d_env e{};
      scoped_database db = open_database_scoped(name, &e);
      d_list<int> grown("grown", &e);
      grown.push_back(i);  // lengthens the file ahead, and the close cuts it back
    }
  });
  std::string thrown;
  int whole = 0, opened = 0;
  for (auto const until = steady::now() + 1500ms; thrown.empty() && steady::now() < until;) {
    thrown = test_support::thrown_by([&] {
      opening o(name, reading(), d_root::existing);
      ++opened;
      whole += total_of(o) == opening_total;
    });
  }
  stop = true;
  writer.join();
  EXPECT_EQ(thrown, "");
  EXPECT_GT(opened, 0);
  EXPECT_EQ(whole, opened);
}

// A process that may not write the lock file cannot follow the others' commits. Beside a
// live writer it opened all the same, reading without any lock (or said "database needs
// recovery: a journal left by a process that died..."). Now it is told what stops it,
// and it opens once the others closed. The same through a hard link, which finds no lock
// file of the others at all.
TEST_F(ReadOnly, AProcessThatMayNotWriteTheLockFileIsToldWhyWhileOthersHaveItOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "opens as another user, which needs root";
  std::string const linked = made.dir.file("linked");
  ASSERT_EQ(::link((name + ".odb").c_str(), (linked + ".odb").c_str()), 0);
  ASSERT_EQ(::chmod(made.dir.path().c_str(), 0755), 0);
  test_support::child_processes kids;
  auto const opened_as_nobody = [&](std::string const& through) {
    return static_cast<errc>(kids.run([&] {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
      return static_cast<int>(test_support::code_thrown_by([&] {
        opening o(through, reading(), d_root::existing);
        if (total_of(o) != opening_total) throw error(errc::corrupt, "wrong total");
      }));
    }, 10s));
  };
  {
    opening writer(name);
    std::mt19937 rng(1);
    transfer(writer, rng);
    EXPECT_EQ(opened_as_nobody(name), errc::read_only);
    EXPECT_EQ(opened_as_nobody(linked), errc::in_use);
  }
  EXPECT_EQ(opened_as_nobody(name), errc{});
  EXPECT_EQ(opened_as_nobody(linked), errc{});
}

// The last read-only opening to close plays in the commits a writer that closed before it
// left in the journal, where its process may write. Where it may not, the journal stays, and
// the next read-only opening was told that a process had died, when none had.
TEST_F(ReadOnly, CommitsTheLastReaderCouldNotPlayInAreReportedAsCommits) {
  if (::geteuid() != 0) GTEST_SKIP() << "opens as another user, which needs root";
  ASSERT_EQ(::chmod(made.dir.path().c_str(), 0777), 0);  // the reader makes the lock file
  ASSERT_EQ(::chmod((name + ".odb").c_str(), 0644), 0);   // but may not write the database
  test_support::signal_pipe opened, wrote;
  test_support::child_processes kids;
  pid_t const pid = kids.start([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
    opening o(name, reading(), d_root::existing);
    if (!opened.say() || !wrote.heard(steady::now() + 10s)) return 3;
    return value_at(o.map, commits_key) == 1 ? 0 : 4;
  });
  ASSERT_TRUE(opened.heard(steady::now() + 10s));
  {
    opening writer(name);
    std::mt19937 rng(1);
    transfer(writer, rng);
  }
  ASSERT_TRUE(wrote.say());
  ASSERT_EQ(kids.wait(pid, steady::now() + 10s), 0);
  ASSERT_TRUE(std::filesystem::exists(name + ".odb-journal"));
  d_env env{};
  EXPECT_EQ(test_support::thrown_by([&] { open_database_scoped(name, &env, reading()); }),
            "database needs recovery: its journal holds commits the file does not, which only "
            "an opening for writing can copy in...");
  open_database_scoped(name, &env).reset();
  EXPECT_FALSE(std::filesystem::exists(name + ".odb-journal"));
  opening o(name, reading(), d_root::existing);
  EXPECT_EQ(value_at(o.map, commits_key), 1u) << "the writer's commit was lost";
  EXPECT_EQ(total_of(o), opening_total);
}

// A writer that died inside a transaction alone (its changes in place, the old bytes in
// its journal): only a writing opening can take them back.
TEST_F(ReadOnly, AJournalThatNeedsPlayingBackIsReported) {
  test_support::child_processes kids;
  pid_t const pid = kids.start_held([&](auto const& hold) {
    opening o(name);
    o.map.put(0, 5);
    d_transaction tx(&o.env);
    o.map.put(1, 9);
    hold();
  });
  ASSERT_GT(pid, 0);
  d_env env{};
  d_open_options impatient = reading();
  impatient.busy_timeout = 100ms;
  // An opening waits for the one alone to end its transaction.
  EXPECT_EQ(test_support::code_thrown_by([&] { open_database_scoped(name, &env, impatient); }),
            errc::busy);
  kids.kill(pid);
  EXPECT_EQ(test_support::code_thrown_by([&] { open_database_scoped(name, &env, reading()); }),
            errc::read_only);
  open_database_scoped(name, &env).reset();
  opening o(name, reading(), d_root::existing);
  EXPECT_EQ(value_at(o.map, 0), 5u) << "a commit was lost";
  EXPECT_EQ(value_at(o.map, 1), opening_balance) << "the dead transaction was not taken back";
}

}  // namespace

// A process that may not write the lock file opens while nobody else has the database, and
// cannot follow anyone's commits. A writer that came later opened all the same, through
// either name and beside readers that may, and changed the file under it. Now every opening
// for writing is kept out until that process closes.
TEST_F(ReadOnly, WritersAreKeptOutWhileAProcessThatMayNotWriteTheLockFileReads) {
  if (::geteuid() != 0) GTEST_SKIP() << "opens as another user, which needs root";
  std::string const linked = made.dir.file("linked");
  ASSERT_EQ(::link((name + ".odb").c_str(), (linked + ".odb").c_str()), 0);
  ASSERT_EQ(::chmod(made.dir.path().c_str(), 0755), 0);
  test_support::signal_pipe opened, tried;
  test_support::child_processes kids;
  pid_t const pid = kids.start([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
    opening o(name, reading(), d_root::existing);
    if (!opened.say() || !tried.heard(steady::now() + 20s)) return 3;
    return total_of(o) == opening_total && value_at(o.map, commits_key) == 0 ? 0 : 4;
  });
  ASSERT_TRUE(opened.heard(steady::now() + 10s));
  std::mt19937 rng(1);
  auto const write_through = [&](std::string const& through) {
    return thrown_by([&] {
      opening writer(through);
      transfer(writer, rng);
    });
  };
  std::string const kept_out =
      "database is open read-only by a process that may not write its lock file, which could "
      "not follow changes...";
  EXPECT_EQ(write_through(name), kept_out);
  EXPECT_EQ(write_through(linked), kept_out);
  {
    opening reader(name, reading(), d_root::existing);
    EXPECT_EQ(write_through(name), kept_out) << "beside a reader that may write the lock file";
    EXPECT_EQ(total_of(reader), opening_total);
  }
  ASSERT_TRUE(tried.say());
  EXPECT_EQ(kids.wait(pid, steady::now() + 10s), 0) << "the reader saw the file change";
  EXPECT_EQ(write_through(name), "");
}
