// The records of the persistent hash map.
//
//   map header (16 + 8 n bytes, made by create_hashmap)
//   offset      width  field
//   0           8      count: number of distinct keys
//   8           8      n: number of buckets (at least 1)
//   16 + 8 b    8      bucket b: address of the first entry of its chain, -1 when empty
//
//   entry record (24 + KL + VL bytes, one block per key)
//   offset      width  field
//   0           8      next: the following entry of the chain, -1 at the end
//   8           8      KL: key length including its terminating 0 byte
//   16          KL     key characters, then a 0 byte
//   16 + KL     8      VL: value length including its terminating 0 byte
//   24 + KL     VL     value characters, then a 0 byte
//
//   The word that points at an entry (its bucket word, or the next word of the
//   entry before it) is the entry's link; replacing an entry rewrites its link.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bfstream.h"
#include "bstringstream.h"
#include "coding.h"
#include "directory.h"

namespace disk_tools {

struct hashmap_header {
  static constexpr std::size_t count_offset = 0;
  static constexpr std::size_t buckets_offset = 8;
  static constexpr std::size_t table_offset = 16;
  static constexpr std::size_t fixed_size = 16;

  word_t count = 0;
  word_t buckets = 0;

  static word_t bucket_address(word_t header, word_t bucket) {
    return header + static_cast<word_t>(table_offset) + static_cast<word_t>(word_size) * bucket;
  }

  // The smallest entry record: its three words and the 0 bytes of an empty
  // key and an empty value. No file holds more entries than fit in it.
  static constexpr word_t smallest_entry = 3 * static_cast<word_t>(word_size) + 2;

  // Reads the fixed part at address, refusing a bucket count that is not
  // positive or whose table would run past the end of the file, and a count
  // of more entries than the file could hold.
  static hashmap_header read(io_tools::bfstream& s, word_t address) {
    if (address < database_header_size) throw io_tools::corrupt_file_message;
    char buf[fixed_size];
    s.read_at(address, buf, sizeof buf);
    hashmap_header h;
    h.count = decode_word(buf + count_offset);
    h.buckets = decode_word(buf + buckets_offset);
    word_t const room =
        (s.size() - address - static_cast<word_t>(fixed_size)) / static_cast<word_t>(word_size);
    if (h.count < 0 || h.count > s.size() / smallest_entry || h.buckets < 1 || h.buckets > room) {
      throw io_tools::corrupt_file_message;
    }
    return h;
  }

  static void write_count(io_tools::bfstream& s, word_t address, word_t count) {
    s.write_word(address + static_cast<word_t>(count_offset), count);
  }
};

struct hashmap_entry {
  static constexpr std::size_t next_offset = 0;
  static constexpr std::size_t key_length_offset = 8;
  static constexpr std::size_t key_offset = 16;
  // Next word, key length and value length.
  static constexpr std::size_t fixed_size = 24;
  // An entry of an empty key and an empty value.
  static constexpr std::size_t min_size = fixed_size + 2;

  word_t next = no_address;
  // The key's bytes as stored, without the terminating 0 (a key is matched on
  // all of them).
  std::string key;
  // The value up to its first 0 byte.
  std::string value;

  std::size_t size() const { return fixed_size + key.size() + 1 + value.size() + 1; }

  void encode(text_tools::bstringstream& out) const {
    out.cpy_word(next);
    out.cpy_word(static_cast<word_t>(key.size()) + 1);
    out.cpy(key.c_str(), key.size() + 1);
    out.cpy_word(static_cast<word_t>(value.size()) + 1);
    out.cpy(value.c_str(), value.size() + 1);
  }

  // Reads the entry at address. An entry of ordinary size arrives in one
  // transfer (read_ahead bytes, or what is left of the file); a longer key or
  // value costs one more for the bytes still missing. Every length is checked
  // against the file before it is followed.
  static hashmap_entry read(io_tools::bfstream& s, word_t address) {
    constexpr word_t read_ahead = 256;
    if (address < database_header_size || address >= s.size()) {
      throw io_tools::corrupt_file_message;
    }
    word_t const available = s.size() - address;
    std::vector<char> buf(static_cast<std::size_t>(std::min(available, read_ahead)));
    s.read_at(address, buf.data(), buf.size());
    auto need = [&](word_t n) {
      if (n > available) throw io_tools::corrupt_file_message;
      std::size_t const have = buf.size();
      if (static_cast<std::size_t>(n) <= have) return;
      buf.resize(static_cast<std::size_t>(n));
      s.read_at(address + static_cast<word_t>(have), &buf[have], buf.size() - have);
    };

    need(static_cast<word_t>(key_offset));
    hashmap_entry e;
    e.next = decode_word(&buf[next_offset]);
    word_t const key_length = decode_word(&buf[key_length_offset]);
    if (e.next < no_address || key_length < 1 || key_length > available) {
      throw io_tools::corrupt_file_message;
    }
    word_t const value_length_at = static_cast<word_t>(key_offset) + key_length;
    need(value_length_at + static_cast<word_t>(word_size));
    word_t const value_length = decode_word(&buf[static_cast<std::size_t>(value_length_at)]);
    if (value_length < 1 || value_length > available) throw io_tools::corrupt_file_message;
    word_t const value_at = value_length_at + static_cast<word_t>(word_size);
    need(value_at + value_length);

    e.key.assign(&buf[key_offset], static_cast<std::size_t>(key_length) - 1);
    char const* v = &buf[static_cast<std::size_t>(value_at)];
    e.value.assign(v, ::strnlen(v, static_cast<std::size_t>(value_length)));
    return e;
  }
};

}  // namespace disk_tools
