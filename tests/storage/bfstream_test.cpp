// The stream layer: one shared position, checked absolute transfers, the
// shared mapping of a read-write stream as the file outgrows it, and a private
// view that keeps the bytes only it holds when it moves.
#include <disk_tools/detail/bfstream.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "harness.h"

using io_tools::bfstream;
using std::ios_base;
using test_support::read_file;
using test_support::scratch_dir;
using test_support::thrown_by;

namespace {

constexpr auto create_mode = ios_base::in | ios_base::out | ios_base::trunc | ios_base::ate;
constexpr auto update_mode = ios_base::in | ios_base::out | ios_base::ate;

std::vector<char> pattern(std::size_t n, unsigned seed) {
  std::vector<char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251);
  return bytes;
}

std::string read_back(bfstream& s, std::size_t n) {
  std::string out(n, '?');
  s.read_at(0, out.data(), n);
  return out;
}

TEST(BfstreamOpen, ModesCreateTruncateOrRequireTheFile) {
  scratch_dir dir;
  test_support::write_file(dir.file("old"), std::vector<char>(37, 'x'));
  // Created empty at 0; kept, at its end.
  for (auto [name, mode, at] :
       {std::tuple{"new", create_mode, 0}, std::tuple{"old", update_mode, 37}}) {
    bfstream s(dir.file(name).c_str(), mode);
    ASSERT_TRUE(s.good()) << name;
    EXPECT_EQ(s.tellg(), at) << name;
    EXPECT_EQ(test_support::file_size(dir.file(name)), at) << name;
  }
  EXPECT_EQ(bfstream(dir.file("old").c_str(), create_mode).size(), 0);  // truncated
  EXPECT_TRUE(bfstream(dir.file("missing").c_str(), update_mode).fail());
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
  EXPECT_TRUE(bfstream(dir.file("f").c_str(), ios_base::trunc).fail());  // no stdio equivalent
}

TEST(BfstreamTransfer, SharedPositionServesReadAndWriteAShortReadFailsAndCheckedOnesStayInside) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode);
  s.write("abcdef", 6);
  s.seekg(2);
  char buf[] = "......";
  s.read(buf, 2);
  EXPECT_EQ(std::string(buf, 2), "cd");
  s.write("XY", 2);  // continues from where the read stopped
  EXPECT_EQ(read_back(s, 6), "abcdXY");
  s.seekg(3);
  s.read(buf, 5);
  EXPECT_TRUE(s.fail());
  EXPECT_TRUE(s.eof());
  EXPECT_EQ(s.gcount(), 3);
  EXPECT_EQ(std::string(buf, 6), "dXY...");  // the rest of the buffer kept
  s.seekg(0);  // ignored while failed
  EXPECT_TRUE(s.fail());
  // Checked transfers: outside the file they throw; append returns the old end.
  s.write_word(0, 42);
  EXPECT_EQ(s.read_word(0), 42);
  char word[8];
  EXPECT_EQ(thrown_by([&] { s.read_at(1, word, 8); }), "corrupt database file...");
  EXPECT_EQ(thrown_by([&] { s.read_at(-1, word, 1); }), "corrupt database file...");
  EXPECT_EQ(thrown_by([&] { s.write_word(-1, 7); }), "corrupt database file...");
  EXPECT_EQ(s.size(), 8);
  EXPECT_EQ(s.append("abcd", 4), 8);
  EXPECT_EQ(s.append("ef", 2), 12);
  EXPECT_EQ(test_support::file_size(dir.file("f")), 14);
}

TEST(BfstreamMapping, OverwritesAreInTheFileBeforeCloseAndEachStreamKeepsItsOwn) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode), other(dir.file("g").c_str(), create_mode);
  s.append("0123456789", 10);
  other.append("bbbb", 4);
  s.write_at(3, "abc", 3);
  other.write_at(2, "B", 1);
  s.write_word(0, 0x4847464544434241);  // "ABCDEFGH"
  // Bytes written for a sync go by a system call inside the file, and by
  // the mapping past its end; the mapping shows both.
  s.write_for_sync(8, "xy", 2);
  s.write_for_sync(10, "zz", 2);
  EXPECT_EQ(s.counts().writes, 5);
  EXPECT_EQ(s.size(), 12);
  auto const seen = read_file(dir.file("f"));
  EXPECT_EQ(std::string(seen.begin(), seen.end()), "ABCDEFGHxyzz");
  EXPECT_EQ(read_back(s, 12), "ABCDEFGHxyzz");
  EXPECT_EQ(read_back(other, 4), "bbBb");
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
    expected.resize(std::max(expected.size(), static_cast<std::size_t>(at) + piece.size()));
    std::copy(piece.begin(), piece.end(), expected.begin() + at);
    ASSERT_EQ(s.size(), static_cast<disk_tools::word_t>(expected.size()));
  }
  s.write_at(5, "X", 1);  // an early byte rewritten after the growth
  expected[5] = 'X';
  EXPECT_EQ(read_back(s, expected.size()), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(read_file(path), expected);
}

// A follower reads in place what another stream (another process's, say) appended since it
// opened, the file having grown in steps past everything the follower had mapped; nothing
// past the file's end, and nothing through a private view or an image, which do not show
// the file itself.
TEST(BfstreamMapping, AViewOfTheFileShowsWhatAnotherStreamAppendedAndNothingPastItsEnd) {
  scratch_dir dir;
  std::string const path = dir.file("f");
  test_support::write_file(path, pattern(1000, 5));
  bfstream follower(path.c_str(), update_mode);
  bfstream appender(path.c_str(), update_mode);
  appender.set_growth_step(std::size_t{256} << 10);
  std::vector<char> expected = pattern(1000, 5);
  struct row {
    std::size_t piece;     // bytes appended
    disk_tools::word_t at;  // where the view starts, from the piece's start
  };
  row const rows[] = {{10, 0}, {5000, -300}, {300000, 4000}, {1, 0}, {2u << 20, -7}, {64, -64}};
  for (row const& r : rows) {
    auto const start = static_cast<disk_tools::word_t>(expected.size());
    auto const piece = pattern(r.piece, static_cast<unsigned>(r.piece));
    appender.write_at(start, piece.data(), piece.size());
    expected.insert(expected.end(), piece.begin(), piece.end());
    auto const from = start + r.at;
    auto const n = expected.size() - static_cast<std::size_t>(from);
    char const* const seen = follower.view_file(from, n);
    ASSERT_NE(seen, nullptr) << "a piece of " << r.piece;
    EXPECT_TRUE(std::equal(seen, seen + n, expected.begin() + from)) << "a piece of " << r.piece;
  }
  EXPECT_EQ(follower.size(), 1000) << "the follower's data is its own";
  auto const file_end = static_cast<disk_tools::word_t>(std::filesystem::file_size(path));
  EXPECT_EQ(follower.view_file(file_end - 1, 2), nullptr);
  EXPECT_EQ(follower.view_file(file_end + 4096, 1), nullptr);
  EXPECT_NE(follower.view_file(file_end - 2, 2), nullptr);
  bfstream image(path.c_str(), ios_base::in);
  EXPECT_EQ(image.view_file(0, 10), nullptr);
  follower.keep_writes_private();
  EXPECT_EQ(follower.view_file(0, 10), nullptr);
}

TEST(BfstreamPrivate, BytesOnlyTheViewHoldsSurviveItsMoveToALargerRange) {
  scratch_dir dir;
  std::string const path = dir.file("f");
  std::vector<char> const file = pattern(10000, 3);
  test_support::write_file(path, file);
  bfstream s(path.c_str(), update_mode);
  s.keep_writes_private();
  std::vector<char> expected = file;
  auto const put = [&](disk_tools::word_t at, std::string const& bytes) {
    std::copy(bytes.begin(), bytes.end(), expected.begin() + at);
  };
  // Other openings' commits laid over the view, in two granules and across
  // the boundary between two, and a commit of its own kept there.
  s.overlay_at(100, "abc", 3);
  put(100, "abc");
  s.overlay_at(4090, "0123456789ab", 12);
  put(4090, "0123456789ab");
  s.write_at(9000, "PQ", 2);
  s.keep_pending();
  put(9000, "PQ");
  // Far past the range the view reserved at first: it moves, and the file
  // itself shows none of them.
  disk_tools::word_t const far = disk_tools::word_t{600} << 20;
  s.overlay_at(far, "z", 1);
  EXPECT_EQ(read_back(s, expected.size()), std::string(expected.begin(), expected.end()));
  char last = 0;
  s.read_at(far, &last, 1);
  EXPECT_EQ(last, 'z');
  std::vector<char> on_disk(expected.size());
  ASSERT_TRUE(s.read_through(0, on_disk.data(), on_disk.size()));
  EXPECT_EQ(on_disk, file);
}

// A durable opening alone holds its commits' ranges in the view for a while: they survive
// the view's move to a larger range, and reach the file in one go, a range that several
// commits changed once.
TEST(BfstreamPrivate, HeldRangesSurviveAMoveAndReachTheFileTogether) {
  scratch_dir dir;
  std::string const path = dir.file("f");
  std::vector<char> const file = pattern(10000, 5);
  test_support::write_file(path, file);
  bfstream s(path.c_str(), update_mode);
  s.keep_writes_private();
  std::vector<char> expected = file;
  struct commit { disk_tools::word_t at; std::string bytes; };
  // Three commits: the second writes over the first's range, the third far from both.
  for (commit const& c : {commit{200, "first"}, commit{202, "SECOND"}, commit{8000, "third"}}) {
    s.write_at(c.at, c.bytes.data(), c.bytes.size());
    s.hold_pending();
    std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + c.at);
  }
  EXPECT_TRUE(s.holds());
  EXPECT_TRUE(s.pending().empty());
  s.overlay_at(disk_tools::word_t{600} << 20, "z", 1);  // the view moves
  EXPECT_EQ(read_back(s, expected.size()), std::string(expected.begin(), expected.end()));
  std::vector<char> on_disk(expected.size());
  ASSERT_TRUE(s.read_through(0, on_disk.data(), on_disk.size()));
  EXPECT_EQ(on_disk, file) << "held bytes reached the file early";
  long long const calls = s.counts().calls;
  s.write_held(true);
  EXPECT_FALSE(s.holds());
  EXPECT_EQ(s.counts().calls - calls, 2) << "one write for each range apart";
  ASSERT_TRUE(s.read_through(0, on_disk.data(), on_disk.size()));
  EXPECT_EQ(on_disk, expected);
}

// A private view grows a step ahead of its appends, not a page at a time: appending
// 256 KiB a hundred bytes at a time, the file lengthened to the data every 10 KB as
// commits do, makes pages writable and ready in a few calls.
TEST(BfstreamPrivate, AppendsGrowTheViewAStepAtATime) {
  scratch_dir dir;
  std::string const path = dir.file("f");
  test_support::write_file(path, pattern(10000, 7));
  bfstream s(path.c_str(), update_mode);
  s.keep_writes_private();
  std::string const piece(100, 'a');
  long long const before = s.counts().maps;
  std::size_t const appended = std::size_t{256} << 10;
  for (std::size_t n = 0; n < appended; n += piece.size()) {
    s.append(piece.data(), piece.size());
    if (n % 10000 == 0) s.reserve_file(s.size());
  }
  // Two calls (writable, ready) for each 64 KiB step, and the step under way.
  EXPECT_LE(s.counts().maps - before, 2 * static_cast<long long>(appended >> 16) + 2);
  EXPECT_EQ(read_back(s, s.size()).substr(10000), std::string(s.size() - 10000, 'a'));
}

}  // namespace
