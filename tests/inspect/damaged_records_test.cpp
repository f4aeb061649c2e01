// Operations that meet a damaged count or link refuse with "corrupt database
// file..." before it sizes or aims a write; damage comes through the open stream.
#include <gtest/gtest.h>

#include <limits>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_map.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using number_map = d_map<unsigned, unsigned, unsigned>;
using string_table = d_hashmap<std::string, std::string>;
constexpr word_t largest = std::numeric_limits<word_t>::max();

class DamagedRecordsTest : public test_support::database_test {
 protected:
  void damage_word(word_t at, word_t value) { db_->stream()->write_word(at, value); }
  template <class Op>
  void expect_refused(Op op) {
    EXPECT_EQ(test_support::thrown_by(op), io_tools::corrupt_file_message);
  }
};

TEST_F(DamagedRecordsTest, CountsBeyondWhatTheFileHoldsAreRefused) {
  word_t table_header = -1, map_header_at = -1;
  {
    string_table table("table", 10, &env_);
    table["key"] = "value";
    number_map map("map", &env_);
    map.insert(1, 1);
    table_header = table.header_address();
    map_header_at = map.header_address;
  }
  damage_word(table_header + static_cast<word_t>(hashmap_header::count_offset), largest);
  damage_word(map_header_at + static_cast<word_t>(map_header::size_offset), largest);
  expect_refused([&] { string_table("table", 10, &env_)["new key"] = "value"; });
  expect_refused([&] { number_map("map", &env_).insert(2, 2); });
}

TEST_F(DamagedRecordsTest, AllocatorRefusesListLinksOfTheLargestWord) {
  // The allocator's mirror walks both lists: a link is checked before it is followed.
  text_tools::bstringstream none;
  for (word_t const head : {alloc_list_head, free_list_head}) {
    SCOPED_TRACE(head == alloc_list_head ? "allocation list" : "free list");
    close();
    ASSERT_TRUE(create_database(name(), &env_));
    reopen();
    db_->allocator()->deallocate(db_->allocator()->allocate(10, none));
    db_->allocator()->allocate(20, none);
    close();
    auto f = bytes();
    auto const first = static_cast<std::size_t>(test_support::word_at(f, head));
    encode_word(&f.at(first + d_alloc_node::next_offset), largest);
    test_support::write_file(path(), f);
    reopen();
    expect_refused([&] { db_->allocator()->allocate(30, none); });
  }
}

}  // namespace
