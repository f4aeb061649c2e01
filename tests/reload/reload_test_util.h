// Text-file shorthands for the reload tests, over the shared byte-vector helpers.
#ifndef TESTS_RELOAD_RELOAD_TEST_UTIL_H
#define TESTS_RELOAD_RELOAD_TEST_UTIL_H

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

}  // namespace reload_test

#endif  // TESTS_RELOAD_RELOAD_TEST_UTIL_H
