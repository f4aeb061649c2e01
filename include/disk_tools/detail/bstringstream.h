// A growable byte buffer: values are laid out here, piece by piece in the order
// of their on-disk format, before they are handed to the allocator as a block's
// contents.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "disk_tools/detail/coding.h"

namespace text_tools {

class bstringstream {
 public:
  bstringstream() = default;
  bstringstream(bstringstream const&) = delete;
  bstringstream& operator=(bstringstream const&) = delete;

  // Appends the n bytes at src, in order.
  void cpy(void const* src, unsigned long n) {
    if (n == 0) return;
    if (n > capacity_ - size_) reserve(std::max<std::size_t>(size_ + n, 2 * capacity_));
    std::memcpy(data_ + size_, src, n);
    size_ += n;
  }

  // Appends one 8-byte word in file byte order.
  void cpy_word(disk_tools::word_t value) {
    char w[disk_tools::word_size];
    disk_tools::encode_word(w, value);
    cpy(w, sizeof w);
  }

  // Appends n bytes for the caller to write, and returns where they start:
  // a large record is laid out in place rather than copied in.
  char* extend(std::size_t n) {
    if (n > capacity_ - size_) reserve(std::max<std::size_t>(size_ + n, 2 * capacity_));
    char* const out = data_ + size_;
    size_ += n;
    return out;
  }

  // Makes room for n bytes in all.
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    std::unique_ptr<char[]> larger(new char[n]);
    std::memcpy(larger.get(), data_, size_);
    heap_ = std::move(larger);
    data_ = heap_.get();
    capacity_ = n;
  }

  char const* start() const { return data_; }
  char const* end() const { return data_ + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  // Most values are a few words and a short string: they are laid out here
  // without touching the heap.
  static constexpr std::size_t inline_size = 96;

  char inline_[inline_size];
  std::unique_ptr<char[]> heap_;
  char* data_ = inline_;
  std::size_t capacity_ = inline_size;
  std::size_t size_ = 0;
};

}  // namespace text_tools
