// A database left by a process that died, opened again in every journal mode.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

// Runs f in a child process: its exit status, 100 when f threw, or 128 + the signal that
// ended it.
template <class F>
int status_of_child(F f) {
  pid_t const pid = ::fork();
  if (pid == 0) {
    int status = 100;
    try {
      status = f();
    } catch (...) {
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr int committed = 50;

// Commits `committed` appends, starts a transaction that appends as many again (the file
// grows ahead of them), and dies without closing anything.
[[noreturn]] void die_with_a_transaction_open(std::string const& name, d_journal mode) {
  d_env env{};
  open_database(name, &env, d_open_options{mode});
  d_list<std::string> list("list", &env);
  for (int i = 0; i < committed; ++i) list.push_back("committed " + std::to_string(i));
  d_transaction tx(&env);
  for (int i = 0; i < committed; ++i) list.push_back(std::string(1000, 'u'));
  ::_exit(0);
}

TEST(DeathThenReopening, EveryOrderOfModesRecoversAndGrowsTheFileAgain) {
  char const* const names[] = {"atomic", "durable", "off"};
  for (d_journal first : {d_journal::atomic, d_journal::durable, d_journal::off}) {
    for (d_journal second : {d_journal::atomic, d_journal::durable, d_journal::off}) {
      SCOPED_TRACE(std::string(names[static_cast<int>(first)]) + " then " +
                   names[static_cast<int>(second)]);
      test_support::scratch_dir dir;
      std::string const name = dir.file("db");
      ASSERT_TRUE(create_database(name, nullptr));
      ASSERT_EQ(status_of_child([&]() -> int { die_with_a_transaction_open(name, first); }), 0);
      // Recovery cuts the file back to its data; the appends that follow must reach past
      // the cut (a mapping left over the cut pages faults there).
      int const status = status_of_child([&] {
        d_env env{};
        d_database* db = open_database(name, &env, d_open_options{second});
        d_list<std::string> list("list", &env);
        d_var<std::string>("big", &env) = std::string(20000, 'b');
        list.push_back("after");
        long const held = list.count();
        close_database(db);
        // With the journal off nothing is rolled back: the open transaction's appends stay.
        long const expected = (first == d_journal::off ? 2 * committed : committed) + 1;
        return held == expected ? 0 : 1;
      });
      EXPECT_EQ(status, 0) << "1: wrong count, 100: threw, 128 + n: killed by signal n";
      EXPECT_EQ(check_database_file(name + ".odb"), std::vector<std::string>{});
    }
  }
}

}  // namespace
