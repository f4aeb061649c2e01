// The data header's line format: the trip of every storable byte through the compiler. The
// exact lines and the appending are checked end to end in program_test.cpp.
#include "data_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "reload_test_util.h"

namespace {

using reload_test::write_text;

// Every byte a word can hold (anything but NUL and white space) must come back unchanged
// from the compiled table; a digit after a control byte must not join its octal escape.
TEST(DataFileTest, CompiledTableGivesBackEveryStorableByte) {
  std::vector<std::string> words = {"\\\"", "a\"\"b", "?\?=", "?\?/", "/*", "//", "x\\",
                                    std::string("\x01") + "7", ""};
  for (int b = 1; b < 256; ++b) {
    if (b != ' ' && (b < '\t' || b > '\r')) words.back() += static_cast<char>(b);
  }

  test_support::scratch_dir dir;
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
