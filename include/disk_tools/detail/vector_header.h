// The header block of the persistent vector, made by create_vector.
//
//   offset      width  field
//   0           8      capacity: number of slots
//   8           8      count: number of elements in use (0 <= count <= capacity)
//   16 + 8 i    8      slot i: address of element i's value block; slots at or
//                      beyond count hold whatever the allocator delivered
#pragma once

#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/directory.h"

namespace disk_tools {

struct vector_header {
  static constexpr std::size_t capacity_offset = 0;
  static constexpr std::size_t count_offset = 8;
  static constexpr std::size_t slots_offset = 16;
  // The fixed part in front of the slots.
  static constexpr std::size_t fixed_size = 16;

  word_t capacity = 0;
  word_t count = 0;

  static word_t block_size(word_t capacity) {
    return static_cast<word_t>(fixed_size) + static_cast<word_t>(word_size) * capacity;
  }
  static word_t slot_address(word_t header, word_t index) {
    return header + static_cast<word_t>(slots_offset) + static_cast<word_t>(word_size) * index;
  }

  void encode(char* out) const {
    encode_word(out + capacity_offset, capacity);
    encode_word(out + count_offset, count);
  }

  static vector_header decode(char const* in) {
    vector_header h;
    h.capacity = decode_word(in + capacity_offset);
    h.count = decode_word(in + count_offset);
    return h;
  }

  // Reads the fixed part at address, refusing a capacity whose slots would run
  // past the end of the file or a count outside 0..capacity.
  static vector_header read(io_tools::bfstream& s, word_t address) {
    if (address < database_header_size) throw io_tools::corrupt_file(s);
    char buf[fixed_size];
    s.read_at(address, buf, sizeof buf);
    vector_header h = decode(buf);
    word_t const room =
        (s.size() - address - static_cast<word_t>(fixed_size)) / static_cast<word_t>(word_size);
    if (h.capacity < 0 || h.capacity > room || h.count < 0 || h.count > h.capacity) {
      throw io_tools::corrupt_file(s);
    }
    return h;
  }

  void write(io_tools::bfstream& s, word_t address) const {
    char buf[fixed_size];
    encode(buf);
    s.write_at(address, buf, sizeof buf);
  }

  // The count alone, when the capacity stays: one word for the journal to
  // compare and save, where the whole header would be two.
  static void write_count(io_tools::bfstream& s, word_t address, word_t count) {
    s.write_word(address + static_cast<word_t>(count_offset), count);
  }

  // Slots first .. first + n - 1, in one transfer.
  static std::vector<word_t> read_slots(io_tools::bfstream& s, word_t header, word_t first,
                                        word_t n) {
    std::vector<char> buf(static_cast<std::size_t>(n) * word_size);
    s.read_at(slot_address(header, first), buf.data(), buf.size());
    std::vector<word_t> slots(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = decode_word(&buf[i * word_size]);
    return slots;
  }

  // Writes slots into the slots from first on, in one transfer.
  static void write_slots(io_tools::bfstream& s, word_t header, word_t first,
                          std::vector<word_t> const& slots) {
    std::vector<char> buf(slots.size() * word_size);
    for (std::size_t i = 0; i < slots.size(); ++i) encode_word(&buf[i * word_size], slots[i]);
    s.write_at(slot_address(header, first), buf.data(), buf.size());
  }
};

}  // namespace disk_tools
