// The data header's line format: escaping, appending, and the trip through the compiler.
#include "data_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "reload_test_util.h"

namespace {

using reload_test::read_text;
using reload_test::write_text;
using test_support::scratch_dir;

TEST(DataFileTest, EachWordBecomesOneEscapedLiteralLine) {
  const struct {
    std::string word, line;
  } cases[] = {
      {"abc", "\"abc\",\n"},
      {"", "\"\",\n"},
      {"a\"b\\c", "\"a\\\"b\\\\c\",\n"},             // quote and backslash get a backslash
      {"?\?=", "\"\\?\\?=\",\n"},                    // so no trigraph can form
      {std::string("\x01") + "7", "\"\\0017\",\n"},  // three octal digits: the 7 stays apart
      {"\x1f\x7f", "\"\\037\\177\",\n"},
      {"caf\xc3\xa9*/'{}", "\"caf\xc3\xa9*/'{}\",\n"},  // everything else as it is
  };
  for (const auto& c : cases) EXPECT_EQ(ReloadData::literal_line(c.word), c.line) << c.word;
}

TEST(DataFileTest, OnlyWordsWithANulByteAreNotStorable) {
  EXPECT_TRUE(ReloadData::storable("word"));
  EXPECT_TRUE(ReloadData::storable("\"\\\x01"));
  EXPECT_FALSE(ReloadData::storable(std::string("a\0b", 3)));
}

TEST(DataFileTest, AppendCreatesAMissingFile) {
  scratch_dir dir;
  ASSERT_TRUE(ReloadData::append_pair(dir.file("data.h"), "k", "v"));
  EXPECT_EQ(read_text(dir.file("data.h")), "\"k\",\n\"v\",\n");
}

TEST(DataFileTest, AppendKeepsExistingLinesAndAddsKeyThenValue) {
  scratch_dir dir;
  write_text(dir.file("data.h"), "\"a\",\n\"b\",\n");
  ASSERT_TRUE(ReloadData::append_pair(dir.file("data.h"), "x", "y"));
  ASSERT_TRUE(ReloadData::append_pair(dir.file("data.h"), "x", "z"));
  EXPECT_EQ(read_text(dir.file("data.h")), "\"a\",\n\"b\",\n\"x\",\n\"y\",\n\"x\",\n\"z\",\n");
}

TEST(DataFileTest, AppendReportsAFileThatCannotBeOpened) {
  scratch_dir dir;
  EXPECT_FALSE(ReloadData::append_pair(dir.file("missing/data.h"), "k", "v"));
  std::filesystem::create_directory(dir.file("data.h"));
  EXPECT_FALSE(ReloadData::append_pair(dir.file("data.h"), "k", "v"));
}

// Every byte a word can hold (anything but NUL and white space) must come back unchanged
// from the compiled table, which is what the escaping is for.
TEST(DataFileTest, CompiledTableGivesBackEveryStorableByte) {
  std::vector<std::string> words = {
      "\"", "\\", "\\\"", "a\"\"b", "?\?=", "?\?/", "/*", "//", "x\\"};
  std::string every_byte;
  for (int b = 1; b < 256; ++b) {
    if (b == ' ' || (b >= '\t' && b <= '\r')) continue;
    every_byte += static_cast<char>(b);
  }
  words.push_back(every_byte);

  scratch_dir dir;
  std::string data;
  for (const std::string& word : words) data += ReloadData::literal_line(word);
  write_text(dir.file("data.h"), data);
  // Prints each slot as hexadecimal, one slot a line.
  write_text(dir.file("dump.cpp"),
             "#include <cstdio>\n"
             "int main() {\n"
             "  const char* const table[] = {\n"
             "#include \"data.h\"\n"
             "      nullptr};\n"
             "  for (int i = 0; table[i]; ++i) {\n"
             "    for (const char* p = table[i]; *p; ++p) std::printf(\"%02x\", *p & 0xff);\n"
             "    std::printf(\"\\n\");\n"
             "  }\n"
             "}\n");
  // Strict C++14 replaces trigraphs and -Wall warns about them: the lines must survive both.
  auto built = test_support::run_program(
      {"/usr/bin/c++", "-std=c++14", "-Wall", "-Werror", "dump.cpp", "-o", "dump"}, dir.path());
  ASSERT_EQ(built.status, 0) << built.err;
  auto dumped = test_support::run_program({dir.file("dump")}, dir.path());
  ASSERT_EQ(dumped.status, 0);

  std::string expected;
  for (const std::string& word : words) {
    char hex[3];
    for (char c : word) {
      std::snprintf(hex, sizeof hex, "%02x", c & 0xff);
      expected += hex;
    }
    expected += '\n';
  }
  EXPECT_EQ(dumped.out, expected);
}

}  // namespace
