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
__attribute__((target("sse4.2"))) std::uint32_t crc_hardware(std::uint32_t crc,
                                                             unsigned char const* p,
                                                             std::size_t n) {
  std::uint64_t c = crc;
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
__attribute__((target("sse4.2"))) std::uint32_t crc_hardware_two(std::uint32_t crc,
                                                                 unsigned char const* a,
                                                                 std::size_t na,
                                                                 unsigned char const* b,
                                                                 std::size_t nb) {
  return crc_hardware(crc_hardware(crc, a, na), b, nb);
}
#endif

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
    __builtin_cpu_supports("sse4.2") ? crc_hardware :
#endif
                                     crc_software;
crc_two_function const best_crc_two =
#ifdef ODB_CRC_HARDWARE
    __builtin_cpu_supports("sse4.2") ? crc_hardware_two :
#endif
                                     crc_software_two;

}  // namespace

std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t n) {
  return ~best_crc(~crc, static_cast<unsigned char const*>(data), n);
}

std::uint32_t crc32c(std::uint32_t crc, void const* a, std::size_t na, void const* b,
                     std::size_t nb) {
  return ~best_crc_two(~crc, static_cast<unsigned char const*>(a), na,
                       static_cast<unsigned char const*>(b), nb);
}

}  // namespace disk_tools
