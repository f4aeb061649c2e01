// The side file NAME.odb-index: the allocator's summary of its allocation
// list, written at a clean close so that the next opening need not walk the
// list. It only saves time: whoever reads it checks it against the database
// (the length here, then every class boundary against the records) and
// ignores it when anything disagrees.
//
//   offset      width  field
//   0           8      magic "odbindx1"
//   8           8      length of the database file it describes
//   16          8      number of size classes n
//   24          24*n   the classes, in ascending size:
//     +0        8        size of the blocks of the class
//     +8        8        first record of the class in the allocation list
//     +16       8        last record of the class
//   24+24n      4      CRC-32C of every byte before it
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "disk_tools/detail/checksum.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/journal_records.h"

namespace disk_tools {

// One size class of the allocation list: the run of records of one size.
struct size_class_bounds {
  word_t size = 0;
  word_t first = no_address;
  word_t last = no_address;
};

struct index_file {
  static constexpr char magic[] = "odbindx1";
  static constexpr std::size_t magic_size = 8;
  static constexpr std::size_t length_offset = 8;
  static constexpr std::size_t count_offset = 16;
  static constexpr std::size_t classes_offset = 24;
  static constexpr std::size_t class_size = 24;
  static constexpr std::size_t class_first_offset = 8;
  static constexpr std::size_t class_last_offset = 16;
  static constexpr std::size_t checksum_size = 4;

  word_t database_length = 0;
  std::vector<size_class_bounds> classes;

  std::vector<char> encode() const {
    std::vector<char> out(classes_offset + class_size * classes.size() + checksum_size);
    std::memcpy(out.data(), magic, magic_size);
    encode_word(&out[length_offset], database_length);
    encode_word(&out[count_offset], static_cast<word_t>(classes.size()));
    char* at = &out[classes_offset];
    for (size_class_bounds const& c : classes) {
      encode_word(at, c.size);
      encode_word(at + class_first_offset, c.first);
      encode_word(at + class_last_offset, c.last);
      at += class_size;
    }
    encode_u32(at, crc32c(0, out.data(), static_cast<std::size_t>(at - out.data())));
    return out;
  }

  // False when the bytes are not a whole, undamaged side file with classes in
  // strictly ascending size.
  static bool decode(char const* in, std::size_t n, index_file& out) {
    if (n < classes_offset + checksum_size || std::memcmp(in, magic, magic_size) != 0) {
      return false;
    }
    word_t const count = decode_word(in + count_offset);
    if (count < 0 || static_cast<std::uint64_t>(count) >
                         (n - classes_offset - checksum_size) / class_size) {
      return false;
    }
    std::size_t const body = classes_offset + class_size * static_cast<std::size_t>(count);
    if (n != body + checksum_size || decode_u32(in + body) != crc32c(0, in, body)) {
      return false;
    }
    out.database_length = decode_word(in + length_offset);
    out.classes.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.classes.size(); ++i) {
      char const* at = in + classes_offset + class_size * i;
      out.classes[i] = {decode_word(at), decode_word(at + class_first_offset),
                        decode_word(at + class_last_offset)};
      if (i > 0 && out.classes[i].size <= out.classes[i - 1].size) return false;
    }
    return true;
  }
};

}  // namespace disk_tools
