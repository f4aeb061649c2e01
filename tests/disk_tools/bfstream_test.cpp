#include <disk_tools/bfstream.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <disk_tools/bstringstream.h>
#include "harness.h"

using io_tools::bfstream;
using std::ios_base;
using test_support::scratch_dir;

namespace {

constexpr auto create_mode = ios_base::in | ios_base::out | ios_base::trunc | ios_base::ate;
constexpr auto update_mode = ios_base::in | ios_base::out | ios_base::ate;

TEST(BfstreamOpen, ModesCreateTruncateOrRequireTheFile) {
  scratch_dir dir;
  {
    bfstream s(dir.file("new").c_str(), create_mode);  // created empty, at 0
    ASSERT_TRUE(s.good());
    EXPECT_EQ(s.tellg(), 0);
    EXPECT_EQ(test_support::file_size(dir.file("new")), 0);
  }
  test_support::write_file(dir.file("old"), std::vector<char>(37, 'x'));
  {
    bfstream s(dir.file("old").c_str(), update_mode);  // kept, at its end
    ASSERT_TRUE(s.good());
    EXPECT_EQ(s.tellg(), 37);
  }
  {
    bfstream s(dir.file("old").c_str(), create_mode);  // truncated
    EXPECT_EQ(s.size(), 0);
  }
  bfstream missing(dir.file("missing").c_str(), update_mode);
  EXPECT_TRUE(missing.fail());
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
  bfstream no_mode(dir.file("f").c_str(), ios_base::trunc);  // no stdio equivalent
  EXPECT_TRUE(no_mode.fail());
}

TEST(BfstreamTransfer, SharedPositionServesReadAndWrite) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode);
  s.write("abcdef", 6);
  s.seekg(2);
  char two[2];
  s.read(two, 2);
  EXPECT_EQ(std::string(two, 2), "cd");
  s.write("XY", 2);  // continues from where the read stopped
  s.seekg(0);
  char all[6];
  s.read(all, 6);
  EXPECT_EQ(std::string(all, 6), "abcdXY");
}

TEST(BfstreamTransfer, ReadPastTheEndSetsFailAndEofAndKeepsTheRest) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode);
  s.write("abc", 3);
  s.seekg(1);
  char buf[5] = {'.', '.', '.', '.', '.'};
  s.read(buf, 5);
  EXPECT_TRUE(s.fail());
  EXPECT_TRUE(s.eof());
  EXPECT_EQ(s.gcount(), 2);
  EXPECT_EQ(std::string(buf, 5), "bc...");
  // While failed, the stream ignores positioning.
  s.seekg(0);
  EXPECT_TRUE(s.fail());
}

TEST(BfstreamChecked, TransfersOutsideTheFileThrow) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode);
  s.write_word(0, 42);
  EXPECT_EQ(s.read_word(0), 42);
  char buf[8];
  EXPECT_THROW(s.read_at(1, buf, 8), char const*);
  EXPECT_THROW(s.read_at(-1, buf, 1), char const*);
  EXPECT_THROW(s.write_word(-1, 7), char const*);
  EXPECT_EQ(s.size(), 8);
}

TEST(BfstreamChecked, AppendReturnsTheOldEnd) {
  scratch_dir dir;
  bfstream s(dir.file("f").c_str(), create_mode);
  EXPECT_EQ(s.append("abcd", 4), 0);
  EXPECT_EQ(s.append("ef", 2), 4);
  EXPECT_EQ(test_support::file_size(dir.file("f")), 6);
}

TEST(Bstringstream, PiecesAppendInOrder) {
  text_tools::bstringstream b;
  b.cpy("", 0);
  EXPECT_EQ(b.size(), 0u);
  b.cpy("01234567", 8);
  b.cpy("abcde", 5);
  b.cpy("!", 1);
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(std::string(b.start(), b.end()), "01234567abcde!");
}

}  // namespace
