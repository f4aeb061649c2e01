// The journal's checksum: the known CRC-32C of "123456789", long runs however
// the bytes are split between the two parts of a call, one word at any alignment,
// and an undo or redo record that refuses every flipped bit of its head and its bytes
// (records written by earlier versions must keep decoding, so the sum may not
// change).
#include <disk_tools/detail/checksum.h>
#include <disk_tools/detail/journal_records.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace disk_tools;

namespace {

// A bit at a time, straight from the polynomial: what every faster path must agree with.
std::uint32_t crc_by_bits(char const* p, std::size_t n) {
  std::uint32_t c = ~0u;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= static_cast<unsigned char>(p[i]);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
  }
  return ~c;
}

TEST(Checksum, TheKnownValueAndLongRunsAgreeWithTheBitwiseSumAtAnyStartLengthAndSplit) {
  EXPECT_EQ(crc_by_bits("123456789", 9), 0xE3069283u);
  // Past three times the 256 bytes each of the three streams takes, at every alignment, and with
  // the run split between a call's two parts (the first part of every length up to a word, too).
  std::vector<char> bytes(5000);
  std::uint32_t x = 12345;
  for (char& b : bytes) b = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t n : {0u, 7u, 31u, 255u, 767u, 768u, 769u, 1536u, 2047u, 2304u, 4100u}) {
      char const* p = bytes.data() + start;
      std::uint32_t const want = crc_by_bits(p, n);
      EXPECT_EQ(crc32c(0, p, n), want) << start << " " << n;
      for (std::size_t split : {std::size_t{0}, start + 1, std::size_t{16}, n / 3, n}) {
        if (split > n) continue;
        EXPECT_EQ(crc32c(0, p, split, p + split, n - split), want)
            << start << " " << n << " " << split;
      }
      // Continued from an earlier sum, as a record's head then its bytes.
      EXPECT_EQ(crc32c(crc32c(0, p, n / 2), p + n / 2, n - n / 2), want) << start << " " << n;
    }
    // A redo record's sum: three words of head, then its bytes, continued from
    // the salt's sum, for the one-word record and any other length.
    for (std::size_t n : {0u, 1u, 8u, 9u, 16u, 24u, 32u, 40u, 255u, 800u}) {
      char const* head = bytes.data() + start;
      char const* rest = head + 24 + start;
      std::vector<char> joined(head, head + 24);
      joined.insert(joined.end(), rest, rest + n);
      std::uint32_t const seed = crc32c(0, bytes.data() + 4000, 8);
      EXPECT_EQ(crc32c_three_words_and(0, head, rest, n), crc_by_bits(joined.data(), 24 + n))
          << start << " " << n;
      EXPECT_EQ(crc32c_three_words_and(seed, head, rest, n), crc32c(seed, head, 24, rest, n))
          << start << " " << n;
    }
    // The one-word sum (the committed length's check), at every alignment.
    for (std::size_t at = start; at + 8 <= 200; at += 8) {
      char const* p = bytes.data() + at;
      EXPECT_EQ(crc32c_word(p), crc_by_bits(p, 8)) << at;
    }
  }
}

TEST(Checksum, AnUndoRecordRefusesAnyFlippedBit) {
  for (std::size_t n : {0u, 3u, 8u, 13u, 40u}) {
    std::vector<char> old(n + 1);  // never null, even for no bytes
    for (std::size_t i = 0; i < n; ++i) old[i] = static_cast<char>(i * 37 + 1);
    std::vector<char> record(static_cast<std::size_t>(undo_record::size_for(n)));
    undo_record::encode(record.data(), 123456, old.data(), n);
    word_t address = 0;
    char const* bytes = nullptr;
    std::size_t length = 0;
    auto const room = static_cast<word_t>(record.size());
    ASSERT_TRUE(undo_record::decode(record.data(), room, address, bytes, length)) << n;
    EXPECT_EQ(address, 123456);
    ASSERT_EQ(length, n);
    EXPECT_EQ(std::memcmp(bytes, old.data(), n), 0);
    // Every bit the checksum covers: the address, the length and the bytes.
    for (std::size_t at = 0; at < undo_record::bytes_offset + n; ++at) {
      if (at >= undo_record::checksum_offset && at < undo_record::bytes_offset) continue;
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<char> flipped = record;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
        EXPECT_FALSE(undo_record::decode(flipped.data(), room, address, bytes, length))
            << "n " << n << ", byte " << at << ", bit " << bit;
      }
    }
  }
}

TEST(Checksum, ARedoRecordRefusesAnyFlippedBitAndAnotherSalt) {
  word_t const salt = 0x0123456789ABCDEF;
  for (std::size_t n : {0u, 3u, 8u, 13u, 40u}) {
    std::vector<char> bytes(n + 1);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 37 + 1);
    redo_record r;
    r.type = n == 0 ? redo_record::commit : redo_record::data;
    r.transaction = 77;
    r.value = 123456;
    r.bytes = bytes.data();
    r.n = n;
    std::vector<char> record;
    r.encode(record, salt);
    auto const room = static_cast<word_t>(record.size());
    redo_record got;
    ASSERT_TRUE(redo_record::decode(record.data(), room, salt, got)) << n;
    EXPECT_EQ(got.value, 123456);
    EXPECT_EQ(got.transaction, 77);
    ASSERT_EQ(got.n, n);
    EXPECT_EQ(std::memcmp(got.bytes, bytes.data(), n), 0);
    EXPECT_FALSE(redo_record::decode(record.data(), room, salt ^ 1, got)) << n;
    EXPECT_TRUE(redo_record::decode_salted(record.data(), room, redo_record::salted(salt), got));
    // Every bit the checksum covers: the type, length, transaction, value and bytes.
    for (std::size_t at = 0; at < redo_record::bytes_offset + n; ++at) {
      if (at >= redo_record::checksum_offset && at < redo_record::bytes_offset) continue;
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<char> flipped = record;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
        EXPECT_FALSE(redo_record::decode(flipped.data(), room, salt, got))
            << "n " << n << ", byte " << at << ", bit " << bit;
      }
    }
  }
}

}  // namespace
