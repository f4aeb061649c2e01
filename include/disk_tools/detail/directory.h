// The database file's header and its root directory of named entry points.
//
//   file offset  width   content
//   0            16      the allocator's two list heads (d_alloc_node.h)
//   16           13600   root directory: 100 entries of 136 bytes
//   13616        to end  blocks and allocator records
//
//   entry offset  width  root directory entry
//   0             128    name, NUL-terminated and NUL-padded; "" marks a free entry
//   128           8      slot: the root's cell, -1 until its object stores an address
#pragma once

#include <string>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"

namespace disk_tools {

struct directory_entry {
  static constexpr word_t directory_offset = 16;
  static constexpr int entry_count = 100;
  static constexpr std::size_t name_size = 128;
  static constexpr std::size_t slot_offset = 128;
  static constexpr std::size_t entry_size = 136;
  // The longest name that fits its field with the terminating 0.
  static constexpr std::size_t max_name_length = name_size - 1;

  std::string name;
  word_t slot = no_address;

  bool is_free() const { return name.empty(); }

  void encode(char* out) const;
  // The name ends at its first 0 byte, or at the end of the field when a
  // damaged entry has none.
  static directory_entry decode(char const* in);

  static word_t address_of(int index) {
    return directory_offset + static_cast<word_t>(entry_size) * index;
  }
};

// Size of a new, empty database file: the heads and the whole directory.
constexpr word_t database_header_size =
    directory_entry::directory_offset +
    static_cast<word_t>(directory_entry::entry_size) * directory_entry::entry_count;

// Finds the root name in the directory that starts at directory_offset, or
// registers it in the first free entry, and returns the address of its slot;
// -1 when the name is new and every entry is taken. Names that cannot be
// stored faithfully (empty, longer than 127 bytes, or holding a 0 byte) are
// refused with a thrown message before anything is written.
word_t find_or_register_root(io_tools::bfstream& s, word_t directory_offset,
                             std::string const& name);

}  // namespace disk_tools
