// Little-endian encoding of the 8-byte words that make up every record in a
// database file. Records are assembled and taken apart byte by byte with these
// helpers, never by overlaying structs, so padding and host layout never leak
// into the file.
#pragma once

#include <cstdint>
#include <cstring>

namespace disk_tools {

// An 8-byte word in the file: an address, a size, a count or a link.
using word_t = std::int64_t;

// The word that means "no address".
constexpr word_t no_address = -1;

// Width of one word on disk.
constexpr std::size_t word_size = 8;

// On a little-endian host the file's order is the host's, and a word is one
// move; elsewhere it is put together byte by byte.
inline void encode_word(char* dst, word_t value) {
  auto v = static_cast<std::uint64_t>(value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(dst, &v, word_size);
#else
  for (std::size_t i = 0; i < word_size; ++i) {
    dst[i] = static_cast<char>(static_cast<unsigned char>(v >> (8 * i)));
  }
#endif
}

inline word_t decode_word(char const* src) {
  std::uint64_t v = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(&v, src, word_size);
#else
  for (std::size_t i = 0; i < word_size; ++i) {
    v |= static_cast<std::uint64_t>(static_cast<unsigned char>(src[i])) << (8 * i);
  }
#endif
  return static_cast<word_t>(v);
}

}  // namespace disk_tools
