#include "disk_tools/detail/checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define ODB_CRC_HARDWARE 1
#endif

namespace disk_tools {

namespace {

constexpr std::uint32_t polynomial = 0x82F63B78u;  // reflected

// Eight tables: the software path takes eight bytes a step.
std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

std::uint32_t crc_software(std::uint32_t crc, unsigned char const* p, std::size_t n) {
  static auto const t = make_tables();
  while (n >= 8) {
    std::uint32_t lo = (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                        static_cast<std::uint32_t>(p[2]) << 16 |
                        static_cast<std::uint32_t>(p[3]) << 24) ^
                       crc;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return crc;
}

#ifdef ODB_CRC_HARDWARE
__attribute__((target("sse4.2"))) std::uint64_t crc_word(std::uint64_t c, std::uint64_t word) {
  return _mm_crc32_u64(c, word);
}

__attribute__((target("sse4.2"))) std::uint32_t crc_hardware(std::uint32_t crc,
                                                             unsigned char const* p,
                                                             std::size_t n) {
  std::uint64_t c = crc;
  while (n >= 32) {
    std::uint64_t w0, w1, w2, w3;
    std::memcpy(&w0, p, 8);
    std::memcpy(&w1, p + 8, 8);
    std::memcpy(&w2, p + 16, 8);
    std::memcpy(&w3, p + 24, 8);
    c = _mm_crc32_u64(_mm_crc32_u64(_mm_crc32_u64(_mm_crc32_u64(c, w0), w1), w2), w3);
    p += 32;
    n -= 32;
  }
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
    p += 8;
    n -= 8;
  }
  auto c32 = static_cast<std::uint32_t>(c);
  if (n >= 4) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    c32 = _mm_crc32_u32(c32, word);
    p += 4;
    n -= 4;
  }
  while (n-- > 0) c32 = _mm_crc32_u8(c32, *p++);
  return c32;
}
#endif

#ifdef ODB_CRC_HARDWARE
// Long runs go three streams at a time: each crc32 instruction waits for the
// one before it in its stream, so three independent streams keep the unit
// busy. Each stream is lane_bytes long; the streams' sums are joined by
// sending a sum through lane_bytes zero bytes, a linear map of its 32 bits
// that four tables of 256 entries apply (sum(a then b) is sum(a) through
// |b| zeros, xor sum(b) from 0).
constexpr std::size_t lane_words = 32;
constexpr std::size_t lane_bytes = lane_words * 8;

struct zeros_tables {
  std::array<std::array<std::uint32_t, 256>, 4> t{};
};

zeros_tables make_zeros_tables() {
  // The map's image of each single bit, from the instruction itself; every
  // other value is the xor of its bits' images.
  std::array<std::uint32_t, 32> bit{};
  for (int b = 0; b < 32; ++b) {
    std::uint64_t c = std::uint64_t{1} << b;
    for (std::size_t i = 0; i < lane_words; ++i) c = crc_word(c, 0);
    bit[static_cast<std::size_t>(b)] = static_cast<std::uint32_t>(c);
  }
  zeros_tables z;
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t v = 0;
      for (std::size_t b = 0; b < 8; ++b) {
        if (n >> b & 1) v ^= bit[8 * k + b];
      }
      z.t[k][n] = v;
    }
  }
  return z;
}

std::uint32_t through_zeros(zeros_tables const& z, std::uint32_t c) {
  return z.t[0][c & 0xFF] ^ z.t[1][(c >> 8) & 0xFF] ^ z.t[2][(c >> 16) & 0xFF] ^
         z.t[3][c >> 24];
}

__attribute__((target("sse4.2"))) std::uint32_t crc_hardware_long(std::uint32_t crc,
                                                                  unsigned char const* p,
                                                                  std::size_t n) {
  static zeros_tables const z = make_zeros_tables();
  while (n >= 3 * lane_bytes) {
    std::uint64_t c0 = crc, c1 = 0, c2 = 0;
    for (std::size_t i = 0; i < lane_bytes; i += 8) {
      std::uint64_t w0, w1, w2;
      std::memcpy(&w0, p + i, 8);
      std::memcpy(&w1, p + lane_bytes + i, 8);
      std::memcpy(&w2, p + 2 * lane_bytes + i, 8);
      c0 = _mm_crc32_u64(c0, w0);
      c1 = _mm_crc32_u64(c1, w1);
      c2 = _mm_crc32_u64(c2, w2);
    }
    crc = through_zeros(z, through_zeros(z, static_cast<std::uint32_t>(c0)) ^
                               static_cast<std::uint32_t>(c1)) ^
          static_cast<std::uint32_t>(c2);
    p += 3 * lane_bytes;
    n -= 3 * lane_bytes;
  }
  return crc_hardware(crc, p, n);
}

__attribute__((target("sse4.2"))) std::uint32_t crc_hardware_two(std::uint32_t crc,
                                                                 unsigned char const* a,
                                                                 std::size_t na,
                                                                 unsigned char const* b,
                                                                 std::size_t nb) {
  return crc_hardware_long(crc_hardware(crc, a, na), b, nb);
}
__attribute__((target("sse4.2"))) std::uint32_t crc_hardware_head_and_word(
    unsigned char const* head, unsigned char const* word) {
  std::uint64_t h, w;
  std::uint32_t h2;
  std::memcpy(&h, head, 8);
  std::memcpy(&h2, head + 8, 4);
  std::memcpy(&w, word, 8);
  auto const c = static_cast<std::uint32_t>(_mm_crc32_u64(~std::uint32_t{0}, h));
  return ~static_cast<std::uint32_t>(_mm_crc32_u64(_mm_crc32_u32(c, h2), w));
}

__attribute__((target("sse4.2"))) std::uint32_t crc_hardware_three_words_and(
    std::uint32_t crc, unsigned char const* head, unsigned char const* bytes, std::size_t n) {
  std::uint64_t w0, w1, w2;
  std::memcpy(&w0, head, 8);
  std::memcpy(&w1, head + 8, 8);
  std::memcpy(&w2, head + 16, 8);
  std::uint64_t c = _mm_crc32_u64(_mm_crc32_u64(_mm_crc32_u64(crc, w0), w1), w2);
  if (n <= 32 && n % 8 == 0) {
    // A data record of a few words, the most common (a commit record has none).
    for (std::size_t at = 0; at < n; at += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + at, 8);
      c = _mm_crc32_u64(c, word);
    }
    return static_cast<std::uint32_t>(c);
  }
  return crc_hardware_long(static_cast<std::uint32_t>(c), bytes, n);
}

__attribute__((target("sse4.2"))) std::uint32_t crc_hardware_word(unsigned char const* word) {
  std::uint64_t w;
  std::memcpy(&w, word, 8);
  return ~static_cast<std::uint32_t>(_mm_crc32_u64(~std::uint32_t{0}, w));
}
#endif

std::uint32_t crc_software_word(unsigned char const* word) {
  return ~crc_software(~std::uint32_t{0}, word, 8);
}

std::uint32_t crc_software_head_and_word(unsigned char const* head, unsigned char const* word) {
  return ~crc_software(crc_software(~std::uint32_t{0}, head, 12), word, 8);
}

std::uint32_t crc_software_two(std::uint32_t crc, unsigned char const* a, std::size_t na,
                               unsigned char const* b, std::size_t nb) {
  return crc_software(crc_software(crc, a, na), b, nb);
}

using crc_function = std::uint32_t (*)(std::uint32_t, unsigned char const*, std::size_t);
using crc_two_function = std::uint32_t (*)(std::uint32_t, unsigned char const*, std::size_t,
                                           unsigned char const*, std::size_t);

// The processor's own instruction where it has one, chosen once.
crc_function const best_crc =
#ifdef ODB_CRC_HARDWARE
    __builtin_cpu_supports("sse4.2") ? crc_hardware_long :
#endif
                                     crc_software;
crc_two_function const best_crc_two =
#ifdef ODB_CRC_HARDWARE
    __builtin_cpu_supports("sse4.2") ? crc_hardware_two :
#endif
                                     crc_software_two;

std::uint32_t crc_software_three_words_and(std::uint32_t crc, unsigned char const* head,
                                           unsigned char const* bytes, std::size_t n) {
  return crc_software(crc_software(crc, head, 24), bytes, n);
}

using crc_three_words_and_function = std::uint32_t (*)(std::uint32_t, unsigned char const*,
                                                       unsigned char const*, std::size_t);
crc_three_words_and_function const best_crc_three_words_and =
#ifdef ODB_CRC_HARDWARE
    __builtin_cpu_supports("sse4.2") ? crc_hardware_three_words_and :
#endif
                                     crc_software_three_words_and;

using crc_head_and_word_function = std::uint32_t (*)(unsigned char const*, unsigned char const*);
crc_head_and_word_function const best_crc_head_and_word =
#ifdef ODB_CRC_HARDWARE
    __builtin_cpu_supports("sse4.2") ? crc_hardware_head_and_word :
#endif
                                     crc_software_head_and_word;

using crc_word_function = std::uint32_t (*)(unsigned char const*);
crc_word_function const best_crc_word =
#ifdef ODB_CRC_HARDWARE
    __builtin_cpu_supports("sse4.2") ? crc_hardware_word :
#endif
                                     crc_software_word;

}  // namespace

std::uint32_t crc32c_head_and_word(void const* head, void const* word) {
  return best_crc_head_and_word(static_cast<unsigned char const*>(head),
                                static_cast<unsigned char const*>(word));
}

std::uint32_t crc32c_three_words_and(std::uint32_t crc, void const* head, void const* bytes,
                                     std::size_t n) {
  return ~best_crc_three_words_and(~crc, static_cast<unsigned char const*>(head),
                                   static_cast<unsigned char const*>(bytes), n);
}

std::uint32_t crc32c_word(void const* word) {
  return best_crc_word(static_cast<unsigned char const*>(word));
}

std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t n) {
  return ~best_crc(~crc, static_cast<unsigned char const*>(data), n);
}

std::uint32_t crc32c(std::uint32_t crc, void const* a, std::size_t na, void const* b,
                     std::size_t nb) {
  return ~best_crc_two(~crc, static_cast<unsigned char const*>(a), na,
                       static_cast<unsigned char const*>(b), nb);
}

}  // namespace disk_tools
