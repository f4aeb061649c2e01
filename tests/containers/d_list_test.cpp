#include "d_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

class ListTest : public test_support::database_test {
 protected:
  template <class T>
  static std::vector<T> walk(d_list<T>& list) {
    std::vector<T> out;
    for (auto it = list.begin(); it != list.end(); it++) out.push_back(dl_assign<T>(it));
    return out;
  }

  template <class T>
  static void expect_sound(d_list<T> const& list) {
    EXPECT_EQ(list.check(), std::vector<std::string>{});
  }

  word_t sentinel_word(d_list<std::string> const& l, std::size_t offset) {
    return word_at(bytes(), static_cast<std::size_t>(l.sentinel_address()) + offset);
  }
};

using strings = std::vector<std::string>;

TEST_F(ListTest, NewListIsEmptyAndItsRecordsAreLaidOut) {
  d_list<std::string> l("the_list", &env_);
  EXPECT_TRUE(l.begin() == l.end());
  auto const f = bytes();
  word_t const header = word_at(f, 144);
  EXPECT_EQ(header, l.header_address());
  EXPECT_EQ(word_at(f, header), l.sentinel_address());
  EXPECT_EQ(word_at(f, header + 8), 0);
  std::size_t const s = static_cast<std::size_t>(l.sentinel_address());
  EXPECT_EQ(word_at(f, s), l.sentinel_address());
  EXPECT_EQ(word_at(f, s + 8), l.sentinel_address());
  EXPECT_EQ(word_at(f, s + 16), l.sentinel_address());
  EXPECT_EQ(word_at(f, s + 24), -1);
  expect_sound(l);
}

TEST_F(ListTest, PushesAtBothEndsWalkInOrder) {
  d_list<std::string> l("the_list", &env_);
  for (int i = 0; i < 3; ++i) l.push_front("HATE");
  for (int i = 0; i < 3; ++i) l.push_back("LOVE");
  EXPECT_EQ(walk(l), (strings{"HATE", "HATE", "HATE", "LOVE", "LOVE", "LOVE"}));
  EXPECT_EQ(l.count(), 6);
  expect_sound(l);
}

TEST_F(ListTest, EraseThroughTheListObjectRemovesTheFirstElement) {
  d_list<std::string> l("the_list", &env_);
  for (char const* s : {"a", "b", "c"}) l.push_back(s);
  auto at_begin = l.begin();
  l.erase(at_begin);
  EXPECT_EQ(dl_assign<std::string>(at_begin).get_data(), "b");
  dl_iterator<std::string> at_end(l);
  l.erase(at_end);
  EXPECT_TRUE(at_end == l.end());
  EXPECT_EQ(walk(l), strings{"c"});
  auto fresh = l.begin();
  EXPECT_EQ(dl_assign<std::string>(fresh).get_data(), "c");
  expect_sound(l);
}

TEST_F(ListTest, InsertAtTheEndAppendsAndAtBeginPrepends) {
  d_list<std::string> l("the_list", &env_);
  l.push_back("middle");
  l.insert(l.end(), "last");
  l.insert(l.begin(), "first");
  EXPECT_EQ(walk(l), (strings{"first", "middle", "last"}));
  expect_sound(l);
}

TEST_F(ListTest, RemovingTheOnlyElementLeavesTheSentinelSelfLinkedAndFreesBothBlocks) {
  d_list<std::string> l("the_list", &env_);
  l.push_back("alone");
  auto it = l.begin();
  word_t const node = it.address(), value = it.value_address();
  l.erase(it);
  EXPECT_EQ(sentinel_word(l, list_node::next_offset), l.sentinel_address());
  EXPECT_EQ(sentinel_word(l, list_node::prev_offset), l.sentinel_address());
  EXPECT_EQ(sentinel_word(l, list_sentinel::count_offset), 0);
  auto const freed = db_->allocator()->free_list();
  ASSERT_EQ(freed.size(), 2u);
  EXPECT_EQ(freed[0].data, node);
  EXPECT_EQ(freed[1].data, value);
  expect_sound(l);
}

TEST_F(ListTest, EraseOnAnEmptyListChangesNothing) {
  d_list<std::string> l("the_list", &env_);
  auto const before = bytes();
  auto first = l.begin();
  l.erase(first);
  dl_iterator<std::string> at_end(l);
  l.erase(at_end);
  EXPECT_EQ(bytes(), before);
  l.push_back("still works");
  EXPECT_EQ(walk(l), strings{"still works"});
  expect_sound(l);
}

// Reference: the exchange sort that moves the larger value forward.
template <class T>
std::vector<T> exchange_sorted(std::vector<T> v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    for (std::size_t j = i + 1; j < v.size(); ++j) {
      if (v[i] < v[j]) std::swap(v[i], v[j]);
    }
  }
  return v;
}

TEST_F(ListTest, SortGivesNonIncreasingOrderAndKeepsTheNodes) {
  d_list<std::string> l("the_list", &env_);
  for (char const* s : {"HATE", "<<GOD>>", "GOD", "LOVE"}) l.push_back(s);
  std::vector<word_t> nodes;
  for (auto it = l.begin(); it != l.end(); it++) nodes.push_back(it.address());
  l.sort(CompLess<std::string>());
  EXPECT_EQ(walk(l), (strings{"LOVE", "HATE", "GOD", "<<GOD>>"}));
  std::vector<word_t> after;
  for (auto it = l.begin(); it != l.end(); it++) after.push_back(it.address());
  EXPECT_EQ(after, nodes);
  expect_sound(l);

  d_list<int> ints(&env_);
  for (int i : {1, 2, 3}) ints.push_back(i);
  ints.sort(CompLess<int>());
  EXPECT_EQ(walk(ints), (std::vector<int>{3, 2, 1}));
}

TEST_F(ListTest, SortMatchesTheExchangeSortOnRepeatsNegativesAndHighBytes) {
  d_list<int> ints(&env_);
  std::vector<int> values;
  for (int i = 0; i < 60; ++i) values.push_back((i * 37) % 23 - 11);
  for (int v : values) ints.push_back(v);
  ints.sort(CompLess<int>());
  EXPECT_EQ(walk(ints), exchange_sorted(values));

  d_list<std::string> l("the_list", &env_);
  strings const words{"b", "\xe9t\xe9", "a", "", "ab", "b", "A", "\x7f", "\x80"};
  for (auto const& w : words) l.push_back(w);
  l.sort(CompLess<std::string>());
  EXPECT_EQ(walk(l), exchange_sorted(words));
  expect_sound(l);
}

TEST_F(ListTest, AssignmentReplacesTheValueOnlyAndKeepsLinksTakenLater) {
  d_list<std::string> l("the_list", &env_);
  for (char const* s : {"a", "b", "c"}) l.push_back(s);
  auto second = l.begin();
  second++;
  word_t const node = second.address();
  // An insertion before the element changes its record after the iterator
  // copied it; the assignment must not write the old links back.
  l.insert(second, "x");
  dl_assign<std::string>(second, second.allocator(), second.stream()) = "B, now longer";
  EXPECT_EQ(walk(l), (strings{"a", "x", "B, now longer", "c"}));
  EXPECT_EQ(second.address(), node);
  expect_sound(l);
}

TEST_F(ListTest, ShowcaseEditsEndSortedAsLoveHateGodGod) {
  d_list<std::string> l("the_list", &env_);
  for (int i = 0; i < 3; ++i) l.push_front("HATE");
  for (int i = 0; i < 3; ++i) l.push_back("LOVE");
  auto first = l.begin();
  l.erase(first);
  dl_iterator<std::string> sentinel(l);
  l.erase(sentinel);
  auto it = l.begin();
  it++;
  it++;
  it++;
  l.insert(it, "GOD");
  EXPECT_EQ(walk(l), (strings{"HATE", "LOVE", "LOVE", "GOD", "LOVE"}));
  auto second = l.begin();
  second++;
  l.erase(second);
  auto again = l.begin();
  again++;
  dl_assign<std::string>(again, again.allocator(), again.stream()) = "<<GOD>>";
  l.sort(CompLess<std::string>());
  EXPECT_EQ(walk(l), (strings{"LOVE", "HATE", "GOD", "<<GOD>>"}));
  expect_sound(l);
}

TEST_F(ListTest, ReopenedListRestoresItsCountAndKeepsBothHomesEqual) {
  {
    d_list<std::string> l("the_list", &env_);
    for (char const* s : {"a", "b", "c"}) l.push_back(s);
  }
  reopen();
  d_list<std::string> l("the_list", &env_);
  EXPECT_EQ(l.count(), 3);
  l.push_back("d");
  EXPECT_EQ(l.count(), 4);
  EXPECT_EQ(word_at(bytes(), static_cast<std::size_t>(l.header_address()) + 8), 4);
  EXPECT_EQ(sentinel_word(l, list_sentinel::count_offset), 4);
  expect_sound(l);
}

TEST_F(ListTest, ListOfListsReadsTheInnerValuesThroughTheView) {
  d_list<d_list<int>> ll("ll", &env_);
  d_list<int> ints(&env_);
  for (int i : {1, 2, 3}) ints.push_back(i);
  ints.sort(CompLess<int>());
  ll.push_back(ints);
  EXPECT_EQ(ll.get_size(ints), 16u);
  std::vector<std::vector<int>> groups;
  for (auto it = ll.begin(); it != ll.end(); it++) {
    d_list<int>& inner = it.get_data2(it.value_address());
    groups.push_back(walk(inner));
  }
  EXPECT_EQ(groups, (std::vector<std::vector<int>>{{3, 2, 1}}));
  expect_sound(ll);
}

TEST_F(ListTest, ReopenedListStoredInAListOfListsIsReadBackWithItsCount) {
  {
    d_list<int> ints("ints", &env_);
    for (int i : {1, 2, 3}) ints.push_back(i);
  }
  reopen();
  d_list<int> ints("ints", &env_);
  word_t const slot = db_->get_address("ints");
  EXPECT_EQ(ints.handle(), slot);
  d_list<d_list<int>> ll("ll", &env_);
  ll.push_back(ints);
  auto it = ll.begin();
  EXPECT_EQ(word_at(bytes(), static_cast<std::size_t>(it.value_address())), slot);
  d_list<int>& view = it.get_data2(it.value_address());
  EXPECT_EQ(view.count(), 3);
  EXPECT_EQ(walk(view), (std::vector<int>{1, 2, 3}));
  // The view is a working list: a push through it is seen by the list itself.
  view.push_back(4);
  EXPECT_EQ(walk(ints), (std::vector<int>{1, 2, 3, 4}));
  expect_sound(ints);
}

TEST_F(ListTest, ACycleOfNodesIsReportedAsCorruptionNotWalkedForever) {
  d_list<std::string> l("the_list", &env_);
  for (char const* s : {"a", "b", "c"}) l.push_back(s);
  auto it = l.begin();
  word_t const first = it.address();
  it++;
  word_t const second = it.address();
  // The second node leads back to the first instead of to the third.
  io_tools::bfstream& s = *db_->stream();
  s.write_word(second + static_cast<word_t>(list_node::next_offset), first);
  EXPECT_FALSE(l.check().empty());
  try {
    for (auto walker = l.begin(); walker != l.end(); walker++) {
    }
    FAIL() << "the walk ended";
  } catch (char const* message) {
    EXPECT_STREQ(message, "corrupt database file...");
  }
  EXPECT_THROW(l.sort(CompLess<std::string>()), char const*);
}

TEST_F(ListTest, ANodeThatDoesNotSitWhereItSaysIsRefusedWithNothingWritten) {
  d_list<std::string> l("the_list", &env_);
  l.push_back("a");
  l.push_back("b");
  auto first = l.begin();
  db_->stream()->write_word(first.address(), first.address() + 1);
  auto const before = bytes();
  EXPECT_THROW(l.begin(), char const*);
  EXPECT_THROW(l.erase(first), char const*);
  EXPECT_THROW(l.insert(first, "x"), char const*);
  EXPECT_EQ(bytes(), before);
}

}  // namespace
