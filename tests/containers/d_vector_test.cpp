#include <disk_tools/d_vector.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <disk_tools/d_var.h>
#include "harness.h"
#include <disk_tools/odb_check.h>

using namespace disk_tools;
using test_support::word_at;

namespace {

using strings = std::vector<std::string>;

class VectorTest : public test_support::database_test {
 protected:
  static strings elements(d_vector<std::string>& v) {
    strings out;
    for (long i = 0; i < v.count(); ++i) out.push_back(v[i]);
    return out;
  }

  void expect_sound(d_vector<std::string> const& v) {
    EXPECT_EQ(v.check(), strings{});
    EXPECT_EQ(check_database_file(path()), strings{});
  }
};

TEST_F(VectorTest, NewVectorHasAHeaderOfCapacityCountAndSlots) {
  d_vector<std::string> v("str_vec", 100, &env_);
  auto const f = bytes();
  EXPECT_EQ(word_at(f, 144), v.header_address());
  EXPECT_EQ(word_at(f, static_cast<std::size_t>(v.header_address())), 100);
  EXPECT_EQ(word_at(f, static_cast<std::size_t>(v.header_address()) + 8), 0);
  auto const in_use = db_->allocator()->allocation_list();
  ASSERT_EQ(in_use.size(), 1u);
  EXPECT_EQ(in_use[0].size, 816);
  EXPECT_EQ(v.count(), 0);
  EXPECT_EQ(v.capacity(), 100);
}

TEST_F(VectorTest, ShowcaseSequenceAndSort) {
  d_vector<std::string> v("str_vec", 100, &env_);
  for (char const* s : {"AA", "BB", "CC"}) v.push_back(s);
  v.insert(v.begin(), "PP");
  EXPECT_EQ(elements(v), (strings{"PP", "AA", "BB", "CC"}));
  v[0] = std::string(v[0]) + "Z";
  v.insert(v.begin() + 1, "GG");
  EXPECT_EQ(elements(v), (strings{"PPZ", "GG", "AA", "BB", "CC"}));
  v.sort(DefaultLess<std::string>());
  EXPECT_EQ(elements(v), (strings{"AA", "BB", "CC", "GG", "PPZ"}));
  expect_sound(v);
}

// Ascending order, and equal elements keep their slots.
TEST_F(VectorTest, SortGivesAscendingOrderAndMovesNoEqualElement) {
  strings values;
  for (int i = 0; i < 40; ++i)
    values.push_back(std::string(1, static_cast<char>('a' + (i * 7) % 11)) + (i % 3 ? "x" : ""));
  values.push_back("\xff");
  values.push_back("");
  d_vector<std::string> v("str_vec", 100, &env_);
  for (auto const& s : values) v.push_back(s);
  v.sort(DefaultLess<std::string>());
  std::sort(values.begin(), values.end());
  EXPECT_EQ(elements(v), values);

  d_vector<std::string> same("same_vec", 10, &env_);
  for (int i = 0; i < 4; ++i) same.push_back("same");
  std::vector<long> before;
  for (long i = 0; i < same.count(); ++i) before.push_back(same[i].value_address());
  same.sort(DefaultLess<std::string>());
  for (long i = 0; i < same.count(); ++i) EXPECT_EQ(same[i].value_address(), before[i]);
}

TEST_F(VectorTest, AFullVectorGrowsIntoANewHeaderInsteadOfWritingPastItsBlock) {
  d_vector<std::string> v("str_vec", 2, &env_);
  // A block allocated right after the header, which an overrun would hit.
  d_var<std::string> neighbour(create_var(db_), &env_);
  neighbour = "neighbour";
  word_t const old_header = v.header_address();
  v.push_back("a");
  v.push_back("b");
  v.push_back("c");
  v.insert(v.begin() + 1, "inserted");
  EXPECT_GT(v.capacity(), 2);
  EXPECT_NE(v.header_address(), old_header);
  EXPECT_EQ(word_at(bytes(), 144), v.header_address());
  for (auto const& r : db_->allocator()->allocation_list()) {
    EXPECT_FALSE(r.data == old_header && r.size == vector_header::block_size(2));
  }
  EXPECT_EQ(elements(v), (strings{"a", "inserted", "b", "c"}));
  EXPECT_EQ(neighbour.get_data(), "neighbour");
  expect_sound(v);

  // A proxy taken before a move still names its element.
  auto first = v[0];
  for (int i = 0; i < 20; ++i) v.push_back("more");
  first = "A";
  EXPECT_EQ(std::string(v[0]), "A");
  // Reopening keeps count and capacity, whatever capacity is asked for.
  long const capacity = v.capacity();
  reopen();
  d_vector<std::string> again("str_vec", 500, &env_);
  EXPECT_EQ(again.capacity(), capacity);
  EXPECT_EQ(again.count(), 24);
  EXPECT_EQ(std::string(again[0]) + std::string(again[23]), "Amore");
  expect_sound(again);
}

TEST_F(VectorTest, IndexOutsideTheElementsIsRefusedWithNothingChangedAndCountAppends) {
  d_vector<std::string> v("str_vec", 10, &env_);
  v.push_back("a");
  auto const before = bytes();
  auto refused = [](auto&& action) {
    try {
      action();
    } catch (char const* message) {
      return std::string(message) == "vector index out of range...";
    }
    return false;
  };
  EXPECT_TRUE(refused([&] { v.insert(v.begin() + 2, "x"); }));
  EXPECT_TRUE(refused([&] { v[1]; }));
  EXPECT_TRUE(refused([&] { v[-1] = "x"; }));
  EXPECT_EQ(bytes(), before);
  EXPECT_EQ(v.count(), 1);
  v.insert(v.end(), "b");  // at count: appends
  EXPECT_EQ(elements(v), (strings{"a", "b"}));
}

TEST_F(VectorTest, ElementsAreReachedThroughTheVectorsOwnDatabase) {
  // The global environment names the fixture's database; the vector lives in
  // another one.
  d_env other_env{};
  std::string const other = dir_.file("other");
  ASSERT_TRUE(create_database(other, &other_env));
  d_database* other_db = open_database(other, &other_env);
  ASSERT_EQ(p_d_env, &env_);
  auto const fixture_bytes = bytes();
  {
    d_vector<std::string> v("str_vec", 10, &other_env);
    v.push_back("in the other database");
    EXPECT_EQ(std::string(v[0]), "in the other database");
    v[0] = "replaced";
    EXPECT_EQ(std::string(v[0]), "replaced");
    EXPECT_EQ(v.check(), strings{});
  }
  EXPECT_EQ(bytes(), fixture_bytes);
  close_database(other_db);
  EXPECT_EQ(check_database_file(other + ".odb"), strings{});
}

TEST_F(VectorTest, ACountBeyondTheCapacityIsReportedAsCorruption) {
  word_t header;
  {
    d_vector<std::string> v("str_vec", 2, &env_);
    header = v.header_address();
  }
  db_->stream()->write_word(header + static_cast<word_t>(vector_header::count_offset), 3);
  EXPECT_THROW(d_vector<std::string>("str_vec", 2, &env_), char const*);
}

}  // namespace
