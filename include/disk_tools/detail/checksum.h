// CRC-32C (Castagnoli), the checksum of every journal record: it tells a record
// that was written whole from one torn by a crash or never written at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace disk_tools {

// The CRC-32C of the n bytes at data, continued from crc (0 to start).
std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t n);
// The same over the na bytes at a followed by the nb bytes at b: a record's
// head and its bytes in one call.
std::uint32_t crc32c(std::uint32_t crc, void const* a, std::size_t na, void const* b,
                     std::size_t nb);
// crc32c(0, head, 12, word, 8): the sum of the journal's most common record,
// a 12-byte head and one word, in a few instructions.
std::uint32_t crc32c_head_and_word(void const* head, void const* word);
// crc32c(crc, head, 24, bytes, n): a redo record's three-word head and its
// bytes, the head without a loop.
std::uint32_t crc32c_three_words_and(std::uint32_t crc, void const* head, void const* bytes,
                                     std::size_t n);
// crc32c(0, word, 8): the check of the journal's committed length, written
// at every commit that lengthens the database.
std::uint32_t crc32c_word(void const* word);

}  // namespace disk_tools
