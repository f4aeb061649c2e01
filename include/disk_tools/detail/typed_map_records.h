// The slots of the typed map d_map<K, V>: how each key and value sits in the
// node records of map_records.h (header and node head unchanged).
//
//   slot field                     width W/2      reserved per field
//   trivially copyable T           sizeof(T)      sizeof(T): its bytes in memory order
//   std::string, a codec type      8 (address)    8: the address of its own block
//   d_list<U>                      8 (address)    8: the inner list's handle block
//
// A slot holds the key's field, then the value's. A node record is then
// 48 + 64 * (W_key + W_value) bytes and reserves exactly that: 1072 bytes for
// d_map<std::uint64_t, std::uint64_t> and for d_map<std::string, std::string>.
// A block of a string or codec value is laid out as stored_value.h says; the
// map owns it and frees it when the pair goes or its value is replaced.
#pragma once

#include <cstring>
#include <string>
#include <type_traits>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/directory.h"
#include "disk_tools/detail/map_records.h"
#include "disk_tools/detail/stored_value.h"

namespace disk_tools {

template <class T>
class d_list;

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

// The slot type that holds a T.
template <class T, class Enable = void>
struct map_slot_of {
  using type = map_block_slot<T>;
};
template <class T>
struct map_slot_of<T, std::enable_if_t<std::is_trivially_copyable<T>::value && !has_codec_v<T>>> {
  using type = map_plain_slot<T>;
};
template <class U>
struct map_slot_of<d_list<U>> {
  using type = map_container_slot<d_list<U>>;
};

// The blocks erase gives back with a pair: a string's or codec value's own
// block. A container value is freed by the typed map itself, and a plain
// one has no block.
template <class T>
struct map_owned_block;
template <class T>
struct map_owned_block<map_block_slot<T>> {
  static word_t of(map_block_slot<T> const& slot) { return slot.address; }
};

}  // namespace disk_tools
