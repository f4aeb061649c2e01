// Real kills at random moments of a child that reports each commit: the database must open,
// hold every reported transaction (and at most the one under way, whole) and pass its checks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using int_map = d_map<unsigned, unsigned, unsigned>;

// Transaction t puts the key t with the value t into the map and appends t
// to the list, so both say how many transactions happened.
[[noreturn]] void commit_until_killed(std::string const& name, d_journal mode, int report) {
  d_env env{};
  open_database(name, &env, d_open_options{mode});
  int_map map("map", &env);
  d_list<int> list("list", &env);
  for (unsigned t = static_cast<unsigned>(list.size());; ++t) {
    d_transaction tx(&env);
    map.put(t, t);
    list.push_back(static_cast<int>(t));
    tx.commit();
    if (::write(report, &t, sizeof t) != sizeof t) ::_exit(3);
  }
}

void kill_at_random_moments(d_journal mode, int kills) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("killed");
  ASSERT_TRUE(create_database(name, nullptr));
  std::mt19937 rng(static_cast<unsigned>(mode) * 7919u + 1);
  long committed = -1;
  test_support::child_processes kids;
  for (int kill = 0; kill < kills; ++kill) {
    int pipe_fds[2];  // the child's reports
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_t const pid = kids.start([&]() -> int { commit_until_killed(name, mode, pipe_fds[1]); });
    ::close(pipe_fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30000));
    // A child that ended by itself (status 3, or 100 on a throw) is no kill.
    ASSERT_EQ(kids.wait(pid, std::chrono::steady_clock::now()), -1) << "the child ended by itself";
    for (unsigned t; ::read(pipe_fds[0], &t, sizeof t) == sizeof t;)
      committed = std::max<long>(committed, t);
    ::close(pipe_fds[0]);

    // Whatever the kill interrupted, the database opens whole.
    d_env env{};
    d_database* db = open_database(name, &env, d_open_options{mode});
    {
      int_map map("map", &env);
      d_list<int> list("list", &env);
      long const held = static_cast<long>(list.size());
      std::string const where = "kill " + std::to_string(kill) + ": " + std::to_string(held) +
                                " held, " + std::to_string(committed + 1) + " reported";
      ASSERT_TRUE(held == committed + 1 || held == committed + 2) << where;
      ASSERT_EQ(static_cast<long>(map.size()), held) << where;
      unsigned value = 0, last = static_cast<unsigned>(held - 1);
      ASSERT_TRUE(held == 0 || (map.get(last, value) && value == last)) << where;
      ASSERT_TRUE(check_map(map).empty() && list.check().empty()) << where;
      committed = held - 1;
    }
    close_database(db);
    ASSERT_TRUE(check_database_file(name + ".odb").empty()) << "kill " << kill;
  }
}

TEST(KillTest, EveryReportedCommitSurvivesAKill) {
  for (d_journal mode : {d_journal::atomic, d_journal::durable}) {
    SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)));
    kill_at_random_moments(mode, 40);
  }
}

}  // namespace
