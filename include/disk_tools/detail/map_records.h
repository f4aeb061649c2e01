// The ordered map's records: its 24-byte header and its node records, with the
// encodings of the keys and values held in a node's slots.
//
//   header offset  width  map header
//   0              8      size: number of pairs; -1 until the map is initialised
//   8              8      address of the root node
//   16             8      chain head: address of the newest node of the map
//
//   node offset    width  node record
//   0              8      left child (-1: none)
//   8              8      right child (-1: none)
//   16             8      parent (-1: the root)
//   24             8      count: slots in use, 0 to 64
//   32             8      own address of the record
//   40             8      next: the node made just before this one (-1: none)
//   48             64*W   slots 0 to 63, each the key then the value
//
//   slot field                 width W/2   reserved per field
//   unsigned int               4           4
//   d_ref<std::string>         8 (address) 72
//
// A node reserves 48 + 64 * (reserved key + reserved value) bytes: 560 for the
// unsigned map, 9264 for the string map, although the string map's record is
// only 1072 bytes long. All 64 slots are written; only count of them are read.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/d_ref.h"
#include "disk_tools/detail/directory.h"

namespace disk_tools {

struct map_header {
  static constexpr std::size_t size_offset = 0;
  static constexpr std::size_t root_offset = 8;
  static constexpr std::size_t chain_head_offset = 16;
  static constexpr std::size_t record_size = 24;

  word_t size = no_address;
  word_t root = no_address;
  word_t chain_head = no_address;

  // A header made by create_map holds -1 until the map's first node exists.
  bool initialised() const { return size != no_address; }

  void encode(char* out) const {
    encode_word(out + size_offset, size);
    encode_word(out + root_offset, root);
    encode_word(out + chain_head_offset, chain_head);
  }

  static map_header decode(char const* in) {
    map_header h;
    h.size = decode_word(in + size_offset);
    h.root = decode_word(in + root_offset);
    h.chain_head = decode_word(in + chain_head_offset);
    return h;
  }

  // Reads the header at address, refusing one that lies outside the blocks
  // area or holds a negative size other than the "not initialised" mark, or a
  // size larger than the file: every pair takes several bytes of a node.
  static map_header read(io_tools::bfstream& s, word_t address) {
    if (address < database_header_size) throw io_tools::corrupt_file(s);
    char buf[record_size];
    s.read_at(address, buf, sizeof buf);
    map_header h = decode(buf);
    if (h.size < no_address || h.size > s.size()) throw io_tools::corrupt_file(s);
    return h;
  }

  void write(io_tools::bfstream& s, word_t address) const {
    char buf[record_size];
    encode(buf);
    s.write_at(address, buf, sizeof buf);
  }
};

// The six words at the start of every node record.
struct map_node_head {
  static constexpr std::size_t left_offset = 0;
  static constexpr std::size_t right_offset = 8;
  static constexpr std::size_t parent_offset = 16;
  static constexpr std::size_t count_offset = 24;
  static constexpr std::size_t address_offset = 32;
  static constexpr std::size_t next_offset = 40;
  static constexpr std::size_t head_size = 48;
  static constexpr int max_pairs = 64;

  word_t left = no_address;
  word_t right = no_address;
  word_t parent = no_address;
  word_t count = 0;
  word_t address = no_address;
  word_t next = no_address;

  void encode(char* out) const {
    encode_word(out + left_offset, left);
    encode_word(out + right_offset, right);
    encode_word(out + parent_offset, parent);
    encode_word(out + count_offset, count);
    encode_word(out + address_offset, address);
    encode_word(out + next_offset, next);
  }

  static map_node_head decode(char const* in) {
    map_node_head h;
    h.left = decode_word(in + left_offset);
    h.right = decode_word(in + right_offset);
    h.parent = decode_word(in + parent_offset);
    h.count = decode_word(in + count_offset);
    h.address = decode_word(in + address_offset);
    h.next = decode_word(in + next_offset);
    return h;
  }

  // A node link is -1 or the address of a whole record inside the blocks
  // area.
  static bool plausible_link(word_t link, word_t file_size, std::size_t record_size) {
    return link == no_address ||
           (link >= database_header_size && link <= file_size - static_cast<word_t>(record_size));
  }

  // Throws unless the head read at address names itself, holds a count of 0
  // to 64 and links only to places where a record of record_size fits.
  void check(word_t at, word_t file_size, std::size_t record_size) const {
    bool const sane = address == at && count >= 0 && count <= max_pairs &&
                      plausible_link(left, file_size, record_size) &&
                      plausible_link(right, file_size, record_size) &&
                      plausible_link(parent, file_size, record_size) &&
                      plausible_link(next, file_size, record_size);
    if (!sane) throw error(errc::corrupt, io_tools::corrupt_file_message);
  }

  // Reads only the head of the record at address: enough to follow links.
  static map_node_head read(io_tools::bfstream& s, word_t address, std::size_t record_size) {
    if (!plausible_link(address, s.size(), record_size) || address == no_address) {
      throw io_tools::corrupt_file(s);
    }
    char buf[head_size];
    s.read_at(address, buf, sizeof buf);
    map_node_head h = decode(buf);
    h.check(address, s.size(), record_size);
    return h;
  }
};

// How one key or value is held in a slot of a node record.
template <class T>
struct map_slot_field;

template <>
struct map_slot_field<unsigned> {
  static constexpr std::size_t width = 4;
  static constexpr std::size_t reserved = 4;

  // Little-endian whatever the host; assembled in a local array first, which
  // compilers turn into a single 4-byte move (a node writes 128 of these).
  static void encode(char* out, unsigned v) {
    unsigned char const bytes[width] = {
        static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    std::memcpy(out, bytes, width);
  }
  static void decode(char const* in, unsigned& v, io_tools::bfstream&) {
    unsigned char bytes[width];
    std::memcpy(bytes, in, width);
    v = static_cast<unsigned>(bytes[0]) | static_cast<unsigned>(bytes[1]) << 8 |
        static_cast<unsigned>(bytes[2]) << 16 | static_cast<unsigned>(bytes[3]) << 24;
  }
};

// A string slot holds the address of the string's own block; the string is
// read from there on first use.
template <>
struct map_slot_field<d_ref<std::string>> {
  static constexpr std::size_t width = 8;
  static constexpr std::size_t reserved = 72;
  // The smallest stored string: its length word and the terminating 0.
  static constexpr word_t smallest_value = 9;

  static void encode(char* out, d_ref<std::string> const& v) { encode_word(out, v.address()); }
  static void decode(char const* in, d_ref<std::string>& v, io_tools::bfstream& s) {
    word_t const address = decode_word(in);
    bool const plausible = address == no_address || (address >= database_header_size &&
                                                     address <= s.size() - smallest_value);
    if (!plausible) throw io_tools::corrupt_file(s);
    v.refer_to(address, &s);
  }
};

// Whether a slot type belongs to the typed map (typed_map_records.h), whose
// node records are read and written only up to their count: the two drivers'
// maps write all 64 slots, and their files keep those bytes.
template <class T>
struct map_slot_is_typed : std::false_type {};
// Whether a slot type's value is its slot's bytes alone, read from nowhere
// else: a node object of such slots agrees with the file as long as its
// record's bytes stay as they were.
template <class T>
struct map_slot_is_whole : std::false_type {};

// Sizes of the node record of a map with keys K and values V.
template <class K, class V>
struct map_node_layout {
  static constexpr std::size_t slot_width = map_slot_field<K>::width + map_slot_field<V>::width;
  static constexpr std::size_t record_size =
      map_node_head::head_size + map_node_head::max_pairs * slot_width;
  static constexpr long reservation = static_cast<long>(
      map_node_head::head_size +
      map_node_head::max_pairs * (map_slot_field<K>::reserved + map_slot_field<V>::reserved));

  // Slots store writes: all of them, or for the typed map the used ones.
  static constexpr bool writes_used_only = map_slot_is_typed<K>::value && map_slot_is_typed<V>::value;

  static std::size_t slot_offset(int index) {
    return map_node_head::head_size + static_cast<std::size_t>(index) * slot_width;
  }
  // The most node records a file of file_size bytes can hold: every walk of
  // nodes stops after this many steps, so a cycle in the file cannot hang it.
  static word_t max_nodes(word_t file_size) { return file_size / reservation + 1; }
};

}  // namespace disk_tools
