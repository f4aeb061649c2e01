// The allocator's bookkeeping record, one per block, and the two list heads
// at the start of the file. A record whose block was merged into another is
// emptied and waits in the free list (a spare) for the next block.
//
//   file offset  width  allocator words
//   0            8      head of the allocation list (-1: empty)
//   8            8      head of the free list (-1: empty)
//
//   record offset  width  d_alloc_node field
//   0              8      own address of the record
//   8              8      data address of the block (-1 in an emptied record)
//   16             8      size of the block in bytes (0 in an emptied record)
//   24             8      next record in the same list (-1 ends the list)
//   32             1      free flag: 1 free, 0 in use
#pragma once

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"

namespace disk_tools {

constexpr word_t alloc_list_head = 0;
constexpr word_t free_list_head = 8;
// The allocator's words end here; whatever follows belongs to the database.
constexpr word_t alloc_heads_end = 16;

struct d_alloc_node {
  static constexpr std::size_t own_offset = 0;
  static constexpr std::size_t data_offset = 8;
  static constexpr std::size_t size_offset = 16;
  static constexpr std::size_t next_offset = 24;
  static constexpr std::size_t free_offset = 32;
  static constexpr std::size_t record_size = 33;

  word_t own = no_address;
  word_t data = no_address;
  word_t size = 0;
  word_t next = no_address;
  bool free = false;

  // An emptied record describes no bytes: its block was merged into a
  // neighbour, or cut off with the end of the file.
  bool empty() const { return data == no_address; }

  void encode(char* out) const {
    encode_word(out + own_offset, own);
    encode_word(out + data_offset, data);
    encode_word(out + size_offset, size);
    encode_word(out + next_offset, next);
    out[free_offset] = free ? 1 : 0;
  }

  static d_alloc_node decode(char const* in) {
    d_alloc_node r;
    r.own = decode_word(in + own_offset);
    r.data = decode_word(in + data_offset);
    r.size = decode_word(in + size_offset);
    r.next = decode_word(in + next_offset);
    r.free = in[free_offset] != 0;
    return r;
  }

  // Reads the record at address, refusing one that does not sit where it says
  // it does or that describes bytes outside the file.
  static d_alloc_node read(io_tools::bfstream& s, word_t address) {
    if (address < alloc_heads_end) throw io_tools::corrupt_file(s);
    char buf[record_size];
    s.read_at(address, buf, sizeof buf);
    d_alloc_node r = decode(buf);
    if (!r.sane(s, address)) throw io_tools::corrupt_file(s);
    return r;
  }

  // The same without throwing, for addresses that are only guesses: false
  // when no sound record lies at address.
  static bool try_read(io_tools::bfstream const& s, word_t address, d_alloc_node& out) {
    if (address < alloc_heads_end) return false;
    char const* const bytes = s.view(address, record_size);
    if (!bytes) return false;
    out = decode(bytes);
    return out.sane(s, address);
  }

  // Whether the record, read at address, sits where it says it does and
  // describes bytes inside the file.
  bool sane(io_tools::bfstream const& s, word_t address) const {
    bool const sane_block =
        empty() ? size == 0 : data >= alloc_heads_end && size >= 0 && data <= s.size() - size;
    return own == address && sane_block && next >= no_address;
  }

  void write(io_tools::bfstream& s) const {
    char buf[record_size];
    encode(buf);
    s.write_at(own, buf, sizeof buf);
  }
};

}  // namespace disk_tools
