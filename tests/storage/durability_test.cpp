// A database left by a process that died, opened again in every journal mode; and two
// threads on one database, where the second must be refused instead of corrupting it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

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
  for (d_journal first : {d_journal::atomic, d_journal::durable, d_journal::off}) {
    for (d_journal second : {d_journal::atomic, d_journal::durable, d_journal::off}) {
      SCOPED_TRACE(std::string(test_support::mode_name(first)) + " then " +
                   test_support::mode_name(second));
      test_support::scratch_dir dir;
      std::string const name = dir.file("db");
      ASSERT_TRUE(create_database(name, nullptr));
      test_support::child_processes kids;
      ASSERT_EQ(kids.run([&]() -> int { die_with_a_transaction_open(name, first); }), 0);
      // Recovery cuts the file back to its data; the appends that follow must reach past
      // the cut (a mapping left over the cut pages faults there).
      int const status = kids.run([&] {
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
      EXPECT_EQ(status, 0) << "1: wrong count, 100: threw, -1: killed by a signal";
      EXPECT_EQ(check_database_file(name + ".odb"), std::vector<std::string>{});
    }
  }
}

using Threads = test_support::database_test;

// The first thread stays inside a transaction while the second tries every kind of use.
TEST_F(Threads, ASecondThreadIsRefusedWhileTheFirstIsInsideAnOperation) {
  d_env& env = env_;
  d_list<int> list("list", &env);
  d_var<std::string> var("var", &env);
  var = "before";
  std::promise<void> inside, tried;
  std::thread first([&] {
    d_transaction tx(&env);
    list.push_back(1);
    inside.set_value();
    tried.get_future().wait();
    list.push_back(2);
    tx.commit();
  });
  inside.get_future().wait();
  std::vector<std::string> refusals;
  for (auto const& use : std::vector<std::function<void()>>{
           [&] { list.push_back(3); },       // a change through another object
           [&] { var = "changed"; },         // a change of another root
           [&] { (void)var.get_data(); },    // a read
           [&] { d_transaction tx(&env); },  // a transaction of its own
           [&] { close_database(db_); }})    // closing
    refusals.push_back(test_support::thrown_by(use));
  tried.set_value();
  first.join();
  EXPECT_EQ(refusals, std::vector<std::string>(5, "database is in use by another thread..."));
  // Once the first thread is out, the database is anyone's.
  list.push_back(4);
  EXPECT_EQ(std::vector<int>(list.begin(), list.end()), (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(var.get_data(), "before");
  close_database(std::exchange(db_, nullptr));  // the objects go after it
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

// Two threads changing one database as fast as they can: each change is made whole or
// refused, never both at once.
TEST_F(Threads, ChangesRacingFromTwoThreadsAreEachMadeOrRefused) {
  d_env& env = env_;
  constexpr int per_thread = 20000;
  d_list<std::string> lists[2] = {{"a", &env}, {"b", &env}};
  std::promise<void> go;
  std::shared_future<void> const started = go.get_future().share();
  auto append = [started](d_list<std::string>& list) {
    started.wait();
    for (int made = 0; made < per_thread;) {
      std::string const value(1 + made % 90, 'v');
      if (test_support::thrown_by([&] { list.push_back(value); }).empty()) ++made;
    }
  };
  std::thread a(append, std::ref(lists[0])), b(append, std::ref(lists[1]));
  go.set_value();
  a.join();
  b.join();
  EXPECT_EQ(d_list<std::string>("a", &env).count(), per_thread);
  EXPECT_EQ(d_list<std::string>("b", &env).count(), per_thread);
  close_database(std::exchange(db_, nullptr));  // the objects go after it
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

}  // namespace
