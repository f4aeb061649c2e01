#include <disk_tools/detail/d_alloc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include <disk_tools/d_db.h>
#include "harness.h"

using disk_tools::d_alloc_node;
using disk_tools::no_address;
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

TEST_F(AllocTest, FreedBlockGoesToTheFrontOfTheFreeListAndIsReusedZeroed) {
  long const x = allocate(8);
  db_->stream()->write_at(x, "abcdefgh", 8);
  long const y = allocate(8);
  alloc().deallocate(x);
  // An address already free (not in the allocation list), inside a block in
  // use, or nowhere is no block: freeing it changes nothing.
  auto const before = bytes();
  for (long stray : {x, y + 1, -1L, 123456789L}) alloc().deallocate(stray);
  EXPECT_EQ(bytes(), before);
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
  // The block's record is cut from the free block right after it; the rest
  // stays free and untouched.
  EXPECT_EQ(word_at(f, static_cast<std::size_t>(x) + 9000), x + 9000);
  EXPECT_EQ(std::string(&f[x + 9033], 967), std::string(967, 'j'));
}

// The allocation list is ordered by size, newest first among equals; the free list is
// not, until sorted.
TEST_F(AllocTest, AllocationListIsOrderedAndSortBringsTheSmallestFreeBlockToTheHead) {
  // Blocks in use between them, so that the freed ones do not merge.
  long const b1 = allocate(1), k1 = allocate(8), b4 = allocate(4), k4 = allocate(8),
             b3 = allocate(3), k3 = allocate(8), b5 = allocate(5), k5 = allocate(8);
  ASSERT_EQ(data(alloc().allocation_list()), (std::vector<long>{b1, b3, b4, b5, k5, k3, k4, k1}));
  for (long b : {b1, b4, b3, b5}) alloc().deallocate(b);
  ASSERT_EQ(sizes(alloc().free_list()), (std::vector<long>{5, 3, 4, 1}));
  alloc().sort();
  EXPECT_EQ(data(alloc().free_list()), (std::vector<long>{b1, b5, b4, b3}));
  EXPECT_EQ(data(alloc().allocation_list()), (std::vector<long>{k5, k3, k4, k1}));
}

// A free list as files written before merging on free may hold: two free
// blocks that touch, data x size 10 and x + 10 size 20, in either list order.
TEST_F(AllocTest, CompactMergesTouchingFreeBlocksOfAnOlderFile) {
  for (bool later_first : {false, true}) {
    SCOPED_TRACE(later_first ? "the later block first in the list" : "the earlier block first");
    long const x = allocate(30);
    allocate(8);  // in use after it
    auto& s = *db_->stream();
    long const r1 = x + 30;  // x's record, then a record appended by hand
    long const r2 = s.size();
    d_alloc_node a{r1, x, 10, no_address, true}, b{r2, x + 10, 20, no_address, true};
    (later_first ? b : a).next = later_first ? r1 : r2;
    s.write_word(disk_tools::alloc_list_head, alloc().allocation_list().at(0).own);
    a.write(s), b.write(s);
    s.write_word(disk_tools::free_list_head, later_first ? r2 : r1);
    reopen();
    alloc().compact();
    auto const freed = alloc().free_list();
    ASSERT_EQ(freed.size(), 2u);
    // One block of 30 at x; the absorbed record stays, describing no bytes.
    auto const& whole = freed[0].empty() ? freed[1] : freed[0];
    auto const& absorbed = freed[0].empty() ? freed[0] : freed[1];
    EXPECT_EQ(std::make_pair(whole.data, whole.size), std::make_pair(x, 30L));
    EXPECT_EQ(std::make_pair(absorbed.data, absorbed.size), std::make_pair(-1L, 0L));
    EXPECT_EQ(allocate(30), x);
    afresh();
  }
}

TEST_F(AllocTest, AFreedBlockMergesWithFreeNeighboursAndTheirRecordsAreReused) {
  // A split: 10 bytes taken from a free block of 30 at x, the rest keeping
  // its record; the 10-byte block's record is new.
  long const x = allocate(30);
  allocate(8);
  alloc().deallocate(x);
  long const end = length();
  ASSERT_EQ(allocate(10), x);
  EXPECT_EQ(length(), end + 33);
  ASSERT_EQ(allocate(20), x + 10);
  // Freed in either order, the pieces are one block again; the record that
  // described a piece is a spare, and the next record the allocator needs.
  alloc().deallocate(x + 10);
  alloc().deallocate(x);
  auto const freed = alloc().free_list();
  ASSERT_EQ(freed.size(), 2u);
  EXPECT_EQ(std::make_pair(freed[0].data, freed[0].size), std::make_pair(-1L, 0L));
  EXPECT_EQ(std::make_pair(freed[1].data, freed[1].size), std::make_pair(x, 30L));
  long const grown = length();
  long const y = allocate(100);
  EXPECT_EQ(y, grown);
  EXPECT_EQ(length(), grown + 100);
  EXPECT_EQ(alloc().allocation_list().back().own, freed[0].own);
  // Two blocks appended one after the other have the first one's record
  // between them: freed, the three are one block, under the second's record.
  long const a = allocate(40), b = allocate(40);
  allocate(50);  // in use after them (the free 30 at x is too small for it)
  alloc().deallocate(a);
  alloc().deallocate(b);
  EXPECT_EQ(sizes(alloc().free_list()), (std::vector<long>{40 + 33 + 40, 30}));
  EXPECT_EQ(data(alloc().free_list()), (std::vector<long>{a, x}));
}

TEST_F(AllocTest, ABlockSplitFromAFreeOneIsSavedWithItsRecordInOneJournalRecord) {
  // A free block of 200 bytes that held something, below the file's end.
  long const x = allocate(200);
  allocate(8);
  db_->stream()->write_at(x, std::string(200, 'x').data(), 200);
  alloc().deallocate(x);
  long const end = length();
  text_tools::bstringstream value;
  value.cpy("abcdefghij", 10);
  long long const saved = db_->journal().counts().undo_records;
  // The 10 bytes and their record right after them are one span of old
  // bytes; the rest keeps its record, whose data and size words change; the
  // list's link to the new record changes too: three records in all.
  ASSERT_EQ(alloc().allocate(10, value), x);
  EXPECT_EQ(db_->journal().counts().undo_records - saved, 3);
  EXPECT_EQ(length(), end);
  EXPECT_EQ(std::string(&bytes()[x], 10), "abcdefghij");
  auto const used = alloc().allocation_list();
  auto const taken =
      std::find_if(used.begin(), used.end(), [&](d_alloc_node const& r) { return r.data == x; });
  ASSERT_NE(taken, used.end());
  EXPECT_EQ(taken->own, x + 10);
  EXPECT_EQ(std::make_pair(alloc().free_list()[0].data, alloc().free_list()[0].size),
            std::make_pair(x + 10 + 33, 200L - 10 - 33));
}

TEST_F(AllocTest, TheSmallestFreeBlockThatFitsIsTaken) {
  // Free blocks of 40, 20, 20 and 60 bytes, kept apart by blocks in use.
  std::vector<long> blocks;
  for (long size : {40, 20, 20, 60}) blocks.push_back(allocate(size)), allocate(8);
  for (long b : blocks) alloc().deallocate(b);
  EXPECT_EQ(allocate(15), blocks[1]);  // the lower of the two 20s
  EXPECT_EQ(allocate(20), blocks[2]);
  EXPECT_EQ(allocate(50), blocks[3]);
  long const end = length();
  EXPECT_EQ(allocate(41), end);  // the 40 is too small, the 10 left of the 60 too
}

TEST_F(AllocTest, ClosingCutsOffTheFreeEndOfTheFileAndAReaderChangesNothing) {
  long const kept = allocate(8);
  long const a = allocate(100), b = allocate(200);
  alloc().deallocate(b);
  alloc().deallocate(a);
  reopen();
  EXPECT_EQ(length(), kept + 8 + 33);
  EXPECT_TRUE(alloc().free_list().empty());
  // A file with a free end, as earlier versions left them: a session that
  // only reads leaves every byte as it was.
  allocate(300);
  alloc().deallocate(allocate(50));
  auto const before = bytes();
  close();
  auto const cut = test_support::read_file(path());
  test_support::write_file(path(), before);
  reopen();
  alloc().free_list();
  close();
  EXPECT_EQ(test_support::read_file(path()), before);
  EXPECT_LT(cut.size(), before.size());
  reopen();
}

// A damaged record is reported, not followed or trusted, by the mirror and by
// the walk: the free list's head leading back to itself or to the largest
// word, the allocation list's head leading there or not giving its own address.
TEST_F(AllocTest, DamagedRecordsAreReportedNotFollowed) {
  long const largest = std::numeric_limits<long>::max();
  struct damage { bool free_list; std::size_t field; long word; };  // word -1: its own address
  for (damage const d : {damage{true, d_alloc_node::next_offset, -1},
                         {true, d_alloc_node::next_offset, largest},
                         {false, d_alloc_node::next_offset, largest},
                         {false, d_alloc_node::own_offset, -1}}) {
    for (bool mirror : {true, false}) {
      SCOPED_TRACE(std::to_string(d.free_list) + " " + std::to_string(d.field) + " " +
                   std::to_string(d.word) + (mirror ? ", mirror" : ", walk"));
      afresh();
      long const x = allocate(10), in_use = allocate(20);  // closing keeps the free block
      alloc().deallocate(x);
      long const record = (d.free_list ? alloc().free_list() : alloc().allocation_list())[0].own;
      bool const own = d.field == d_alloc_node::own_offset;
      long const word = d.word == -1 ? record + own : d.word;
      db_->stream()->write_word(record + static_cast<long>(d.field), word);
      reopen();
      alloc().use_index(mirror);
      auto const use = [&] { own ? alloc().deallocate(in_use) : void(allocate(30)); };
      EXPECT_EQ(test_support::thrown_by(use), "corrupt database file...");
    }
  }
}

}  // namespace
