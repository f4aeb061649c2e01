#include <disk_tools/d_db.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include <disk_tools/factories.h>
#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

std::string message_of(std::function<void()> const& f) {
  try {
    f();
  } catch (char const* m) {
    return m;
  }
  return "(nothing thrown)";
}

TEST(CreateDatabase, WritesTheEmptyHeaderAndDirectory) {
  test_support::scratch_dir dir;
  ASSERT_TRUE(create_database(dir.file("test"), nullptr));
  auto const f = test_support::read_file(dir.file("test.odb"));
  ASSERT_EQ(f.size(), 13616u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char>(f[i]), 0xFF) << i;
  for (int e = 0; e < 100; ++e) {
    std::size_t const at = 16 + 136 * e;
    for (std::size_t i = 0; i < 128; ++i) ASSERT_EQ(f[at + i], 0) << "entry " << e;
    ASSERT_EQ(word_at(f, at + 128), -1) << "entry " << e;
  }
}

TEST(CreateDatabase, ReplacesAnExistingFile) {
  test_support::scratch_dir dir;
  test_support::write_file(dir.file("test.odb"), std::vector<char>(20000, 'x'));
  ASSERT_TRUE(create_database(dir.file("test"), nullptr));
  EXPECT_EQ(test_support::file_size(dir.file("test.odb")), 13616);
}

TEST(CreateDatabase, ReportsAFolderThatCannotHoldTheFile) {
  test_support::scratch_dir dir;
  EXPECT_FALSE(create_database(dir.file("no/such/folder/test"), nullptr));
}

TEST(OpenDatabase, MissingFileIsTheAllocatorsFailure) {
  test_support::scratch_dir dir;
  d_env env{};
  EXPECT_EQ(message_of([&] { open_database(dir.file("absent"), &env); }),
            "unable to open alloc file...");
  EXPECT_EQ(env.database, nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.file("absent.odb")));
}

TEST(OpenDatabase, FileShorterThanTheHeaderIsRefusedUntouched) {
  test_support::scratch_dir dir;
  std::string const text = "just some text, not a database\n";
  for (auto const& content : {std::vector<char>{}, std::vector<char>(text.begin(), text.end()),
                              std::vector<char>(13615, '\xff')}) {
    test_support::write_file(dir.file("t.odb"), content);
    d_env env{};
    EXPECT_EQ(message_of([&] { open_database(dir.file("t"), &env); }), "not a database file...");
    EXPECT_EQ(test_support::read_file(dir.file("t.odb")), content);
  }
}

TEST(OpenDatabase, ListHeadsPointingOutsideTheFileAreRefused) {
  test_support::scratch_dir dir;
  ASSERT_TRUE(create_database(dir.file("t"), nullptr));
  auto f = test_support::read_file(dir.file("t.odb"));
  encode_word(&f[8], 999999);
  test_support::write_file(dir.file("t.odb"), f);
  d_env env{};
  EXPECT_EQ(message_of([&] { open_database(dir.file("t"), &env); }), "not a database file...");
}

TEST(DeleteDatabase, WipesAndRemovesTheFile) {
  test_support::scratch_dir dir;
  ASSERT_TRUE(create_database(dir.file("t"), nullptr));
  EXPECT_TRUE(delete_database(dir.file("t")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("t.odb")));
  // A missing file is created, wiped and removed like any other.
  EXPECT_TRUE(delete_database(dir.file("t")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("t.odb")));
  EXPECT_FALSE(delete_database(dir.file("no/such/folder/t")));
}

class DirectoryTest : public test_support::database_test {};

TEST_F(DirectoryTest, NamesTakeEntriesInOrderAndAreFoundAgain) {
  EXPECT_EQ(db_->get_address("the_list"), 144);
  auto const once = bytes();
  EXPECT_EQ(std::string(&once[16]), "the_list");
  EXPECT_EQ(word_at(once, 144), -1);
  EXPECT_EQ(db_->get_address("the_list"), 144);
  EXPECT_EQ(bytes(), once);
  EXPECT_EQ(db_->get_address("ll"), 280);
  reopen();
  EXPECT_EQ(db_->get_address("ll"), 280);
  EXPECT_EQ(db_->get_address("the_list"), 144);
}

TEST_F(DirectoryTest, PrefixesDoNotMatch) {
  EXPECT_EQ(db_->get_address("abc"), 144);
  EXPECT_EQ(db_->get_address("ab"), 280);
  EXPECT_EQ(db_->get_address("abcd"), 416);
  EXPECT_EQ(db_->get_address("abc"), 144);
}

TEST_F(DirectoryTest, NamesThatCannotBeStoredFaithfullyAreRefusedUnwritten) {
  auto const before = bytes();
  EXPECT_EQ(message_of([&] { db_->get_address(""); }), "empty root name...");
  EXPECT_EQ(message_of([&] { db_->get_address(std::string(128, 'n')); }), "root name too long...");
  EXPECT_EQ(message_of([&] { db_->get_address(std::string("a\0b", 3)); }),
            "root name holds a 0 byte...");
  EXPECT_EQ(bytes(), before);
}

TEST_F(DirectoryTest, LongestNameIsStoredAndMatchedExactly) {
  std::string const name(127, 'n');
  long const slot = db_->get_address(name);
  EXPECT_EQ(slot, 144);
  EXPECT_EQ(db_->get_address(name), slot);
  EXPECT_EQ(db_->get_address(name.substr(1)), 280);
}

TEST_F(DirectoryTest, FullDirectoryGivesMinusOneAndContainersRefuse) {
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(db_->get_address("root" + std::to_string(i)), 144 + 136 * i);
  }
  auto const full = bytes();
  EXPECT_EQ(db_->get_address("one more"), -1);
  EXPECT_EQ(message_of([&] { root_slot(db_, "one more"); }), "root directory full...");
  EXPECT_EQ(bytes(), full);
  EXPECT_EQ(root_slot(db_, "root99"), 144 + 136 * 99);
}

class FactoryTest : public test_support::database_test {};

TEST_F(FactoryTest, InitialHeadersHaveTheirSizesAndWords) {
  long const list = create_list(db_);
  EXPECT_EQ(list, 13616);
  auto f = bytes();
  EXPECT_EQ(word_at(f, list), -1);
  EXPECT_EQ(word_at(f, list + 8), 0);

  long const vec = create_vector(3, db_);
  long const map = create_hashmap(3, db_);
  long const tree = create_map(db_);
  long const cells[] = {create_pointer(db_), create_var(db_), create_ref(db_)};
  f = bytes();
  std::vector<long> const vec_words = {3, 0, 0, 0, 0}, map_words = {0, 3, -1, -1, -1};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(word_at(f, vec + 8 * i), vec_words[i]);
    EXPECT_EQ(word_at(f, map + 8 * i), map_words[i]);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(word_at(f, tree + 8 * i), -1);
  for (long c : cells) EXPECT_EQ(word_at(f, c), -1);

  std::map<long, long> size_of;
  for (auto const& r : db_->allocator()->allocation_list()) size_of[r.data] = r.size;
  EXPECT_EQ(size_of[list], 16);
  EXPECT_EQ(size_of[vec], 40);
  EXPECT_EQ(size_of[map], 40);
  EXPECT_EQ(size_of[tree], 24);
  for (long c : cells) EXPECT_EQ(size_of[c], 8);
}

}  // namespace
