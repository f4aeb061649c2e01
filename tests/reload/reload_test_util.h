// Text-file helpers for the reload tests.
#pragma once

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

// Non-overlapping occurrences of `needle` in `text`.
inline std::size_t count_of(std::string const& text, std::string const& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

}  // namespace reload_test
