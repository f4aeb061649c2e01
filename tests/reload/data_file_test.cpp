// The data header's line format: escaping, appending, and the trip through the compiler.
#include "data_file.h"

#include <gtest/gtest.h>

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
  EXPECT_TRUE(ReloadData::storable("\"\\\x01"));
  EXPECT_FALSE(ReloadData::storable(std::string("a\0b", 3)));
}

TEST(DataFileTest, AppendAddsKeyThenValueOrReportsAnUnopenableFile) {
  scratch_dir dir;
  ASSERT_TRUE(ReloadData::append_pair(dir.file("new.h"), "k", "v"));  // created when missing
  EXPECT_EQ(read_text(dir.file("new.h")), "\"k\",\n\"v\",\n");
  write_text(dir.file("data.h"), "\"a\",\n");
  ASSERT_TRUE(ReloadData::append_pair(dir.file("data.h"), "x", "y"));
  EXPECT_EQ(read_text(dir.file("data.h")), "\"a\",\n\"x\",\n\"y\",\n");
  EXPECT_FALSE(ReloadData::append_pair(dir.file("missing/data.h"), "k", "v"));
  std::filesystem::create_directory(dir.file("folder.h"));
  EXPECT_FALSE(ReloadData::append_pair(dir.file("folder.h"), "k", "v"));
}

// Every byte a word can hold (anything but NUL and white space) must come back unchanged
// from the compiled table.
TEST(DataFileTest, CompiledTableGivesBackEveryStorableByte) {
  std::vector<std::string> words = {"\\\"", "a\"\"b", "?\?=", "?\?/", "/*", "//", "x\\", ""};
  for (int b = 1; b < 256; ++b) {
    if (b != ' ' && (b < '\t' || b > '\r')) words.back() += static_cast<char>(b);
  }

  scratch_dir dir;
  std::string data, expected;
  for (const std::string& word : words) {
    data += ReloadData::literal_line(word);
    for (char c : word) expected += {"0123456789abcdef"[(c >> 4) & 15], "0123456789abcdef"[c & 15]};
    expected += '\n';
  }
  write_text(dir.file("data.h"), data);
  write_text(dir.file("dump.cpp"),
             "#include <cstdio>\n"
             "const char* const table[] = {\n#include \"data.h\"\n nullptr};\n"
             "int main() {\n"
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
  EXPECT_EQ(dumped.out, expected);
}

}  // namespace
