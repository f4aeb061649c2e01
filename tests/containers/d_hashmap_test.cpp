#include <disk_tools/d_hashmap.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::code_thrown_by;
using test_support::thrown_by;
using test_support::word_at;

namespace {

using map_t = d_hashmap<std::string, std::string, string_hash>;
using strong_map = d_hashmap<std::string, std::string, strong_string_hash>;
using strings = std::vector<std::string>;

class HashMapTest : public test_support::database_test {
 protected:
  word_t word(word_t address) { return word_at(bytes(), static_cast<std::size_t>(address)); }
};

// Bytes of 0x80 and above count as negative: the difference from 2^63 - 1
// then exceeds a signed word and is taken without sign.
TEST(StringHash, BucketsFollowTheWeightedSumAndNegativeSumsStayInRange) {
  string_hash const hash;
  EXPECT_EQ(std::vector<word_t>({hash("z"), hash("hello"), hash("\xff\xff")}),
            std::vector<word_t>({0, 1085, -1}));
  EXPECT_EQ(std::vector<word_t>({bucket_of(hash("hello"), 1000), bucket_of(-1, 1000),
                                 bucket_of(hash("a\x80\x80"), 1000), bucket_of(INT64_MIN, 1000)}),
            std::vector<word_t>({722, 808, 191, 615}));
  EXPECT_EQ(bucket_of(INT64_MIN, 7), static_cast<word_t>(UINT64_MAX % 7));
}

// The keys the weighted sum gives 308 values spread like random ones: all
// distinct, and no chain much longer than a random placement would make
// (about 100 keys a bucket at 1 000 buckets, 1 at 100 000).
TEST(StrongStringHash, SpreadsLookAlikeKeysOverTheBuckets) {
  strong_string_hash const hash;
  std::set<long> distinct;
  std::vector<int> small(1000), large(100000);
  for (int i = 0; i < 100000; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "user_%05d", i);
    long const h = hash(key);
    distinct.insert(h);
    ++small[static_cast<std::size_t>(bucket_of(h, 1000))];
    ++large[static_cast<std::size_t>(bucket_of(h, 100000))];
  }
  EXPECT_EQ(distinct.size(), 100000u);
  EXPECT_LE(*std::max_element(small.begin(), small.end()), 150);
  EXPECT_LE(*std::max_element(large.begin(), large.end()), 10);
  // The length goes in first, so a 0 byte at the end is no padding.
  EXPECT_NE(hash(std::string("ab")), hash(std::string("ab\0", 3)));
}

// The table word of the strong hash carries its kind above the count: a reader that knows no
// kinds sees a table running past the end of the file. The entry of a new key heads its chain:
// next, KL, key, VL, value; an erase relinks the word that led to it (freed entries and old
// tables: blocks in use, hashmap_model_test).
TEST_F(HashMapTest, NewMapHasCountBucketsAndEmptyChainsAndANewKeyHeadsItsChain) {
  map_t m("htable", 1000, &env_);
  auto const f = bytes();
  auto const header = static_cast<std::size_t>(word_at(f, 144));
  ASSERT_EQ(static_cast<word_t>(header), m.header_address());
  EXPECT_EQ(word_at(f, header), 0);
  EXPECT_EQ(word_at(f, header + 8), 1000);
  for (std::size_t b = 0; b < 1000; ++b) ASSERT_EQ(word_at(f, header + 16 + 8 * b), -1) << b;
  EXPECT_EQ(db_->allocator()->allocation_list().at(0).size, 8016);
  strong_map strong("strong", 1000, &env_);
  EXPECT_EQ(word(strong.header_address() + 8), (word_t{1} << 56) + 1000);
  EXPECT_GT(word(strong.header_address() + 8), length() / 8);
  word_t const a = m.put("a", "1");
  word_t const b = m.put("b", "2");
  word_t const bucket = m.bucket_word("a");
  EXPECT_EQ(bucket, m.header_address() + 16 + 8 * 807);
  EXPECT_EQ(std::vector<word_t>({word(bucket), word(b), word(a), word(a + 8), word(a + 18)}),
            std::vector<word_t>({b, a, -1, 2, 2}));
  EXPECT_TRUE(m.erase("b"));
  EXPECT_EQ(word(bucket), a);
  EXPECT_EQ(thrown_by([&] { m.rehash(0); }), "invalid container size...");
  // More buckets than a map may be made with: the next opening would take the table for damage.
  EXPECT_EQ(thrown_by([&] { m.rehash(long{1} << 40); }), "invalid container size...");
}

// A map of either hash opened with the other is refused before any lookup; a map laid out by hand
// as the code before recorded kinds wrote it opens with the default hash.
TEST_F(HashMapTest, AMapOpensOnlyWithTheHashItWasBuiltWith) {
  word_t const header = create_hashmap(3, db_);
  hashmap_entry const entry{no_address, "key", "value"};
  text_tools::bstringstream block;
  entry.encode(block);
  word_t const at = db_->allocator()->allocate(static_cast<long>(block.size()), block);
  db_->stream()->write_word(
      hashmap_header::bucket_address(header, bucket_of(string_hash()("key"), 3)), at);
  hashmap_header::write_count(*db_->stream(), header, 1);
  db_->stream()->write_word(root_slot(db_, "old"), header);
  reopen();
  char const* const other_hash = "hash map was built with another hash...";
  EXPECT_EQ(thrown_by([&] { strong_map("old", 3, &env_); }), other_hash);
  map_t old("old", 1, &env_);
  std::string value;
  EXPECT_TRUE(old.get("key", value));
  EXPECT_EQ(value, "value");
  EXPECT_EQ(old.check(), strings{});

  strong_map("strong", 5, &env_).put("key", "value");
  EXPECT_EQ(thrown_by([&] { map_t("strong", 5, &env_); }), other_hash);
}

TEST_F(HashMapTest, DamagedChainsAreReportedAsCorruption) {
  map_t m("htable", 1000, &env_);
  word_t const a = m.put("a", "1");
  word_t const b = m.put("b", "2");
  db_->stream()->write_word(a, b);  // a cycle in the chain
  std::string value;
  EXPECT_EQ(thrown_by([&] { m.get("c", value); }), "corrupt database file...");
  EXPECT_FALSE(m.check().empty());

  db_->stream()->write_word(a, -1);
  db_->stream()->write_word(a + 8, word_t{1} << 40);  // a key length beyond the file
  EXPECT_EQ(code_thrown_by([&] { m.get("a", value); }), errc::corrupt);
  EXPECT_EQ(code_thrown_by([&] { m.put("c", "x"); }), errc::corrupt);

  // A hash kind no code knows.
  db_->stream()->write_word(m.header_address() + 8, (word_t{2} << 56) + 1000);
  EXPECT_EQ(thrown_by([&] { map_t("htable", 1000, &env_); }), "corrupt database file...");
}

}  // namespace
