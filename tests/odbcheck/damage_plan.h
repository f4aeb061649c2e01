// The deterministic ways a damage test spoils a copy of a sound database file:
// truncations, byte and word flips at spread offsets, bad values in every kind
// of record field, and links bent into cycles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "record_fields.h"

namespace test_support {

// One damaged copy: the file cut to a length and/or bytes overwritten.
struct damage {
  std::string what;
  std::size_t keep = static_cast<std::size_t>(-1);  // bytes kept; all when larger
  std::vector<std::pair<std::size_t, std::vector<char>>> patches;

  std::vector<char> apply(std::vector<char> bytes) const;
};

// Cuts at the edges of the header and the allocator's heads, and at `count`
// points spread evenly over the blocks area.
std::vector<damage> truncations(std::size_t file_size, std::size_t count);
// `count` single bytes inverted at offsets drawn from a fixed seed.
std::vector<damage> byte_flips(std::vector<char> const& bytes, std::size_t count,
                               std::uint32_t seed);
// `count` 8-byte words inverted, at offsets drawn from a fixed seed: most on
// word boundaries of the blocks area, some anywhere.
std::vector<damage> word_flips(std::vector<char> const& bytes, std::size_t count,
                               std::uint32_t seed);
// For each field, the values a damaged file may hold there: for a word all
// bits inverted, -1, 0, one more, an address past the end, far past the end,
// inside the header and the largest word; for narrower fields inversion, 0 and
// one more.
std::vector<damage> bad_values(std::vector<char> const& bytes,
                               std::vector<record_field> const& fields);
// Every link field aimed at its own record and at the first record of its
// chain.
std::vector<damage> cycles(std::vector<record_field> const& fields);

}  // namespace test_support
