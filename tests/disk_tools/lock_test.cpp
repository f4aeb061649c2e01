// One writer at a time: a database open in one place cannot be opened,
// recreated or deleted in another until it is closed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <disk_tools/d_db.h>
#include "harness.h"

using namespace disk_tools;

namespace {

std::string open_message(std::string const& name) {
  d_env env{};
  try {
    close_database(open_database(name, &env));
  } catch (char const* m) {
    return m;
  }
  return "";
}

TEST(DatabaseLock, SecondOpenerIsRefusedAndTouchesNothing) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("db");
  ASSERT_TRUE(create_database(name, nullptr));
  d_env env{};
  d_database* db = open_database(name, &env);
  db->get_address("kept");
  auto const before = test_support::read_file(name + ".odb");

  EXPECT_EQ(open_message(name), "database is in use...");
  EXPECT_FALSE(create_database(name, nullptr));
  EXPECT_FALSE(delete_database(name));
  EXPECT_EQ(test_support::read_file(name + ".odb"), before);

  close_database(db);
  EXPECT_EQ(open_message(name), "");
}

TEST(DatabaseLock, HeldAcrossProcessesAndReleasedWhenTheHolderEnds) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("db");
  ASSERT_TRUE(create_database(name, nullptr));
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t const pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    d_env env{};
    open_database(name, &env);  // held until the process ends
    char c = 1;
    if (::write(ready[1], &c, 1) != 1) ::_exit(2);
    if (::read(go[0], &c, 1) != 1) ::_exit(3);
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(open_message(name), "database is in use...");
  EXPECT_FALSE(create_database(name, nullptr));
  ASSERT_EQ(::write(go[1], &c, 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(open_message(name), "");
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

}  // namespace
