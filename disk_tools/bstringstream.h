// A growable byte buffer: values are laid out here, piece by piece in the order
// of their on-disk format, before they are handed to the allocator as a block's
// contents.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "coding.h"

namespace text_tools {

class bstringstream {
 public:
  bstringstream() = default;

  // Appends the n bytes at src, in order. Grown, then copied into: GCC 12 at
  // -O3 takes an insert into a fresh buffer for a write past its end
  // (-Wstringop-overflow).
  void cpy(void const* src, unsigned long n) {
    if (n == 0) return;
    std::size_t const at = bytes_.size();
    bytes_.resize(at + n);
    std::memcpy(bytes_.data() + at, src, n);
  }

  // Appends one 8-byte word in file byte order.
  void cpy_word(disk_tools::word_t value) {
    char w[disk_tools::word_size];
    disk_tools::encode_word(w, value);
    cpy(w, sizeof w);
  }

  char const* start() const { return bytes_.data(); }
  char const* end() const { return bytes_.data() + bytes_.size(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

 private:
  std::vector<char> bytes_;
};

}  // namespace text_tools
