// A stream opened for reading and writing maps its file shared: writes inside
// the file reach the operating system at once without a write call, writes
// that lengthen the file still do, and the stream keeps reading correctly
// while the file outgrows what was first mapped.
#include <gtest/gtest.h>

#include <algorithm>

#include <disk_tools/bfstream.h>
#include "harness.h"

using io_tools::bfstream;
using std::ios_base;
using test_support::scratch_dir;

namespace {

constexpr auto create_mode = ios_base::in | ios_base::out | ios_base::trunc | ios_base::ate;
constexpr auto update_mode = ios_base::in | ios_base::out | ios_base::ate;

std::vector<char> pattern(std::size_t n, unsigned seed) {
  std::vector<char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251);
  return bytes;
}

TEST(BfstreamMapping, OverwritesAreInTheFileBeforeTheStreamCloses) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode);
  s.append("0123456789", 10);
  s.write_at(3, "abc", 3);
  s.write_word(0, 0x4847464544434241);  // "ABCDEFGH"
  // Another reader of the file, while the stream is still open.
  auto const seen = test_support::read_file(dir.file("f"));
  EXPECT_EQ(std::string(seen.begin(), seen.end()), "ABCDEFGH89");
  EXPECT_EQ(s.counts().writes, 3);
  char back[10];
  s.read_at(0, back, sizeof back);
  EXPECT_EQ(std::string(back, 10), "ABCDEFGH89");
}

TEST(BfstreamMapping, FileGrowingFarBeyondTheFirstMappingReadsBackWhole) {
  scratch_dir dir;
  std::string const path = dir.file("f");
  test_support::write_file(path, pattern(1000, 7));
  bfstream s(path.c_str(), update_mode);
  std::vector<char> expected = pattern(1000, 7);
  // 5 MB in pieces of every size up to 64 KB, some straddling the old end.
  for (unsigned round = 0; expected.size() < (5u << 20); ++round) {
    auto const piece = pattern(1 + (round * 7919) % 65536, round);
    auto const at = static_cast<disk_tools::word_t>(expected.size()) - (round % 3 == 0 ? 17 : 0);
    s.write_at(at, piece.data(), piece.size());
    auto const end = static_cast<std::size_t>(at) + piece.size();
    if (end > expected.size()) expected.resize(end);
    std::copy(piece.begin(), piece.end(), expected.begin() + at);
    ASSERT_EQ(s.size(), static_cast<disk_tools::word_t>(expected.size()));
  }
  // An early byte rewritten after the growth lands in the file too.
  s.write_at(5, "X", 1);
  expected[5] = 'X';
  std::vector<char> back(expected.size());
  s.read_at(0, back.data(), back.size());
  EXPECT_EQ(back, expected);
  EXPECT_EQ(test_support::read_file(path), expected);
}

TEST(BfstreamMapping, TwoStreamsOnTwoFilesKeepTheirOwnBytes) {
  scratch_dir dir;
  bfstream a(dir.file("a").c_str(), create_mode), b(dir.file("b").c_str(), create_mode);
  a.append("aaaa", 4);
  b.append("bbbb", 4);
  a.write_at(1, "A", 1);
  b.write_at(2, "B", 1);
  char x[4], y[4];
  a.read_at(0, x, 4);
  b.read_at(0, y, 4);
  EXPECT_EQ(std::string(x, 4), "aAaa");
  EXPECT_EQ(std::string(y, 4), "bbBb");
}

TEST(BfstreamMapping, ReadOnlyStreamServesReadsFromItsImage) {
  scratch_dir dir;
  test_support::write_file(dir.file("f"), pattern(3000, 1));
  bfstream s(dir.file("f").c_str(), ios_base::in);
  ASSERT_TRUE(s.good());
  std::vector<char> back(3000);
  s.read_at(0, back.data(), back.size());
  EXPECT_EQ(back, pattern(3000, 1));
  EXPECT_GE(s.counts().reads, 1);
}

}  // namespace
