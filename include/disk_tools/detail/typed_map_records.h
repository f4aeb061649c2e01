// The slots of the typed map d_map<K, V>: how each key and value sits in the
// node records of map_records.h (header and node head unchanged).
//
//   slot field                     width W/2   bytes
//   trivially copyable T           sizeof(T)   its bytes in memory order
//   std::string                    32          see the string field below
//   a codec type                   8           the address of its own block
//   d_list<U>                      8           the inner list's handle block
//   d_vector<U>                    8           the inner vector's handle block
//
//   string field offset  width  contents
//   0                    8      L: the string's length in bytes
//   8                    24     L <= 24: the bytes, then 0 bytes
//                               L > 24: the first 16 bytes (a prefix that
//                               decides most comparisons without a read), then
//                               at 24 the address of the string's own block
//
// A slot holds the key's field, then the value's. Only the slots below the
// node's count are written and read; the bytes after them mean nothing. A
// node record is 48 + 64 * (W_key + W_value) bytes and reserves exactly
// that: 1072 bytes for d_map<std::uint64_t, std::uint64_t>, 4144 for
// d_map<std::string, std::string>. A block of a long string or a codec value is laid out as
// stored_value.h says; the map owns it and frees it when the pair goes or its
// value is replaced.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/directory.h"
#include "disk_tools/detail/map_records.h"
#include "disk_tools/detail/stored_value.h"

namespace disk_tools {

template <class T>
class d_list;
template <class T>
class d_vector;

// A trivially copyable key or value, held in the slot itself.
template <class T>
struct map_plain_slot {
  T value{};
  T const& get() const { return value; }
  bool operator<(map_plain_slot const& other) const { return value < other.value; }
};

template <class T>
struct map_slot_field<map_plain_slot<T>> {
  static constexpr std::size_t width = sizeof(T);
  static constexpr std::size_t reserved = sizeof(T);
  static void encode(char* out, map_plain_slot<T> const& v) { std::memcpy(out, &v.value, width); }
  static void decode(char const* in, map_plain_slot<T>& v, io_tools::bfstream&) {
    std::memcpy(&v.value, in, width);
  }
};

// A string or codec key or value in a block of its own. The slot names the
// block; the value is read from it on first use (a lookup compares a few keys
// of a node, not all 64). A probe (address -1) carries the value it was made
// with and is never stored.
template <class T>
struct map_block_slot {
  word_t address = no_address;
  io_tools::bfstream* stream = nullptr;
  mutable T value{};
  mutable bool loaded = true;

  T const& get() const {
    if (!loaded) {
      value = stored_value<T>::read(*stream, address);
      loaded = true;
    }
    return value;
  }
  bool operator<(map_block_slot const& other) const { return get() < other.get(); }
};

template <class T>
struct map_slot_field<map_block_slot<T>> {
  static constexpr std::size_t width = 8;
  static constexpr std::size_t reserved = 8;
  // The smallest block: a length word and a byte.
  static constexpr word_t smallest_block = 9;

  static void encode(char* out, map_block_slot<T> const& v) { encode_word(out, v.address); }
  static void decode(char const* in, map_block_slot<T>& v, io_tools::bfstream& s) {
    word_t const address = decode_word(in);
    if (address < database_header_size || address > s.size() - smallest_block) {
      throw io_tools::corrupt_file(s);
    }
    v.address = address;
    v.stream = &s;
    v.loaded = false;
  }
};

// A string: up to 24 bytes in the slot itself, a longer one in a block of
// its own with its first 16 bytes kept in the slot. Comparisons look at the
// slot's bytes first and read a block (in place, through the mapping) only
// when two long strings share their prefix. A probe made from a caller's
// string points at that string instead of a block and is never stored.
struct map_text_slot {
  static constexpr std::size_t inline_room = 24;
  static constexpr std::size_t prefix_size = 16;
  static constexpr std::size_t address_at = 16;

  word_t length = 0;
  char bytes[inline_room] = {};
  // Where the bytes of a long string past its prefix are: a probe's in the
  // caller's string (a probe names no block: the word at address_at stays
  // 0), a stored string's in its block, read through the stream. One word
  // serves both, so a pair of strings takes 80 bytes of a node object, not
  // 96: an insert moves about half a node's pairs.
  union {
    char const* outside = nullptr;
    io_tools::bfstream* stream;
  };

  // The slot for s, pointing at s's bytes when they do not fit.
  static map_text_slot probe(std::string_view s) {
    map_text_slot t;
    t.length = static_cast<word_t>(s.size());
    std::memcpy(t.bytes, s.data(), std::min(s.size(), t.in_slot()));
    if (!t.fits()) t.outside = s.data();
    return t;
  }

  bool fits() const { return length <= static_cast<word_t>(inline_room); }
  std::size_t in_slot() const { return fits() ? static_cast<std::size_t>(length) : prefix_size; }
  word_t block() const { return fits() ? no_address : decode_word(bytes + address_at); }
  void set_block(word_t address) { encode_word(bytes + address_at, address); }

  // The whole string: from the slot, the probe's string or the block.
  std::string_view view() const {
    if (fits()) return {bytes, static_cast<std::size_t>(length)};
    if (block() == 0) return {outside, static_cast<std::size_t>(length)};
    return block_chars();
  }
  std::string get() const { return std::string(view()); }

  // -1, 0 or 1 as this string orders before, with or after other, byte by
  // byte. Every slot holds the first 16 bytes of its string, a shorter string
  // followed by 0 bytes; read as two words, most significant byte first,
  // they decide wherever they differ (at a byte both strings have, or where
  // the shorter string has ended and is a prefix of the other). Only equal
  // prefixes go on to the lengths or, for two long strings, their blocks.
  int compare(map_text_slot const& other) const {
    for (std::size_t at = 0; at < prefix_size; at += 8) {
      std::uint64_t const a = ordered_word(bytes + at);
      std::uint64_t const b = ordered_word(other.bytes + at);
      if (a != b) return a < b ? -1 : 1;
    }
    std::size_t const common = std::min(in_slot(), other.in_slot());
    int const c = std::memcmp(bytes, other.bytes, common);
    if (c != 0) return c < 0 ? -1 : 1;
    // Equal so far: when that was all of the shorter string, the lengths
    // decide; else the rest lies beyond one slot's bytes.
    if (static_cast<word_t>(common) == std::min(length, other.length)) {
      return length < other.length ? -1 : (other.length < length ? 1 : 0);
    }
    int const rest = view().compare(other.view());
    return rest < 0 ? -1 : (rest > 0 ? 1 : 0);
  }
  bool operator<(map_text_slot const& other) const { return compare(other) < 0; }

 private:
  // The 8 bytes at `at` as a number whose most significant byte is the
  // first. On a little-endian host that is one load and a byte swap; the
  // byte loop is compiled as written, a shift and an add per byte, and was
  // the largest cost of a descent.
  static std::uint64_t ordered_word(char const* at) {
    std::uint64_t w = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&w, at, sizeof w);
    return __builtin_bswap64(w);
#else
    unsigned char b[8];
    std::memcpy(b, at, sizeof b);
    for (unsigned char c : b) w = w << 8 | c;
    return w;
#endif
  }
  // The block holds the length word L + 1, the bytes and a 0 byte; anything
  // else there is damage.
  std::string_view block_chars() const {
    word_t const at = block();
    if (stream->read_word(at) != length + 1) throw io_tools::corrupt_file(*stream);
    char const* chars =
        stream->view(at + static_cast<word_t>(word_size), static_cast<std::size_t>(length));
    if (!chars) throw io_tools::corrupt_file(*stream);
    return {chars, static_cast<std::size_t>(length)};
  }
};

inline int key_order(map_text_slot const& a, map_text_slot const& b) {
  return a.compare(b);
}

template <>
struct map_slot_field<map_text_slot> {
  static constexpr std::size_t width = 8 + map_text_slot::inline_room;
  static constexpr std::size_t reserved = width;

  static void encode(char* out, map_text_slot const& v) {
    encode_word(out, v.length);
    std::memcpy(out + 8, v.bytes, map_text_slot::inline_room);
  }
  static void decode(char const* in, map_text_slot& v, io_tools::bfstream& s) {
    v.length = decode_word(in);
    std::memcpy(v.bytes, in + 8, map_text_slot::inline_room);
    v.stream = &s;
    if (v.length < 0 || v.length > s.size()) throw io_tools::corrupt_file(s);
    // A long string's block: its length word, the bytes and the 0 byte.
    word_t const at = v.block();
    if (!v.fits() && (at < database_header_size ||
                      at > s.size() - v.length - 1 - static_cast<word_t>(word_size))) {
      throw io_tools::corrupt_file(s);
    }
  }
};

// A container value: the address of its handle block (its first word names
// the container's header). Containers are not ordered, so never keys.
template <class C>
struct map_container_slot {
  word_t handle = no_address;
};

template <class C>
struct map_slot_field<map_container_slot<C>> {
  static constexpr std::size_t width = 8;
  static constexpr std::size_t reserved = 8;
  static void encode(char* out, map_container_slot<C> const& v) { encode_word(out, v.handle); }
  static void decode(char const* in, map_container_slot<C>& v, io_tools::bfstream& s) {
    word_t const handle = decode_word(in);
    if (handle < database_header_size || handle > s.size() - static_cast<word_t>(word_size)) {
      throw io_tools::corrupt_file(s);
    }
    v.handle = handle;
  }
};

template <class T>
struct map_slot_is_typed<map_plain_slot<T>> : std::true_type {};
template <class T>
struct map_slot_is_whole<map_plain_slot<T>> : std::true_type {};
template <class T>
struct map_slot_is_typed<map_block_slot<T>> : std::true_type {};
template <>
struct map_slot_is_typed<map_text_slot> : std::true_type {};
template <class C>
struct map_slot_is_typed<map_container_slot<C>> : std::true_type {};

// The slot type that holds a T.
template <class T, class Enable = void>
struct map_slot_of {
  using type = map_block_slot<T>;
};
template <class T>
struct map_slot_of<T, std::enable_if_t<std::is_trivially_copyable<T>::value && !has_codec_v<T>>> {
  using type = map_plain_slot<T>;
};
template <>
struct map_slot_of<std::string> {
  using type = map_text_slot;
};
template <class U>
struct map_slot_of<d_list<U>> {
  using type = map_container_slot<d_list<U>>;
};
template <class U>
struct map_slot_of<d_vector<U>> {
  using type = map_container_slot<d_vector<U>>;
};

// The blocks erase gives back with a pair: a long string's or codec value's
// own block. A container value is freed by the typed map itself, and a plain
// one has no block.
template <class T>
struct map_owned_block;
template <class T>
struct map_owned_block<map_block_slot<T>> {
  static word_t of(map_block_slot<T> const& slot) { return slot.address; }
};
template <>
struct map_owned_block<map_text_slot> {
  static word_t of(map_text_slot const& slot) { return slot.block(); }
};

}  // namespace disk_tools
