// The vector's header byte for byte, refusals, damage.
// (Every operation and header move against std::vector: sequence_model_test.cpp.)
#include <disk_tools/d_vector.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

using VectorTest = test_support::database_test;

TEST_F(VectorTest, NewVectorHasAHeaderOfCapacityCountAndSlots) {
  d_vector<std::string> v("str_vec", 100, &env_);
  auto const f = bytes();
  auto const header = static_cast<std::size_t>(v.header_address());
  EXPECT_EQ(std::vector<word_t>({word_at(f, 144), word_at(f, header), word_at(f, header + 8)}),
            std::vector<word_t>({v.header_address(), 100, 0}));
  auto const in_use = db_->allocator()->allocation_list();
  ASSERT_EQ(in_use.size(), 1u);
  EXPECT_EQ(in_use[0].size, 816);
}

TEST_F(VectorTest, AVectorNamedWithoutACapacityStartsWithNoSlotsAndGrows) {
  d_vector<std::string> v("str_vec", &env_);
  EXPECT_EQ(v.capacity(), 0);
  for (char const* s : {"a", "b", "c", "d", "e"}) v.push_back(s);
  EXPECT_EQ(v.capacity(), 8);
  d_vector<std::string> again("str_vec", 100, &env_, d_root::existing);
  EXPECT_EQ(std::vector<std::string>(again.begin(), again.end()),
            std::vector<std::string>({"a", "b", "c", "d", "e"}));
}

TEST_F(VectorTest, WhatCannotBeDoneIsRefusedWithNothingChanged) {
  d_vector<std::string> v("str_vec", 10, &env_);
  v.push_back("a");
  auto const before = bytes();
  using test_support::thrown_by;
  char const* const out_of_range = "vector index out of range...";
  EXPECT_EQ(thrown_by([&] { v.insert(v.begin() + 2, "x"); }), out_of_range);
  EXPECT_EQ(thrown_by([&] { v[1]; }), out_of_range);
  EXPECT_EQ(thrown_by([&] { v[-1] = "x"; }), out_of_range);
  EXPECT_EQ(thrown_by([&] { v.resize(-1); }), "invalid container size...");
  EXPECT_EQ(thrown_by([&] { v.reserve(long{1} << 40); }), "invalid container size...");
  EXPECT_EQ(bytes(), before);
}

// A count beyond the capacity is corruption, found at the opening; a position
// keeps the header it read, and once another object changed the vector it
// reads the header again and catches a count damaged since.
TEST_F(VectorTest, ACountBeyondTheCapacityIsCaughtAtOpeningAndByAKeptPositionAfterAChange) {
  d_vector<std::string> v("str_vec", 2, &env_);
  v.push_back("a");
  auto const it = v.begin();
  d_vector<std::string>("str_vec", 2, &env_).push_back("b");
  auto const count_word = v.header_address() + static_cast<word_t>(vector_header::count_offset);
  db_->stream()->write_word(count_word, 3);
  EXPECT_EQ(test_support::code_thrown_by([&] { it.view(); }), errc::corrupt);
  EXPECT_EQ(test_support::code_thrown_by([&] { d_vector<std::string>("str_vec", 2, &env_); }),
            errc::corrupt);
}

}  // namespace
