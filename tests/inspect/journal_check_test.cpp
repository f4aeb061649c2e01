// odbcheck on a database with a journal beside it: it checks the file as the
// next opening will find it, says so, and changes no byte of either file.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include "harness.h"

using namespace disk_tools;

namespace {

class JournalCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(create_database(name(), nullptr));
    d_env env{};
    d_database* db = open_database(name(), &env);
    {
      d_list<std::string> list("list", &env);
      for (int i = 0; i < 20; ++i) list.push_back("element " + std::to_string(i));
    }
    close_database(db);
    before_ = test_support::read_file(file());
  }

  // A child opens the database, makes changes (in a transaction left open
  // when mid_transaction), and is killed.
  void kill_a_user(bool mid_transaction) {
    test_support::child_processes kids;
    pid_t const pid = kids.start([&] {
      d_env env{};
      open_database(name(), &env);
      d_list<std::string> list("list", &env);
      if (mid_transaction) new d_transaction(&env);  // never ends
      for (int i = 0; i < 50; ++i) list.push_back(std::string(200, 'x'));
      ::kill(::getpid(), SIGKILL);
      return 0;
    });
    ASSERT_EQ(kids.wait(pid, std::chrono::steady_clock::now() + std::chrono::seconds(60)), -1);
  }

  test_support::run_result odbcheck() {
    return test_support::run_program({ODBCHECK_PATH, file()}, dir_.path());
  }
  std::string name() const { return dir_.file("db"); }
  std::string file() const { return name() + ".odb"; }
  std::string journal() const { return journal_file_of(file()); }

  test_support::scratch_dir dir_;
  std::vector<char> before_;
};

TEST_F(JournalCheckTest, ATransactionCutShortIsCheckedRolledBackAndNothingChanges) {
  kill_a_user(true);
  auto const db = test_support::read_file(file());
  auto const j = test_support::read_file(journal());
  ASSERT_FALSE(j.empty());
  auto const r = odbcheck();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("did not finish"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no problems found"), std::string::npos) << r.out;
  EXPECT_EQ(test_support::read_file(file()), db);
  EXPECT_EQ(test_support::read_file(journal()), j);
  // A damaged journal is refused by the checker and by the opening.
  auto damaged = j;
  damaged.at(100) ^= 0x5a;  // inside the first undo record
  test_support::write_file(journal(), damaged);
  auto const refused = odbcheck();
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("corrupt journal file..."), std::string::npos) << refused.err;
  d_env failed{};
  EXPECT_EQ(test_support::thrown_by([&] { open_database(name(), &failed); }),
            "corrupt journal file...");
  // With the journal whole again, the opening finds the file from before the transaction.
  test_support::write_file(journal(), j);
  d_env env{};
  close_database(open_database(name(), &env));
  EXPECT_EQ(test_support::read_file(file()), before_);
}

// A rollback cuts the database to the length its journal recorded when the
// transaction began. A flipped bit there is refused, not obeyed: the database
// keeps every byte. A journal of an older release carries no check and rolls
// back as it always did.
TEST_F(JournalCheckTest, ADamagedLengthToRollBackToIsRefusedAndCutsNothing) {
  kill_a_user(true);
  auto const db = test_support::read_file(file());
  auto const j = test_support::read_file(journal());
  struct row { char const* name; std::size_t at, width; unsigned char flip; bool refused; };
  row const rows[] = {
      {"the length's lowest bit", 24, 1, 0x01, true},
      {"a bit of the length's second byte", 25, 1, 0x20, true},
      {"a bit of its check", 57, 1, 0x04, true},
      {"no check, as an older release wrote it", 56, 8, 0, false},
  };
  for (row const& r : rows) {
    SCOPED_TRACE(r.name);
    auto damaged = j;
    for (std::size_t i = r.at; i < r.at + r.width; ++i) {
      damaged.at(i) = static_cast<char>(r.flip == 0 ? 0 : damaged.at(i) ^ r.flip);
    }
    test_support::write_file(journal(), damaged);
    d_env env{};
    std::string const thrown =
        test_support::thrown_by([&] { close_database(open_database(name(), &env)); });
    if (r.refused) {
      EXPECT_EQ(thrown, "corrupt journal file...");
      EXPECT_TRUE(test_support::read_file(file()) == db) << "the database changed";
      EXPECT_EQ(odbcheck().status, 2);
    } else {
      EXPECT_EQ(thrown, "");
      EXPECT_TRUE(test_support::read_file(file()) == before_) << "not rolled back";
      test_support::write_file(file(), db);
    }
  }
}

TEST_F(JournalCheckTest, ADatabaseLeftOpenIsCheckedAsItsLastCommit) {
  kill_a_user(false);
  // The file is longer than its data: it was grown ahead.
  EXPECT_GT(test_support::file_size(file()), static_cast<std::int64_t>(before_.size()));
  auto const r = odbcheck();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("a journal is beside the database"), std::string::npos) << r.out;
  d_env env{};
  d_database* db = open_database(name(), &env);
  EXPECT_EQ(d_list<std::string>("list", &env).count(), 70);
  close_database(db);
}

}  // namespace
