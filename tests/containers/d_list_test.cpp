// The list's records byte for byte, and damaged nodes. (Every operation against
// std::list: sequence_model_test.cpp.)
#include <disk_tools/d_list.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
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
  d_list<std::string> l("the_list", &env_);
  for (char const* v : {"a", "b", "c"}) l.push_back(v);
  auto it = l.begin();
  word_t const first = it.address();
  it++;
  // The second node leads back to the first: a cycle, not an endless walk.
  db_->stream()->write_word(it.address() + static_cast<word_t>(list_node::next_offset), first);
  EXPECT_FALSE(l.check().empty());
  EXPECT_EQ(test_support::thrown_by([&] {
              for (auto walker = l.begin(); walker != l.end(); walker++) {
              }
            }),
            "corrupt database file...");
  EXPECT_EQ(test_support::code_thrown_by([&] { l.clear(); }), errc::corrupt);

  // The last node's prev names itself: a backward walk never reaches the
  // first node.
  d_list<std::string> back("back", &env_);
  for (char const* v : {"a", "b"}) back.push_back(v);
  word_t const last = std::prev(back.end()).address();
  db_->stream()->write_word(last + static_cast<word_t>(list_node::prev_offset), last);
  EXPECT_EQ(test_support::code_thrown_by([&] {
              for (auto walker = back.rbegin(); walker != back.rend(); ++walker) {
              }
            }),
            errc::corrupt);

  // A node that does not sit where it says is refused with nothing written.
  d_list<std::string> m("other", &env_);
  for (char const* v : {"a", "b"}) m.push_back(v);
  auto head = m.begin();
  db_->stream()->write_word(head.address(), head.address() + 1);
  auto const before = bytes();
  EXPECT_EQ(test_support::code_thrown_by([&] { m.begin(); }), errc::corrupt);
  EXPECT_EQ(test_support::code_thrown_by([&] { m.insert(head, "x"); }), errc::corrupt);
  EXPECT_EQ(bytes(), before);
}

}  // namespace
