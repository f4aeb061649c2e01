#include <disk_tools/d_list.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

using strings = std::vector<std::string>;

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

  // A list "the_list" holding values, in order.
  d_list<std::string>& make(strings const& values) {
    list_ = std::make_unique<d_list<std::string>>("the_list", &env_);
    for (auto const& v : values) list_->push_back(v);
    return *list_;
  }

  word_t sentinel_word(d_list<std::string> const& l, std::size_t offset) {
    return word_at(bytes(), static_cast<std::size_t>(l.sentinel_address()) + offset);
  }

  void TearDown() override {
    list_.reset();
    database_test::TearDown();
  }

  std::unique_ptr<d_list<std::string>> list_;
};

// Non-increasing order: what any correct sort gives for the values.
template <class T>
std::vector<T> sorted_down(std::vector<T> v) {
  std::sort(v.rbegin(), v.rend());
  return v;
}

TEST_F(ListTest, NewListIsEmptyAndItsRecordsAreLaidOut) {
  auto& l = make({});
  EXPECT_TRUE(l.begin() == l.end());
  auto const f = bytes();
  word_t const header = word_at(f, 144);
  EXPECT_EQ(header, l.header_address());
  EXPECT_EQ(word_at(f, header), l.sentinel_address());
  EXPECT_EQ(word_at(f, header + 8), 0);
  std::size_t const s = static_cast<std::size_t>(l.sentinel_address());
  for (std::size_t o = 0; o < 24; o += 8) EXPECT_EQ(word_at(f, s + o), l.sentinel_address());
  EXPECT_EQ(word_at(f, s + 24), -1);
}

TEST_F(ListTest, InsertAtTheEndAppendsAndAtBeginPrepends) {
  auto& l = make({"middle"});
  l.insert(l.end(), "last");
  l.insert(l.begin(), "first");
  EXPECT_EQ(walk(l), (strings{"first", "middle", "last"}));
  expect_sound(l);
}

TEST_F(ListTest, RemovingTheOnlyElementLeavesTheSentinelSelfLinkedAndFreesBothBlocks) {
  auto& l = make({"alone"});
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
  auto& l = make({});
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

// Sorting swaps values, not nodes.
TEST_F(ListTest, SortGivesNonIncreasingOrderAndKeepsTheNodes) {
  auto& l = make({"b", "\xe9t\xe9", "a", "", "ab", "b", "A", "\x7f", "\x80", "GOD", "<<GOD>>"});
  auto const nodes = [&l] {
    std::vector<word_t> out;
    for (auto it = l.begin(); it != l.end(); it++) out.push_back(it.address());
    return out;
  };
  auto const before = nodes();
  auto const values = walk(l);
  l.sort(CompLess<std::string>());
  EXPECT_EQ(walk(l), sorted_down(values));
  EXPECT_EQ(nodes(), before);
  expect_sound(l);

  d_list<int> ints(&env_);
  std::vector<int> numbers;
  for (int i = 0; i < 60; ++i) numbers.push_back((i * 37) % 23 - 11);
  for (int v : numbers) ints.push_back(v);
  ints.sort(CompLess<int>());
  EXPECT_EQ(walk(ints), sorted_down(numbers));
}

TEST_F(ListTest, AssignmentReplacesTheValueOnlyAndKeepsLinksTakenLater) {
  auto& l = make({"a", "b", "c"});
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

// Erasing through the list object (at begin or at its end) removes the
// first element.
TEST_F(ListTest, ShowcaseEditsEndSortedAsLoveHateGodGod) {
  auto& l = make({});
  for (int i = 0; i < 3; ++i) l.push_front("HATE");
  for (int i = 0; i < 3; ++i) l.push_back("LOVE");
  EXPECT_EQ(walk(l), (strings{"HATE", "HATE", "HATE", "LOVE", "LOVE", "LOVE"}));
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
  make({"a", "b", "c"});
  list_.reset();
  reopen();
  auto& l = make({"d"});
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
    groups.push_back(walk(it.get_data2(it.value_address())));
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

TEST_F(ListTest, DamagedNodesAreReportedAsCorruption) {
  auto& l = make({"a", "b", "c"});
  auto it = l.begin();
  word_t const first = it.address();
  it++;
  // The second node leads back to the first: a cycle, not an endless walk.
  db_->stream()->write_word(it.address() + static_cast<word_t>(list_node::next_offset), first);
  EXPECT_FALSE(l.check().empty());
  try {
    for (auto walker = l.begin(); walker != l.end(); walker++) {
    }
    FAIL() << "the walk ended";
  } catch (char const* message) {
    EXPECT_STREQ(message, "corrupt database file...");
  }
  EXPECT_THROW(l.sort(CompLess<std::string>()), char const*);

  // A node that does not sit where it says is refused with nothing written.
  d_list<std::string> m("other", &env_);
  for (char const* v : {"a", "b"}) m.push_back(v);
  auto head = m.begin();
  db_->stream()->write_word(head.address(), head.address() + 1);
  auto const before = bytes();
  EXPECT_THROW(m.begin(), char const*);
  EXPECT_THROW(m.erase(head), char const*);
  EXPECT_THROW(m.insert(head, "x"), char const*);
  EXPECT_EQ(bytes(), before);
}

}  // namespace
