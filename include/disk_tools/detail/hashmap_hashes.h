// The hashes a hash map places its keys by. Each names the kind a map's
// header records for it (kind), so that a map is never searched with a hash
// it was not built with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/hashmap_records.h"

namespace disk_tools {

// The weighted sum of a key's characters: each character, taken as a signed
// byte, times its index (the first has weight 0). Computed modulo 2^64 so that
// no key, however long, overflows. Similar keys ("user_00001", "user_00002")
// share few sums, so their chains grow with the number of keys whatever the
// bucket count; it stays the default because every older map was built by it.
struct string_hash {
  static constexpr hash_kind kind = hash_kind::weighted_sum;
  long operator()(std::string const& key) const {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
      auto const c = static_cast<std::int64_t>(static_cast<signed char>(key[i]));
      h += static_cast<std::uint64_t>(i) * static_cast<std::uint64_t>(c);
    }
    return static_cast<long>(h);
  }
};

// A hash in which every bit of the key changes about half of the result's
// bits: the key is taken in little-endian 8-byte words (the last one padded
// with zeros, the length mixed in first so that padding cannot collide), each
// word spread by a multiply and an xor-shift before it is folded into the
// state, and the state avalanched at the end. The words are assembled byte by
// byte, so a file gives the same buckets on every machine.
struct strong_string_hash {
  static constexpr hash_kind kind = hash_kind::strong;
  long operator()(std::string const& key) const { return of(key.data(), key.size()); }
  // The hash of the n bytes at key. Inline, so that for a key of fixed width
  // the words are assembled by single loads.
  static long of(char const* key, std::size_t n) {
    std::uint64_t h = seed ^ (static_cast<std::uint64_t>(n) * golden);
    std::size_t at = 0;
    for (; at + 8 <= n; at += 8) h = absorb(h, static_cast<std::uint64_t>(decode_word(key + at)));
    if (at < n) h = absorb(h, word_at(key, at, n - at));
    return static_cast<long>(avalanche(h));
  }

 private:
  static constexpr std::uint64_t seed = 0x243f6a8885a308d3ULL;    // digits of pi
  static constexpr std::uint64_t golden = 0x9e3779b97f4a7c15ULL;  // 2^64 / golden ratio
  static constexpr std::uint64_t spread = 0xbf58476d1ce4e5b9ULL;
  static constexpr std::uint64_t settle = 0x94d049bb133111ebULL;

  static std::uint64_t word_at(char const* key, std::size_t at, std::size_t n) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
      w |= static_cast<std::uint64_t>(static_cast<unsigned char>(key[at + i])) << (8 * i);
    }
    return w;
  }
  static std::uint64_t absorb(std::uint64_t h, std::uint64_t w) {
    w *= spread;
    w ^= w >> 31;
    w *= golden;
    h ^= w;
    h = (h << 27) | (h >> 37);
    return h * 5 + 0x52dce729;
  }
  static std::uint64_t avalanche(std::uint64_t h) {
    h ^= h >> 30;
    h *= spread;
    h ^= h >> 27;
    h *= settle;
    return h ^ (h >> 31);
  }
};

// The hash of key by the hash a file records.
inline long hash_by_kind(hash_kind kind, std::string const& key) {
  return kind == hash_kind::strong ? strong_string_hash()(key) : string_hash()(key);
}

}  // namespace disk_tools
