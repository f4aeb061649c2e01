// The database file's header and its root directory of named entry points.
//
//   file offset  width   content
//   0            16      the allocator's two list heads (d_alloc_node.h)
//   16           13600   root directory: 100 entries of 136 bytes
//   13616        to end  blocks and allocator records
//
//   entry offset  width  root directory entry
//   0             128    name, NUL-terminated and NUL-padded; "" marks a free entry
//                        (after the name's 0 byte: the root's kind record, root_kind.h)
//   128           8      slot: the root's cell, -1 until its object stores an address
#pragma once

#include <string>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/root_kind.h"

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
  // The kind descriptor recorded with the name; empty when there is none.
  std::string kind;
  kind_record::status kind_status = kind_record::status::none;

  bool is_free() const { return name.empty(); }
  // Whether a record of kind fits beside the name.
  bool kind_fits(std::string const& k) const {
    return k.size() <= kind_record::max_kind_length &&
           kind_record::size(k) <= name_size - name.size();
  }

  // The kind record goes after the name when there is one and it fits.
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

// Throws the messages above for a name that cannot be stored faithfully.
void check_root_name(std::string const& name);
// Every entry of the directory at directory_offset, free ones included.
std::vector<directory_entry> read_directory(io_tools::bfstream& s, word_t directory_offset);
// The index of the entry named name; -1 when there is none.
int find_root(std::vector<directory_entry> const& entries, std::string const& name);
void write_entry(io_tools::bfstream& s, word_t directory_offset, int index,
                 directory_entry const& entry);

}  // namespace disk_tools
