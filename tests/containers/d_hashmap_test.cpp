#include "d_hashmap.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

using map_t = d_hashmap<std::string, std::string, string_hash>;
using strings = std::vector<std::string>;

class HashMapTest : public test_support::database_test {
 protected:
  word_t word(word_t address) { return word_at(bytes(), static_cast<std::size_t>(address)); }
};

TEST(StringHash, BucketsOfOrdinaryKeysFollowTheWeightedSum) {
  string_hash const hash;
  EXPECT_EQ(hash(""), 0);
  EXPECT_EQ(hash("z"), 0);
  EXPECT_EQ(hash("abc"), 296);
  EXPECT_EQ(hash("hello"), 1085);
  EXPECT_EQ(bucket_of(hash(""), 1000), 807);
  EXPECT_EQ(bucket_of(hash("a"), 1000), 807);
  EXPECT_EQ(bucket_of(hash("abc"), 1000), 511);
  EXPECT_EQ(bucket_of(hash("hello"), 1000), 722);
}

TEST(StringHash, NegativeSumsGetTheExactRemainderInRange) {
  string_hash const hash;
  // Bytes of 0x80 and above count as negative: the difference from 2^63 - 1
  // then exceeds a signed word and is taken without sign.
  EXPECT_EQ(hash("\xff\xff"), -1);
  EXPECT_EQ(bucket_of(hash("\xff\xff"), 1000), 808);
  EXPECT_EQ(bucket_of(hash("a\x80\x80"), 1000), 191);
  EXPECT_EQ(bucket_of(INT64_MIN, 1000), 615);
  EXPECT_EQ(bucket_of(INT64_MIN, 7), static_cast<word_t>(UINT64_MAX % 7));
}

TEST_F(HashMapTest, NewMapHasCountBucketsAndEmptyChains) {
  map_t m("htable", 1000, &env_);
  auto const f = bytes();
  word_t const header = word_at(f, 144);
  ASSERT_EQ(header, m.header_address());
  EXPECT_EQ(word_at(f, static_cast<std::size_t>(header)), 0);
  EXPECT_EQ(word_at(f, static_cast<std::size_t>(header) + 8), 1000);
  for (std::size_t b = 0; b < 1000; ++b) {
    ASSERT_EQ(word_at(f, static_cast<std::size_t>(header) + 16 + 8 * b), -1);
  }
  EXPECT_EQ(db_->allocator()->allocation_list().at(0).size, 8016);
  std::string value = "stale";
  EXPECT_EQ(m.get("anything", value), 0);
  EXPECT_EQ(value, "");
}

TEST_F(HashMapTest, ANewKeyHeadsItsChainAndAReplacementKeepsItsPlace) {
  map_t m("htable", 1000, &env_);
  word_t const a = m.put("a", "1");
  word_t const b = m.put("b", "2");
  word_t const bucket = m.bucket_word("a");
  EXPECT_EQ(bucket, m.header_address() + 16 + 8 * 807);
  EXPECT_EQ(word(bucket), b);
  EXPECT_EQ(word(b), a);
  EXPECT_EQ(word(a), -1);
  // The entry of "a": next, KL, key, VL, value.
  EXPECT_EQ(word(a + 8), 2);
  EXPECT_EQ(word(a + 18), 2);

  word_t const a2 = m.put("a", "a longer value");
  EXPECT_EQ(m.last_link(), b);
  EXPECT_EQ(word(b), a2);
  EXPECT_EQ(word(bucket), b);
  std::string value;
  EXPECT_EQ(m.get("a", value), a2);
  EXPECT_EQ(value, "a longer value");
  EXPECT_EQ(m.check(), strings{});
}

TEST_F(HashMapTest, SubscriptOfAnAbsentKeyCreatesItAndAssignmentStoresTheValue) {
  map_t m("htable", 1000, &env_);
  auto p = m["hello"];
  EXPECT_EQ(p.link(), m.bucket_word("hello"));
  EXPECT_EQ(p.get_data(), "");
  p = "HELLO";
  EXPECT_EQ(m["hello"].get_data(), "HELLO");
  EXPECT_EQ(m.count(), 1);
  EXPECT_EQ(m.check(), strings{});
}

TEST_F(HashMapTest, AppendingToTheStoredValueAcrossAReopen) {
  for (char const* expected : {"HELLO", "HELLOHELLO"}) {
    {
      map_t m("htable", 1000, &env_);
      std::string const current = m["hello"].get_data();
      m["hello"] = "HELLO" + current;
      EXPECT_EQ(m["hello"].get_data(), expected);
      EXPECT_EQ(m.count(), 1);
    }
    reopen();
  }
  map_t m("htable", 1000, &env_);
  EXPECT_EQ(m.check(), strings{});
}

TEST_F(HashMapTest, CountIsTheNumberOfKeysAndIsOnDiskWithoutTheDestructor) {
  alignas(map_t) unsigned char storage[sizeof(map_t)];
  // The object is never destroyed, as when a program ends without running it.
  map_t* m = new (storage) map_t("htable", 1000, &env_);
  m->put("a", "1");
  m->put("a", "2");
  m->put("b", "3");
  m->put("hello", "4");
  EXPECT_EQ(m->count(), 3);
  EXPECT_EQ(word(m->header_address()), 3);
  reopen();
  map_t again("htable", 1000, &env_);
  EXPECT_EQ(again.count(), 3);
  EXPECT_EQ(again.check(), strings{});
}

TEST_F(HashMapTest, KeysWithHighBytesAreStoredInTheirBucket) {
  map_t m("htable", 1000, &env_);
  for (std::string const key : {"\xff\xff", "a\x80\x80", "\xc3\xa9t\xc3\xa9"}) {
    word_t const bucket = m.bucket_word(key);
    EXPECT_GE(bucket, m.header_address() + 16);
    EXPECT_LT(bucket, m.header_address() + 16 + 8 * 1000);
    m[key] = "value of " + key;
  }
  EXPECT_EQ(word(m.bucket_word("\xff\xff")), m["\xff\xff"].entry());
  EXPECT_EQ(m["a\x80\x80"].get_data(), "value of a\x80\x80");
  EXPECT_EQ(m.count(), 3);
  EXPECT_EQ(m.check(), strings{});
}

TEST_F(HashMapTest, AProxyStaysRightWhenItsChainChangesInFrontOfIt) {
  map_t m("htable", 1000, &env_);
  auto a = m["a"];
  m["b"] = "B";  // same bucket: "b" now heads the chain and links to "a"
  a = "A";
  m.put("b", "B2");  // replaces the entry that links to "a"
  EXPECT_EQ(a.get_data(), "A");
  a = "A2";
  std::string value;
  m.get("a", value);
  EXPECT_EQ(value, "A2");
  m.get("b", value);
  EXPECT_EQ(value, "B2");
  EXPECT_EQ(m.check(), strings{});
}

TEST_F(HashMapTest, ACycleInAChainIsReportedAsCorruption) {
  map_t m("htable", 1000, &env_);
  word_t const a = m.put("a", "1");
  word_t const b = m.put("b", "2");
  db_->stream()->write_word(a, b);
  std::string value;
  try {
    m.get("c", value);
    FAIL() << "the lookup ended";
  } catch (char const* message) {
    EXPECT_STREQ(message, "corrupt database file...");
  }
  EXPECT_FALSE(m.check().empty());
}

TEST_F(HashMapTest, AKeyLengthBeyondTheFileIsRefused) {
  map_t m("htable", 1000, &env_);
  word_t const a = m.put("a", "1");
  db_->stream()->write_word(a + 8, word_t{1} << 40);
  std::string value;
  EXPECT_THROW(m.get("a", value), char const*);
  EXPECT_THROW(m.put("b", "x"), char const*);
}

}  // namespace
