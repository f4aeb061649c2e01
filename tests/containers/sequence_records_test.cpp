// The list's records and the vector's header byte for byte, the vector's refusals, and damaged
// nodes and counts. (Every operation against std::list and std::vector: sequence_model_test.cpp.)
#include <disk_tools/d_list.h>
#include <disk_tools/d_vector.h>

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::code_thrown_by;
using test_support::thrown_by;
using test_support::word_at;

namespace {

using ListTest = test_support::database_test;

TEST_F(ListTest, NewListRecordsAreLaidOutAndAnInnerListIsStoredAsItsHandleSlotAndCount) {
  d_list<std::string> l("the_list", &env_);
  auto const f = bytes();
  word_t const header = word_at(f, 144);
  EXPECT_EQ(header, l.header_address());
  word_t const s = l.sentinel_address();
  std::vector<word_t> words;
  for (word_t at : {header, header + 8, s, s + 8, s + 16, s + 24})
    words.push_back(word_at(f, static_cast<std::size_t>(at)));
  EXPECT_EQ(words, std::vector<word_t>({s, 0, s, s, s, -1}));
  // An element of a list of lists is the inner list's handle slot and count.
  {
    d_list<int> ints("ints", &env_);
    for (int i : {1, 2, 3}) ints.push_back(i);
  }
  reopen();
  d_list<int> ints("ints", &env_);
  d_list<d_list<int>> ll("ll", &env_);
  ll.push_back(ints);
  auto const value = static_cast<std::size_t>(ll.begin().value_address());
  EXPECT_EQ(word_at(bytes(), value), db_->get_address("ints"));
  EXPECT_EQ(word_at(bytes(), value + 8), 3);
}

TEST_F(ListTest, DamagedNodesAreReportedAsCorruption) {
  d_list<std::string> l("the_list", &env_), back("back", &env_), m("other", &env_);
  for (auto* list : {&l, &back, &m})
    for (char const* v : {"a", "b", "c"}) list->push_back(v);
  // The second node leads back to the first: a cycle, not an endless walk.
  word_t const first = l.begin().address(), second = std::next(l.begin()).address();
  db_->stream()->write_word(second + static_cast<word_t>(list_node::next_offset), first);
  EXPECT_FALSE(l.check().empty());
  EXPECT_EQ(thrown_by([&] { for (auto it = l.begin(); it != l.end(); it++) {} }),
            "corrupt database file...");
  EXPECT_EQ(thrown_by([&] { for (std::string_view s : l.views()) (void)s; }),
            "corrupt database file...");
  EXPECT_EQ(code_thrown_by([&] { l.clear(); }), errc::corrupt);
  // The last node's prev names itself: a backward walk never reaches the first node.
  word_t const last = std::prev(back.end()).address();
  db_->stream()->write_word(last + static_cast<word_t>(list_node::prev_offset), last);
  EXPECT_EQ(code_thrown_by([&] { for (auto it = back.rbegin(); it != back.rend(); ++it) {} }),
            errc::corrupt);
  // A node that does not sit where it says is refused with nothing written.
  auto head = m.begin();
  db_->stream()->write_word(head.address(), head.address() + 1);
  auto const before = bytes();
  EXPECT_EQ(code_thrown_by([&] { m.begin(); }), errc::corrupt);
  EXPECT_EQ(code_thrown_by([&] { m.views().begin(); }), errc::corrupt);
  EXPECT_EQ(code_thrown_by([&] { m.insert(head, "x"); }), errc::corrupt);
  EXPECT_EQ(bytes(), before);
}

// A position another list made names that list's node, which an insert or
// erase here would relink into this one: refused, with nothing written.
TEST_F(ListTest, InsertAndEraseRefuseAnotherListsIterator) {
  d_list<std::string> a("a", &env_), b("b", &env_);
  for (char const* v : {"a1", "a2"}) a.push_back(v);
  b.push_back("b1");
  auto const before = bytes();
  for (auto pos : {b.begin(), b.end()}) {
    EXPECT_EQ(code_thrown_by([&] { a.insert(pos, "x"); }), errc::out_of_range);
    EXPECT_EQ(code_thrown_by([&] { a.erase(pos); }), errc::out_of_range);
  }
  EXPECT_EQ(bytes(), before);
  auto mine = std::next(a.begin());
  a.erase(mine);
  a.insert(mine, "a3");
  EXPECT_EQ(std::vector<std::string>(a.begin(), a.end()), (std::vector<std::string>{"a1", "a3"}));
}

// A list object made without a database (and never given one) says so, whatever is
// asked of it, rather than that a database it never had was closed.
TEST_F(ListTest, AListNeverAttachedIsRefusedAsNotAttached) {
  d_list<std::string> unattached;
  std::vector<std::function<void()>> const uses = {
      [&] { unattached.push_back("a"); },  [&] { unattached.push_front("a"); },
      [&] { unattached.pop_front(); },     [&] { unattached.pop_back(); },
      [&] { (void)unattached.size(); },    [&] { (void)unattached.empty(); },
      [&] { (void)unattached.begin(); },   [&] { (void)unattached.front(); },
      [&] { unattached.clear(); },         [&] { (void)unattached.views(); }};
  auto const before = bytes();
  for (std::size_t i = 0; i < uses.size(); ++i) {
    SCOPED_TRACE("use " + std::to_string(i));
    try {
      uses[i]();
      ADD_FAILURE() << "no error";
    } catch (error const& e) {
      EXPECT_EQ(std::string(e.what()), "list not attached...");
      EXPECT_EQ(e.code(), errc::not_attached);
    }
  }
  EXPECT_EQ(bytes(), before);
}

using VectorTest = test_support::database_test;

TEST_F(VectorTest, NewVectorHasAHeaderOfCapacityCountAndSlotsOrNoneWhenNamedWithoutOne) {
  d_vector<std::string> v("str_vec", 100, &env_);
  auto const f = bytes();
  auto const header = static_cast<std::size_t>(v.header_address());
  EXPECT_EQ(std::vector<word_t>({word_at(f, 144), word_at(f, header), word_at(f, header + 8)}),
            std::vector<word_t>({v.header_address(), 100, 0}));
  auto const in_use = db_->allocator()->allocation_list();
  ASSERT_EQ(in_use.size(), 1u);
  EXPECT_EQ(in_use[0].size, 816);
  // Named without a capacity, a vector starts with no slots and grows.
  d_vector<std::string> grown("grown", &env_);
  EXPECT_EQ(grown.capacity(), 0);
  for (char const* s : {"a", "b", "c", "d", "e"}) grown.push_back(s);
  EXPECT_EQ(grown.capacity(), 8);
  d_vector<std::string> again("grown", 100, &env_, d_root::existing);
  EXPECT_EQ(std::vector<std::string>(again.begin(), again.end()),
            std::vector<std::string>({"a", "b", "c", "d", "e"}));
}

TEST_F(VectorTest, WhatCannotBeDoneIsRefusedWithNothingChanged) {
  d_vector<std::string> v("str_vec", 10, &env_);
  v.push_back("a");
  auto const before = bytes();
  char const* const out_of_range = "vector index out of range...";
  EXPECT_EQ(thrown_by([&] { v.insert(v.begin() + 2, "x"); }), out_of_range);
  EXPECT_EQ(thrown_by([&] { v[1]; }), out_of_range);
  EXPECT_EQ(thrown_by([&] { v.views()[1]; }), out_of_range);
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
  EXPECT_EQ(code_thrown_by([&] { it.view(); }), errc::corrupt);
  EXPECT_EQ(code_thrown_by([&] { d_vector<std::string>("str_vec", 2, &env_); }),
            errc::corrupt);
}

// Views of all the elements are taken with the checks a read makes, and are
// good until the next change, like view()'s; a build that checks (no NDEBUG)
// refuses them after one rather than read what may have moved.
template <class C>
void views_until_a_change(d_env* env, char const* name) {
  C c(name, env);
  for (char const* s : {"a", "bb", "ccc"}) c.push_back(s);
  auto const views = c.views();
  std::vector<std::string_view> const walked(views.begin(), views.end());
  EXPECT_EQ(walked, (std::vector<std::string_view>{"a", "bb", "ccc"}));
  c.push_back("dddd");
#ifndef NDEBUG
  EXPECT_EQ(code_thrown_by([&] { *views.begin(); }), errc::out_of_range);
  EXPECT_EQ(std::distance(c.views().begin(), c.views().end()), 4);
#endif
}

TEST_F(VectorTest, ViewsOfEveryElementOfAVectorOrListReadInPlaceUntilTheNextChange) {
  views_until_a_change<d_vector<std::string>>(&env_, "vector");
  views_until_a_change<d_list<std::string>>(&env_, "list");
#ifdef NDEBUG
  GTEST_SKIP() << "a build with NDEBUG trusts the caller to take views again after a change";
#endif
}

}  // namespace
