// The records of the persistent list.
//
//   list header (16 bytes, made by create_list)
//   offset  width  field
//   0       8      address of the sentinel record (-1 before the list is set up)
//   8       8      element count
//
//   sentinel record (40 bytes)         node record (32 bytes)
//   offset  width  field               offset  width  field
//   0       8      own address         0       8      own address
//   8       8      next: first node    8       8      next node, or the sentinel
//   16      8      prev: last node     16      8      previous node, or the sentinel
//   24      8      value: always -1    24      8      address of the element's value block
//   32      8      element count
//
//   An empty list's sentinel names itself as next and prev. The count is kept
//   both in the header and in the sentinel, and both are rewritten together.
//
//   inner-list value (16 bytes: the value block of an element of a list of lists)
//   offset  width  field
//   0       8      handle slot of the inner list (the word that holds its header's address)
//   8       8      the inner list's element count when it was added
#pragma once

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/directory.h"

namespace disk_tools {

// Records live in the blocks area, after the allocator's heads and the root
// directory.
inline bool is_block_address(word_t address) {
  return address >= database_header_size;
}

struct list_header {
  static constexpr std::size_t sentinel_offset = 0;
  static constexpr std::size_t count_offset = 8;
  static constexpr std::size_t record_size = 16;

  word_t sentinel = no_address;
  word_t count = 0;

  void encode(char* out) const {
    encode_word(out + sentinel_offset, sentinel);
    encode_word(out + count_offset, count);
  }

  static list_header decode(char const* in) {
    list_header h;
    h.sentinel = decode_word(in + sentinel_offset);
    h.count = decode_word(in + count_offset);
    return h;
  }

  // Reads the header at address; the sentinel address it holds is checked by
  // whoever follows it.
  static list_header read(io_tools::bfstream& s, word_t address) {
    if (!is_block_address(address)) throw io_tools::corrupt_file(s);
    char buf[record_size];
    s.read_at(address, buf, sizeof buf);
    return decode(buf);
  }

  void write(io_tools::bfstream& s, word_t address) const {
    char buf[record_size];
    encode(buf);
    s.write_at(address, buf, sizeof buf);
  }

  // The count alone, when the sentinel stays.
  static void write_count(io_tools::bfstream& s, word_t address, word_t count) {
    s.write_word(address + static_cast<word_t>(count_offset), count);
  }
};

// A node record; the sentinel's first four words have the same layout, so a
// walk reads the sentinel as a node when it comes back round to it.
struct list_node {
  static constexpr std::size_t own_offset = 0;
  static constexpr std::size_t next_offset = 8;
  static constexpr std::size_t prev_offset = 16;
  static constexpr std::size_t value_offset = 24;
  static constexpr std::size_t record_size = 32;

  word_t own = no_address;
  word_t next = no_address;
  word_t prev = no_address;
  word_t value = no_address;

  void encode(char* out) const {
    encode_word(out + own_offset, own);
    encode_word(out + next_offset, next);
    encode_word(out + prev_offset, prev);
    encode_word(out + value_offset, value);
  }

  static list_node decode(char const* in) {
    list_node n;
    n.own = decode_word(in + own_offset);
    n.next = decode_word(in + next_offset);
    n.prev = decode_word(in + prev_offset);
    n.value = decode_word(in + value_offset);
    return n;
  }

  // Reads the record at address, refusing one that does not sit where it says
  // it does or whose links cannot be records.
  static list_node read(io_tools::bfstream& s, word_t address) {
    if (!is_block_address(address)) throw io_tools::corrupt_file(s);
    char buf[record_size];
    s.read_at(address, buf, sizeof buf);
    list_node n = decode(buf);
    if (n.own != address || !is_block_address(n.next) || !is_block_address(n.prev) ||
        (n.value != no_address && !is_block_address(n.value))) {
      throw io_tools::corrupt_file(s);
    }
    return n;
  }

  void write(io_tools::bfstream& s) const {
    char buf[record_size];
    encode(buf);
    s.write_at(own, buf, sizeof buf);
  }

  // One link of the record as it is in memory: a neighbour's relinking
  // changes a word of it, and the journal compares and saves that word alone.
  void write_next(io_tools::bfstream& s) const {
    s.write_word(own + static_cast<word_t>(next_offset), next);
  }
  void write_prev(io_tools::bfstream& s) const {
    s.write_word(own + static_cast<word_t>(prev_offset), prev);
  }
};

struct list_sentinel {
  static constexpr std::size_t count_offset = 32;
  static constexpr std::size_t record_size = 40;

  list_node links;
  word_t count = 0;

  static list_sentinel read(io_tools::bfstream& s, word_t address) {
    if (!is_block_address(address)) throw io_tools::corrupt_file(s);
    char buf[record_size];
    s.read_at(address, buf, sizeof buf);
    list_sentinel r;
    r.links = list_node::decode(buf);
    r.count = decode_word(buf + count_offset);
    list_node const& l = r.links;
    if (l.own != address || !is_block_address(l.next) || !is_block_address(l.prev) ||
        l.value != no_address || r.count < 0 ||
        r.count > s.size() / word_t{list_node::record_size}) {
      throw io_tools::corrupt_file(s);
    }
    return r;
  }

  void write(io_tools::bfstream& s) const {
    char buf[record_size];
    links.encode(buf);
    encode_word(buf + count_offset, count);
    s.write_at(links.own, buf, sizeof buf);
  }
};

// The value block of an element that is itself a list.
struct inner_list_value {
  static constexpr std::size_t handle_offset = 0;
  static constexpr std::size_t count_offset = 8;
  static constexpr std::size_t record_size = 16;

  word_t handle = no_address;
  word_t count = 0;

  void encode(text_tools::bstringstream& out) const {
    char buf[record_size];
    encode_word(buf + handle_offset, handle);
    encode_word(buf + count_offset, count);
    out.cpy(buf, sizeof buf);
  }

  static inner_list_value read(io_tools::bfstream& s, word_t address) {
    if (!is_block_address(address)) throw io_tools::corrupt_file(s);
    char buf[record_size];
    s.read_at(address, buf, sizeof buf);
    inner_list_value v;
    v.handle = decode_word(buf + handle_offset);
    v.count = decode_word(buf + count_offset);
    // A handle is a cell: a root slot or the first word of a block.
    if (v.handle < directory_entry::directory_offset) throw io_tools::corrupt_file(s);
    return v;
  }
};

}  // namespace disk_tools
