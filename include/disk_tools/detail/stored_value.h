// How a single value is laid out in the database file.
//
//   std::string:  8-byte length L (characters + 1), the characters, one 0 byte
//   plain types:  their raw bytes in memory order, sizeof(T) bytes, no length
//   codec types:  8-byte length L, then the L bytes codec<T>::encode gave
//
// A stored string is read back up to its first 0 byte. A type with a codec
// (codec.h) is stored through it even when it is trivially copyable.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "disk_tools/codec.h"
#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/coding.h"

namespace disk_tools {

// What a read hands back: a copy of the stored value. Where that is an object
// (a string, a struct) the copy is const, so that an assignment meant for the
// element (`*it = v`, `l.front() = v`, `m.at(k) = v`) does not compile rather
// than change the copy alone. A container held as a value is a working view
// whose changes go to the file (View), and is handed back as it is.
template <class T, bool View = false>
using read_copy = std::conditional_t<std::is_class<T>::value && !View, T const, T>;

template <class T, class Enable = void>
struct stored_value {
  static_assert(std::is_trivially_copyable<T>::value,
                "a container keeps std::string, trivially copyable types and types with a codec: "
                "specialise disk_tools::codec<T> with static void encode(T const&, std::string&) "
                "and static T decode(std::string_view) (see <disk_tools/codec.h>)");

  static void encode(text_tools::bstringstream& out, T const& value) {
    out.cpy(&value, sizeof value);
  }

  static T read(io_tools::bfstream& s, word_t address) {
    T value{};
    s.read_at(address, &value, sizeof value);
    return value;
  }
};

template <>
struct stored_value<std::string> {
  static void encode(text_tools::bstringstream& out, std::string const& value) {
    out.cpy_word(static_cast<word_t>(value.size()) + 1);
    out.cpy(value.c_str(), value.size() + 1);
  }

  static std::string read(io_tools::bfstream& s, word_t address) {
    return std::string(view(s, address));
  }

  // The stored characters where the file's bytes lie, without a copy: valid
  // until the next change to the database, which may move or reuse them.
  static std::string_view view(io_tools::bfstream& s, word_t address) {
    char const* const at = s.view(address, word_size);
    if (!at) throw io_tools::corrupt_file(s);
    word_t const length = decode_word(at);
    // The length word is checked against the file before it is followed.
    if (length < 1 || length > s.size() - address - static_cast<word_t>(word_size)) {
      throw io_tools::corrupt_file(s);
    }
    char const* const chars = at + word_size;
    return std::string_view(chars, chars_before_zero(chars, static_cast<std::size_t>(length)));
  }

  // How many of the n bytes at chars come before the first 0 byte (n when
  // none is 0). Stored strings are short and read by the million: a word at a
  // time, inline, costs a fraction of a call to strnlen.
  static std::size_t chars_before_zero(char const* chars, std::size_t n) {
    std::size_t at = 0;
    for (; at + word_size <= n; at += word_size) {
      if (std::uint64_t const zeros = zero_bytes(chars + at)) return at + first_marked(zeros);
    }
    if (at == n) return n;
    if (n < word_size) {
      while (at < n && chars[at] != 0) ++at;
      return at;
    }
    // The last word, overlapping bytes already known not to be 0 (which mark
    // nothing), so its first mark is the first 0 byte after them.
    std::uint64_t const zeros = zero_bytes(chars + n - word_size);
    return zeros ? n - word_size + first_marked(zeros) : n;
  }

 private:
  // The word at p with the top bit of each byte set where the byte is 0, or
  // possibly above a 0 byte (a borrow), never below the first one; bytes in
  // file order, the first in the low bits.
  static std::uint64_t zero_bytes(char const* p) {
    auto const w = static_cast<std::uint64_t>(decode_word(p));
    return (w - 0x0101010101010101ULL) & ~w & 0x8080808080808080ULL;
  }
  // The byte of the lowest mark in zeros (not 0).
  static std::size_t first_marked(std::uint64_t zeros) {
#if defined(__GNUC__)
    return static_cast<std::size_t>(__builtin_ctzll(zeros)) / 8;
#else
    std::size_t byte = 0;
    while ((zeros & 0xff) == 0) {
      zeros >>= 8;
      ++byte;
    }
    return byte;
#endif
  }
};

template <class T>
struct stored_value<T, std::enable_if_t<has_codec_v<T>>> {
  static void encode(text_tools::bstringstream& out, T const& value) {
    std::string bytes;
    codec<T>::encode(value, bytes);
    out.cpy_word(static_cast<word_t>(bytes.size()));
    out.cpy(bytes.data(), bytes.size());
  }

  static T read(io_tools::bfstream& s, word_t address) {
    word_t const length = s.read_word(address);
    if (length < 0 || length > s.size() - address - static_cast<word_t>(word_size)) {
      throw io_tools::corrupt_file(s);
    }
    char const* const bytes =
        length == 0 ? "" : s.view(address + static_cast<word_t>(word_size),
                                  static_cast<std::size_t>(length));
    if (!bytes) throw io_tools::corrupt_file(s);
    return codec<T>::decode(std::string_view(bytes, static_cast<std::size_t>(length)));
  }
};

// The number of bytes the encoding of value takes.
template <class T>
unsigned long get_size(T const& value) {
  text_tools::bstringstream out;
  stored_value<T>::encode(out, value);
  return out.size();
}

// Frees the block the cell at cell names, stores value in a new block (which
// may be the freed one) and re-aims the cell at it. Callers make it one change
// of the database, so that no crash leaves the cell naming a freed block.
template <class A, class T>
void assign_cell(io_tools::bfstream& s, A& allocator, word_t cell, T const& value);

// Allocates a block holding the encoding of value and returns its address.
template <class A, class T>
word_t store_value(A& allocator, T const& value) {
  text_tools::bstringstream out;
  stored_value<T>::encode(out, value);
  return allocator.allocate(static_cast<long>(out.size()), out);
}

template <class A, class T>
void assign_cell(io_tools::bfstream& s, A& allocator, word_t cell, T const& value) {
  // Encoded before the old block is freed: a codec that throws leaves the
  // cell naming its value still, also with the journal off, where nothing is
  // taken back.
  text_tools::bstringstream out;
  stored_value<T>::encode(out, value);
  word_t const old = s.read_word(cell);
  if (old != no_address) {
    allocator.make_room_for(static_cast<long>(out.size()));
    allocator.deallocate(old);
  }
  s.write_word(cell, allocator.allocate(static_cast<long>(out.size()), out));
}

}  // namespace disk_tools
