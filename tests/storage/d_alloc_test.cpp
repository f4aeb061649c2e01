#include <disk_tools/detail/d_alloc.h>

#include <gtest/gtest.h>

#include <disk_tools/d_db.h>
#include "harness.h"

using disk_tools::d_alloc_node;
using test_support::word_at;

namespace {

class AllocTest : public test_support::database_test {
 protected:
  disk_tools::d_alloc& alloc() { return *db_->allocator(); }

  long allocate(long size) {
    text_tools::bstringstream empty;
    return alloc().allocate(size, empty);
  }
  using nodes = std::vector<d_alloc_node>;
  static std::vector<long> field(nodes const& l, long d_alloc_node::*f) {  // in list order
    std::vector<long> out;
    for (auto const& r : l) out.push_back(r.*f);
    return out;
  }
  static std::vector<long> sizes(nodes const& l) { return field(l, &d_alloc_node::size); }
  static std::vector<long> data(nodes const& l) { return field(l, &d_alloc_node::data); }
};

TEST_F(AllocTest, FirstBlockAndItsRecordFollowTheHeader) {
  EXPECT_EQ(allocate(8), 13616);
  auto const f = bytes();
  ASSERT_EQ(f.size(), 13657u);
  // The zeroed block; its record: own address, data, size, next; the two list heads.
  for (auto [at, word] : std::vector<std::pair<std::size_t, long>>{
           {13616, 0}, {13624, 13624}, {13632, 13616}, {13640, 8}, {13648, -1}, {0, 13624},
           {8, -1}})
    EXPECT_EQ(word_at(f, at), word) << at;
  EXPECT_EQ(f[13656], 0);  // the record's in-use byte
}

TEST_F(AllocTest, NegativeSizeIsRefusedUnwrittenAndZeroSizeAppendsAnEmptyBlock) {
  auto const before = bytes();
  EXPECT_EQ(allocate(-1), -1);
  EXPECT_EQ(bytes(), before);
  long const end = length();
  EXPECT_EQ(allocate(0), end);
  EXPECT_EQ(length(), end + 33);
  EXPECT_EQ(sizes(alloc().allocation_list()), std::vector<long>{0});
}

TEST_F(AllocTest, AllocationListIsOrderedBySizeNewestFirstAmongEquals) {
  long const a = allocate(8), b = allocate(16), c = allocate(8);
  EXPECT_EQ(data(alloc().allocation_list()), (std::vector<long>{c, a, b}));
  EXPECT_EQ(sizes(alloc().allocation_list()), (std::vector<long>{8, 8, 16}));
}

TEST_F(AllocTest, FreedBlockGoesToTheFrontOfTheFreeListAndIsReusedZeroed) {
  long const x = allocate(8);
  db_->stream()->write_at(x, "abcdefgh", 8);
  long const y = allocate(8);
  alloc().deallocate(x);
  reopen();  // the lists live in the file
  ASSERT_EQ(data(alloc().free_list()), std::vector<long>{x});
  EXPECT_TRUE(alloc().free_list()[0].free);
  EXPECT_EQ(data(alloc().allocation_list()), std::vector<long>{y});
  long const size_before = length();
  EXPECT_EQ(allocate(8), x);
  EXPECT_EQ(length(), size_before);
  EXPECT_EQ(std::string(&bytes()[x], 8), std::string(8, '\0'));
  EXPECT_TRUE(alloc().free_list().empty());
  EXPECT_EQ(data(alloc().allocation_list()), (std::vector<long>{x, y}));
}

TEST_F(AllocTest, AReusedBlockHoldsTheCallersBytesThenZerosToItsEnd) {
  // Longer than the page of zeros the allocator fills from.
  long const x = allocate(10000);
  std::string const junk(10000, 'j');
  db_->stream()->write_at(x, junk.data(), junk.size());
  alloc().deallocate(x);
  text_tools::bstringstream given;
  given.cpy("abc", 3);
  EXPECT_EQ(alloc().allocate(9000, given), x);
  auto const f = bytes();
  EXPECT_EQ(std::string(&f[x], 9000), "abc" + std::string(8997, '\0'));
  EXPECT_EQ(std::string(&f[x + 9000], 1000), std::string(1000, 'j'));
}

TEST_F(AllocTest, DeallocatingAnUnknownAddressChangesNothing) {
  long const x = allocate(8), y = allocate(8);
  alloc().deallocate(x);
  auto const before = bytes();
  // Already free (not in the allocation list), inside a block in use, or nowhere.
  for (long stray : {x, y + 1, -1L, 123456789L}) alloc().deallocate(stray);
  EXPECT_EQ(bytes(), before);
}

TEST_F(AllocTest, SortBringsTheSmallestFreeBlockToTheHead) {
  long const b1 = allocate(1), b4 = allocate(4), b3 = allocate(3), b5 = allocate(5);
  for (long b : {b1, b4, b3, b5}) alloc().deallocate(b);
  ASSERT_EQ(sizes(alloc().free_list()), (std::vector<long>{5, 3, 4, 1}));
  alloc().sort();
  EXPECT_EQ(data(alloc().free_list()), (std::vector<long>{b1, b5, b4, b3}));
}

TEST_F(AllocTest, CompactMergesTouchingFreeBlocksListedInEitherOrder) {
  for (bool later_first : {false, true}) {
    SCOPED_TRACE(later_first ? "the later block first in the list" : "the earlier block first");
    long const x = allocate(30);  // split in two touching blocks, the rest staying free
    alloc().deallocate(x);
    ASSERT_EQ(allocate(10), x);
    ASSERT_EQ(allocate(20), x + 10);
    alloc().deallocate(later_first ? x : x + 10);
    alloc().deallocate(later_first ? x + 10 : x);
    auto const records = field(alloc().free_list(), &d_alloc_node::own);
    alloc().compact();
    auto const freed = alloc().free_list();
    ASSERT_EQ(freed.size(), 1u);
    EXPECT_EQ(freed[0].data, x);
    EXPECT_EQ(freed[0].size, 30);
    // The absorbed record stays, describing no bytes.
    long const absorbed = records[0] == freed[0].own ? records[1] : records[0];
    auto const f = bytes();
    EXPECT_EQ(word_at(f, absorbed + 8), -1);
    EXPECT_EQ(word_at(f, absorbed + 16), 0);
    EXPECT_EQ(allocate(30), x);
  }
  long const a = allocate(10), b = allocate(10);  // a's record lies between them
  alloc().deallocate(a);
  alloc().deallocate(b);
  alloc().compact();
  EXPECT_EQ(sizes(alloc().free_list()), (std::vector<long>{10, 10}));
}

TEST_F(AllocTest, ACycleInTheFreeListIsReportedNotFollowedForever) {
  alloc().deallocate(allocate(8));
  long const record = alloc().free_list()[0].own;
  db_->stream()->write_word(record + 24, record);  // next points at itself
  reopen();
  EXPECT_EQ(test_support::thrown_by([&] { allocate(16); }), "corrupt database file...");
  alloc().use_index(false);
  EXPECT_EQ(test_support::thrown_by([&] { allocate(16); }), "corrupt database file...");
}

TEST_F(AllocTest, ARecordThatIsNotWhereItSaysIsReported) {
  long const a = allocate(8);
  long const record = alloc().allocation_list()[0].own;
  db_->stream()->write_word(record, record + 1);
  reopen();
  EXPECT_EQ(test_support::thrown_by([&] { alloc().deallocate(a); }), "corrupt database file...");
}

}  // namespace
