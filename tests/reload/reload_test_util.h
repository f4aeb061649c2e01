// Helpers for the reload tests: text files, counting, and typing input one line per prompt.
#ifndef TESTS_RELOAD_RELOAD_TEST_UTIL_H
#define TESTS_RELOAD_RELOAD_TEST_UTIL_H

#include <cstddef>
#include <string>
#include <vector>

#include "harness.h"

namespace reload_test {

inline std::string read_text(std::string const& path) {
  std::vector<char> const bytes = test_support::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

inline void write_text(std::string const& path, std::string const& text) {
  test_support::write_file(path, std::vector<char>(text.begin(), text.end()));
}

// How often `needle` occurs in `text`, occurrences not overlapping.
inline std::size_t count_of(std::string const& text, std::string const& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// Runs argv[0] with its arguments in folder cwd the way a person at a terminal would answer
// it: each of `lines` (a line end is added) is written only after the program's output has
// grown and ends with one of `prompts`, so no input is ever waiting before the program asks
// for it. Standard input is closed at the prompt after the last line. Kills the program after
// timeout_seconds.
test_support::run_result run_typed(std::vector<std::string> const& argv, std::string const& cwd,
                                   std::vector<std::string> const& lines,
                                   std::vector<std::string> const& prompts,
                                   int timeout_seconds = 120);

}  // namespace reload_test

#endif  // TESTS_RELOAD_RELOAD_TEST_UTIL_H
