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

// Each way of removing the only element leaves the sentinel naming itself and
// frees the node and the value block.
TEST_F(ListTest, RemovingTheOnlyElementLeavesTheSentinelSelfLinkedAndFreesBothBlocks) {
  using removal = void (*)(d_list<std::string>&);
  removal const removals[] = {
      [](d_list<std::string>& l) {
        auto it = l.begin();
        l.erase(it);
      },
      [](d_list<std::string>& l) { l.pop_front(); },
      [](d_list<std::string>& l) { l.pop_back(); },
      [](d_list<std::string>& l) { l.clear(); },
  };
  for (removal remove : removals) {
    auto& l = make({"alone"});
    auto it = l.begin();
    word_t const node = it.address(), value = it.value_address();
    remove(l);
    EXPECT_EQ(sentinel_word(l, list_node::next_offset), l.sentinel_address());
    EXPECT_EQ(sentinel_word(l, list_node::prev_offset), l.sentinel_address());
    EXPECT_EQ(sentinel_word(l, list_sentinel::count_offset), 0);
    EXPECT_EQ(word_at(bytes(), static_cast<std::size_t>(l.header_address()) + 8), 0);
    auto const freed = db_->allocator()->free_list();
    for (word_t block : {node, value}) {
      EXPECT_TRUE(std::any_of(freed.begin(), freed.end(), [&](auto const& r) { return r.data == block; }));
    }
    EXPECT_EQ(db_->allocator()->allocation_list().size(), 2u);  // the header and the sentinel
    expect_sound(l);
    reopen();
  }
}

// Erasing leaves an empty list as it is; popping from one is refused. Neither
// writes a byte.
TEST_F(ListTest, AnEmptyListIsLeftAsItIsByEraseAndRefusesPops) {
  auto& l = make({});
  auto const before = bytes();
  auto first = l.begin();
  l.erase(first);
  dl_iterator<std::string> at_end(l);
  l.erase(at_end);
  l.clear();
  for (auto pop : {&d_list<std::string>::pop_front, &d_list<std::string>::pop_back}) {
    try {
      (l.*pop)();
      ADD_FAILURE() << "popped from an empty list";
    } catch (char const* message) {
      EXPECT_STREQ(message, "list is empty...");
    }
  }
  EXPECT_EQ(bytes(), before);
  EXPECT_TRUE(l.empty());
}

// Sorting moves value addresses between nodes; the nodes and links stay.
TEST_F(ListTest, SortKeepsTheNodes) {
  auto& l = make({"b", "\xe9t\xe9", "a", "", "ab", "b", "A"});
  auto const nodes = [&l] {
    std::vector<word_t> out;
    for (auto it = l.begin(); it != l.end(); it++) out.push_back(it.address());
    return out;
  };
  auto const before = nodes();
  l.sort(CompLess<std::string>());
  EXPECT_EQ(nodes(), before);
  EXPECT_EQ(walk(l), (strings{"\xe9t\xe9", "b", "b", "ab", "a", "A", ""}));
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

// An element of a list of lists is the inner list's handle slot and count.
TEST_F(ListTest, AnInnerListIsStoredAsItsHandleSlotAndCount) {
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
  EXPECT_THROW(l.clear(), char const*);

  // The last node's prev names itself: a backward walk never reaches the
  // first node.
  d_list<std::string> back("back", &env_);
  for (char const* v : {"a", "b"}) back.push_back(v);
  word_t const last = std::prev(back.end()).address();
  db_->stream()->write_word(last + static_cast<word_t>(list_node::prev_offset), last);
  EXPECT_THROW(
      for (auto walker = back.rbegin(); walker != back.rend(); ++walker) {}, char const*);

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
