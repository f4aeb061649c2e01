#include <disk_tools/d_hashmap.h>

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

// Bytes of 0x80 and above count as negative: the difference from 2^63 - 1
// then exceeds a signed word and is taken without sign.
TEST(StringHash, BucketsFollowTheWeightedSumAndNegativeSumsStayInRange) {
  string_hash const hash;
  EXPECT_EQ(hash(""), 0);
  EXPECT_EQ(hash("z"), 0);
  EXPECT_EQ(hash("abc"), 296);
  EXPECT_EQ(hash("hello"), 1085);
  EXPECT_EQ(hash("\xff\xff"), -1);
  struct {
    word_t sum;
    word_t bucket;
  } const cases[] = {{hash(""), 807},      {hash("a"), 807},        {hash("abc"), 511},
                     {hash("hello"), 722}, {hash("\xff\xff"), 808}, {hash("a\x80\x80"), 191},
                     {INT64_MIN, 615}};
  for (auto const& c : cases) EXPECT_EQ(bucket_of(c.sum, 1000), c.bucket) << c.sum;
  EXPECT_EQ(bucket_of(INT64_MIN, 7), static_cast<word_t>(UINT64_MAX % 7));
}

TEST_F(HashMapTest, NewMapHasCountBucketsAndEmptyChains) {
  map_t m("htable", 1000, &env_);
  auto const f = bytes();
  auto const header = static_cast<std::size_t>(word_at(f, 144));
  ASSERT_EQ(static_cast<word_t>(header), m.header_address());
  EXPECT_EQ(word_at(f, header), 0);
  EXPECT_EQ(word_at(f, header + 8), 1000);
  for (std::size_t b = 0; b < 1000; ++b) ASSERT_EQ(word_at(f, header + 16 + 8 * b), -1) << b;
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

// A subscript of an absent key creates it empty; appending to the stored
// value across a reopen gives HELLO, then HELLOHELLO.
TEST_F(HashMapTest, SubscriptCreatesAbsentKeysAndValuesSurviveAReopen) {
  for (char const* expected : {"HELLO", "HELLOHELLO"}) {
    {
      map_t m("htable", 1000, &env_);
      auto p = m["hello"];
      EXPECT_EQ(p.link(), m.bucket_word("hello"));
      std::string const current = p.get_data();
      p = "HELLO" + current;
      EXPECT_EQ(m["hello"].get_data(), expected);
      EXPECT_EQ(m.count(), 1);
      EXPECT_EQ(m.check(), strings{});
    }
    reopen();
  }
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
  EXPECT_EQ(m.bucket_word("\xff\xff"), m.header_address() + 16 + 8 * 808);
  for (std::string const key : {"\xff\xff", "a\x80\x80", "\xc3\xa9t\xc3\xa9"}) {
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

TEST_F(HashMapTest, DamagedChainsAreReportedAsCorruption) {
  map_t m("htable", 1000, &env_);
  word_t const a = m.put("a", "1");
  word_t const b = m.put("b", "2");
  db_->stream()->write_word(a, b);  // a cycle in the chain
  std::string value;
  try {
    m.get("c", value);
    FAIL() << "the lookup ended";
  } catch (char const* message) {
    EXPECT_STREQ(message, "corrupt database file...");
  }
  EXPECT_FALSE(m.check().empty());

  db_->stream()->write_word(a, -1);
  db_->stream()->write_word(a + 8, word_t{1} << 40);  // a key length beyond the file
  EXPECT_THROW(m.get("a", value), char const*);
  EXPECT_THROW(m.put("c", "x"), char const*);
}

}  // namespace
