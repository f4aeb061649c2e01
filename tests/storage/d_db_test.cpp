#include <disk_tools/d_db.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <disk_tools/detail/bfstream.h>
#include <disk_tools/detail/factories.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;
using test_support::read_file;
using test_support::thrown_by;
using test_support::word_at;

namespace {

TEST(CreateDatabase, WritesTheEmptyHeaderAndDirectoryOverAnyOldFileAndDeleteRemovesIt) {
  test_support::scratch_dir dir;
  test_support::write_file(dir.file("test.odb"), std::vector<char>(20000, 'x'));
  ASSERT_TRUE(create_database(dir.file("test"), nullptr));
  auto const f = read_file(dir.file("test.odb"));
  ASSERT_EQ(f.size(), 13616u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char>(f[i]), 0xFF) << i;
  for (int e = 0; e < 100; ++e) {
    std::size_t const at = 16 + 136 * e;
    for (std::size_t i = 0; i < 128; ++i) ASSERT_EQ(f[at + i], 0) << "entry " << e;
    ASSERT_EQ(word_at(f, at + 128), -1) << "entry " << e;
  }
  EXPECT_FALSE(create_database(dir.file("no/such/folder/test"), nullptr));
  // A folder of the file's name is not replaced, and the new file written
  // beside it is not left behind.
  std::filesystem::create_directory(dir.file("folder.odb"));
  EXPECT_FALSE(create_database(dir.file("folder"), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder.odb")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("folder.odb-new")));
  // A link left under the new file's name is replaced, not written through: the
  // empty database went into the file it led to, and the link took the name.
  std::vector<char> const other = {'k', 'e', 'p', 't'};
  test_support::write_file(dir.file("other.txt"), other);
  std::filesystem::create_symlink("other.txt", dir.file("linked.odb-new"));
  EXPECT_TRUE(create_database(dir.file("linked"), nullptr));
  EXPECT_TRUE(read_file(dir.file("other.txt")) == other) << "written through the link";
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("linked.odb")));
  EXPECT_EQ(read_file(dir.file("linked.odb")).size(), 13616u);
  // A database kept elsewhere through a link (kept.odb -> store/kept.db) is made where the
  // link leads, whether the file is there yet or not, and the link stays: a link that led
  // to no file yet was replaced by a file of its own name, and the store got nothing.
  std::filesystem::create_directory(dir.file("store"));
  std::filesystem::create_symlink("store/kept.db", dir.file("kept.odb"));
  for (char const* target : {"missing", "there"}) {
    SCOPED_TRACE(target);
    ASSERT_TRUE(create_database(dir.file("kept"), nullptr));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("kept.odb")));
    EXPECT_EQ(read_file(dir.file("store/kept.db")).size(), 13616u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("kept.odb-new")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("store/kept.db-new")));
  }
  for (int twice = 0; twice < 2; ++twice) {  // a missing file is made, wiped and removed too
    EXPECT_TRUE(delete_database(dir.file("test")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("test.odb")));
  }
  EXPECT_FALSE(delete_database(dir.file("no/such/folder/test")));
}

// Three creates of one new name at once, their writes slowed: each reports success or
// failure, and once one has reported success the name holds a whole empty database, as at the
// end, with nothing left beside it. Under the one name NAME.odb-new, each cut what another was
// writing, and the database's name could take a file cut short.
TEST(CreateDatabase, CreatesOfOneNameAtOnceLeaveAWholeDatabase) {
  test_support::scratch_dir dir;
  auto const whole = [&](std::string const& file) {
    return read_file(file).size() == 13616u && check_database(file).problems.empty();
  };
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string const name = dir.file("made" + std::to_string(round));
    auto const start = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    test_support::child_processes kids;
    std::vector<pid_t> pids;
    for (int c = 0; c < 3; ++c) {
      auto const late = std::chrono::milliseconds(rng() % 10);
      auto const slow = std::chrono::milliseconds(rng() % 5);
      // 0: made, and whole; 1: refused; 2: made, and the database was not whole.
      pids.push_back(kids.start([&, late, slow] {
        test_support::slow_writes observer;
        observer.beside = name + ".odb-new";
        observer.delay = slow;
        io_tools::set_io_observer(&observer);
        std::this_thread::sleep_until(start + late);
        bool const made = create_database(name, nullptr);
        io_tools::set_io_observer(nullptr);
        return !made ? 1 : whole(name + ".odb") ? 0 : 2;
      }));
    }
    int made = 0;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (pid_t pid : pids) {
      int const status = kids.wait(pid, deadline);
      EXPECT_TRUE(status == 0 || status == 1) << status;
      made += status == 0 ? 1 : 0;
    }
    EXPECT_GE(made, 1) << "no create made the database";
    EXPECT_TRUE(whole(name + ".odb"));
  }
  for (auto const& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find("-new"), std::string::npos) << e.path();
  }
}

TEST(OpenDatabase, AMissingOrDamagedFileIsRefusedUntouched) {
  test_support::scratch_dir dir;
  ASSERT_TRUE(create_database(dir.file("fresh"), nullptr));
  auto bad_head = read_file(dir.file("fresh.odb"));
  encode_word(&bad_head[8], 999999);
  struct row { char const* what; bool exists; std::vector<char> content; char const* message; };
  std::string const file = dir.file("t.odb");
  char const* const bad = "not a database file...";
  for (row const& r : {row{"missing", false, {}, "unable to open alloc file..."},
                       row{"one byte short", true, std::vector<char>(13615, '\xff'), bad},
                       row{"list head outside the file", true, bad_head, bad}}) {
    SCOPED_TRACE(r.what);
    std::remove(file.c_str());
    if (r.exists) test_support::write_file(file, r.content);
    d_env env{};
    EXPECT_EQ(thrown_by([&] { open_database(dir.file("t"), &env); }), r.message);
    EXPECT_EQ(env.database, nullptr);
    EXPECT_EQ(std::filesystem::exists(file), r.exists);
    EXPECT_EQ(read_file(file), r.content);  // empty when missing
  }
}

TEST(ScopedDatabase, TheHandleClosesTheDatabaseWhenItGoesAndOnlyThen) {
  test_support::scratch_dir dir;
  ASSERT_TRUE(create_database(dir.file("t"), nullptr));
  d_env env{}, other{};
  {
    scoped_database moved;
    {
      scoped_database db = open_database_scoped(dir.file("t"), &env);
      EXPECT_EQ(env.database, db.get());
      moved = std::move(db);
    }
    EXPECT_EQ(test_support::code_thrown_by([&] {
                open_database_scoped(dir.file("t"), &other, d_open_options{d_journal::off});
              }),
              errc::in_use);
  }
  close_database(open_database(dir.file("t"), &other));  // the lock went with the handle
}

class DirectoryTest : public test_support::database_test {};

TEST_F(DirectoryTest, NamesTakeEntriesInOrderAndAreFoundExactly) {
  EXPECT_EQ(db_->get_address("the_list"), 144);
  auto const once = bytes();
  EXPECT_EQ(std::string(&once[16]), "the_list");
  EXPECT_EQ(db_->get_address("the_list"), 144);
  EXPECT_EQ(bytes(), once);  // found again without a write
  // Prefixes and extensions of a stored name are other names.
  std::string const longest(127, 'n');
  std::vector<std::pair<std::string, long>> const names = {
      {"the_list", 144}, {"ll", 280},      {"abc", 416}, {"ab", 552},
      {"abcd", 688},     {longest, 824}, {longest.substr(1), 960}};
  for (auto const& [name, slot] : names) EXPECT_EQ(db_->get_address(name), slot) << name;
  reopen();
  for (auto it = names.rbegin(); it != names.rend(); ++it)
    EXPECT_EQ(db_->get_address(it->first), it->second) << it->first;
}

TEST_F(DirectoryTest, NamesThatCannotBeStoredFaithfullyAreRefusedUnwritten) {
  auto const before = bytes();
  EXPECT_EQ(thrown_by([&] { db_->get_address(""); }), "empty root name...");
  EXPECT_EQ(thrown_by([&] { db_->get_address(std::string(128, 'n')); }), "root name too long...");
  EXPECT_EQ(thrown_by([&] { db_->get_address(std::string("a\0b", 3)); }),
            "root name holds a 0 byte...");
  EXPECT_EQ(bytes(), before);
}

TEST_F(DirectoryTest, FullDirectoryGivesMinusOneAndContainersRefuse) {
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(db_->get_address("root" + std::to_string(i)), 144 + 136 * i);
  auto const full = bytes();
  EXPECT_EQ(db_->get_address("one more"), -1);
  EXPECT_EQ(thrown_by([&] { root_slot(db_, "one more"); }), "root directory full...");
  EXPECT_EQ(bytes(), full);
  EXPECT_EQ(root_slot(db_, "root99"), 144 + 136 * 99);
}

class FactoryTest : public test_support::database_test {};

TEST_F(FactoryTest, InitialHeadersHaveTheirSizesAndWords) {
  long const list = create_list(db_), vec = create_vector(3, db_), map = create_hashmap(3, db_),
             tree = create_map(db_);
  long const cells[] = {create_pointer(db_), create_var(db_), create_ref(db_)};
  auto const f = bytes();
  EXPECT_EQ(word_at(f, vec), 3);
  EXPECT_EQ(word_at(f, map + 8), 3);
  for (long at : {list + 8, vec + 8, vec + 16, vec + 24, vec + 32, map})
    EXPECT_EQ(word_at(f, at), 0) << at;
  for (long at : {list, map + 16, map + 24, map + 32, tree, tree + 8, tree + 16, cells[0],
                  cells[1], cells[2]})
    EXPECT_EQ(word_at(f, at), -1) << at;
  std::map<long, long> size_of;
  for (auto const& r : db_->allocator()->allocation_list()) size_of[r.data] = r.size;
  EXPECT_EQ(size_of, (std::map<long, long>{{list, 16}, {vec, 40}, {map, 40}, {tree, 24},
                                           {cells[0], 8}, {cells[1], 8}, {cells[2], 8}}));
}

// One writer at a time: another opening, recreation or deletion is refused,
// touching nothing, until the holder closes the database or ends.
std::string open_message(std::string const& name) {
  d_env env{};
  // Unjournaled: the one opening that is never shared.
  return thrown_by([&] { close_database(open_database(name, &env, d_open_options{d_journal::off})); });
}

TEST(DatabaseLock, SecondOpenerIsRefusedUntouchedUntilTheHolderCloses) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("db");
  ASSERT_TRUE(create_database(name, nullptr));
  test_support::child_processes kids;
  pid_t const pid = kids.start_held([&](auto const& hold) {
    d_env env{};
    open_database(name, &env)->get_address("kept");  // held until the process ends
    hold();
  });
  ASSERT_GT(pid, 0);
  auto const before = read_file(name + ".odb");  // unlike a recreated file
  EXPECT_EQ(open_message(name), "database is in use...");
  EXPECT_FALSE(create_database(name, nullptr));
  EXPECT_FALSE(delete_database(name));
  EXPECT_EQ(read_file(name + ".odb"), before);
  kids.kill(pid);
  EXPECT_EQ(open_message(name), "");
  EXPECT_EQ(open_message(name), "");  // the lock went with the close
}

}  // namespace
