// How a single value is laid out in the database file.
//
//   std::string:  8-byte length L (characters + 1), the characters, one 0 byte
//   plain types:  their raw bytes in memory order, sizeof(T) bytes, no length
//   codec types:  8-byte length L, then the L bytes codec<T>::encode gave
//
// A stored string is read back up to its first 0 byte. A type with a codec
// (codec.h) is stored through it even when it is trivially copyable.
#pragma once

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
    word_t const length = s.read_word(address);
    // The length word is checked against the file before it is followed.
    if (length < 1 || length > s.size() - address - static_cast<word_t>(word_size)) {
      throw io_tools::corrupt_file(s);
    }
    char const* const chars = s.view(address + static_cast<word_t>(word_size),
                                     static_cast<std::size_t>(length));
    if (!chars) throw io_tools::corrupt_file(s);
    return std::string_view(chars, ::strnlen(chars, static_cast<std::size_t>(length)));
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
  word_t const old = s.read_word(cell);
  if (old != no_address) allocator.deallocate(old);
  s.write_word(cell, store_value(allocator, value));
}

}  // namespace disk_tools
