// Operations that meet a damaged count or link refuse with "corrupt database
// file..." before it sizes or aims a write; damage comes through the open stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
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

// A slot table's words are checked before they are followed: slots naming
// entries past the count, a count past the room for entries, a slot count that
// is not a power of 2, and the widths of other types each refuse the first
// lookups instead of reading past the table or taking other bytes for keys.
TEST_F(DamagedRecordsTest, SlotTableWordsAreCheckedBeforeTheyAreFollowed) {
  using slot_table = d_hashmap<std::uint64_t, std::uint64_t>;
  struct damage {
    char const* what;
    std::function<void(io_tools::bfstream&, word_t header, word_t slots)> apply;
    std::string message;
  };
  std::vector<damage> const damages = {
      {"slots naming entries past the count",
       [](io_tools::bfstream& s, word_t header, word_t slots) {
         for (word_t i = 0; i < slots; ++i) {
           word_t const at = hashmap_slots::slot_address(header, i);
           if (word_t const w = s.read_word(at)) s.write_word(at, (w & ~word_t{0xffffffff}) | 1000);
         }
       },
       io_tools::corrupt_file_message},
      {"a count past the room for entries",
       [](io_tools::bfstream& s, word_t header, word_t slots) {
         hashmap_header::write_count(s, header, hashmap_slots::capacity(slots) + 1);
       },
       io_tools::corrupt_file_message},
      {"a slot count that is not a power of 2",
       [](io_tools::bfstream& s, word_t header, word_t slots) {
         s.write_word(header + 8, hashmap_slots::table_word(slots - 1, hash_kind::strong));
       },
       io_tools::corrupt_file_message},
      {"the widths of other types",
       [](io_tools::bfstream& s, word_t header, word_t) {
         s.write_word(header + static_cast<word_t>(hashmap_slots::widths_offset),
                      hashmap_slots::widths_word(4, 4));
       },
       "hash map is not a slot table of this map's key and value widths..."},
  };
  for (auto const& d : damages) {
    SCOPED_TRACE(d.what);
    afresh();
    word_t header = -1, slots = 0;
    {
      slot_table table("t", &env_);
      for (std::uint64_t k = 0; k < 10; ++k) table.put(k, k);
      header = table.header_address();
      slots = table.buckets();
    }
    d.apply(*db_->stream(), header, slots);
    EXPECT_EQ(test_support::thrown_by([&] {
                slot_table table("t", &env_);
                std::uint64_t v = 0;
                for (std::uint64_t k = 0; k < 10; ++k) table.get(k, v);
              }),
              d.message);
  }
}

}  // namespace
