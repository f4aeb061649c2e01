// The records of the persistent hash map.
//
//   map header (16 + 8 n bytes, or 24 + 8 n with a growth policy; made by
//   create_hashmap)
//   offset      width  field
//   0           8      count: number of distinct keys
//   8           8      table word: n, the number of buckets (at least 1), in
//                      bits 0..53; bit 54 is 0 (set in a slot table, below);
//                      bit 55 set when a growth policy follows the table; the
//                      hash kind in bits 56..62; bit 63 is 0
//   16 + 8 b    8      bucket b: address of the first entry of its chain, -1 when empty
//   16 + 8 n    8      growth policy (only when bit 55 is set): the maximum load
//                      factor, the bits of an IEEE-754 double; 0 never grows
//   A map that never had a growth policy has no policy word, laid out as maps
//   always were; a reader that knows no policy takes bit 55 for a table of more
//   than 2^55 buckets and refuses the map as damage.
//
//   hash kind   the hash the keys were placed by
//   0           the weighted sum of the characters (string_hash); every map made
//               before the kind was recorded is of this kind, its word n alone
//   1           the 64-bit multiply-xorshift hash (strong_string_hash)
//   A reader that knows no kinds takes the word of a kind-1 map for a table of
//   more than 2^56 buckets, past the end of any file, and refuses it as damage
//   instead of looking for keys in the wrong buckets.
//
//   entry record (24 + KL + VL bytes, one block per key)
//   offset      width  field
//   0           8      next: the following entry of the chain, -1 at the end
//   8           8      KL: key length including its terminating 0 byte
//   16          KL     key characters, then a 0 byte
//   16 + KL     8      VL: value length including its terminating 0 byte
//   24 + KL     VL     value characters, then a 0 byte
//
//   A map of string keys and values (d_hashmap<std::string, std::string>) reads
//   a value up to its first 0 byte; a map of any other types keeps each key and
//   value as the bytes of its encoding (the raw bytes of a trivially copyable
//   type, the output of its codec, or a string's characters), and reads a value
//   as all VL - 1 bytes.
//
//   The word that points at an entry (its bucket word, or the next word of the
//   entry before it) is the entry's link; replacing an entry rewrites its link.
//
//   slot table (a map whose keys and values are both of fixed width: trivially
//   copyable, without a codec): one block, 32 + 8 n + c (KW + VW) bytes
//   offset      width  field
//   0           8      count: number of keys
//   8           8      table word: n, the number of slots (a power of 2), in
//                      bits 0..53; bit 54 set (a slot table); bit 55 set; the
//                      hash kind (1) in bits 56..62
//   16          8      widths: KW, the key's bytes, in bits 0..31; VW, the
//                      value's bytes, in bits 32..62
//   24          8      growth policy, as above (a slot table never holds more
//                      than c keys, whatever the policy)
//   32 + 8 s    8      slot s: 0 when empty, else the top 32 bits of the key's
//                      hash in bits 32..63 and 1 + the key's entry number in
//                      bits 0..31
//   32 + 8 n    c w    entries 0 .. count - 1 (w = KW + VW): the key's bytes,
//                      then the value's; c = n - n / 8 entries have room
//   A key's slot is the first from its home on that is empty or names it,
//   wrapping at the end of the table, so no slot between its home and its own
//   is empty; its home is the top b bits of its hash (n = 2^b), which its slot
//   word keeps, so the table is rebuilt without reading an entry. The entries
//   are dense: erasing a key moves the last entry into its place and the slots
//   after its own back, so no marker of a removed key is ever kept.
//   A reader that knows no slot tables takes bit 54 for a table of more than
//   2^54 buckets and refuses the map as damage.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/directory.h"

namespace disk_tools {

// The hashes a map's keys can be placed by, as recorded in its header.
enum class hash_kind : word_t { weighted_sum = 0, strong = 1 };

struct hashmap_header {
  static constexpr std::size_t count_offset = 0;
  static constexpr std::size_t buckets_offset = 8;
  static constexpr std::size_t table_offset = 16;
  static constexpr std::size_t fixed_size = 16;
  static constexpr int kind_shift = 56;
  static constexpr int policy_shift = 55;
  static constexpr word_t policy_flag = word_t{1} << policy_shift;
  static constexpr word_t slots_flag = word_t{1} << 54;
  static constexpr word_t buckets_mask = slots_flag - 1;
  static constexpr word_t kinds_known = 2;
  // The most buckets create_hashmap makes a table of.
  static constexpr word_t max_buckets = word_t{1} << 28;

  word_t count = 0;
  word_t buckets = 0;
  hash_kind kind = hash_kind::weighted_sum;
  bool has_policy = false;
  double max_load = 0;
  // A slot table (hashmap_slots), with the widths of its keys and values.
  bool slots = false;
  word_t key_width = 0;
  word_t value_width = 0;

  // The table word of n buckets placed by kind; n alone for the first kind
  // without a policy, so that such maps are laid out as they always were.
  static word_t table_word(word_t n, hash_kind kind, bool has_policy = false) {
    return n | (static_cast<word_t>(kind) << kind_shift) | (has_policy ? policy_flag : 0);
  }

  static word_t policy_address(word_t header, word_t buckets) {
    return bucket_address(header, buckets);
  }
  static word_t policy_word(double max_load) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &max_load, sizeof bits);
    return static_cast<word_t>(bits);
  }
  static double policy_load(word_t word) {
    auto const bits = static_cast<std::uint64_t>(word);
    double load = 0;
    std::memcpy(&load, &bits, sizeof load);
    return load;
  }
  static void write_policy(io_tools::bfstream& s, word_t header, word_t buckets, double max_load) {
    s.write_word(policy_address(header, buckets), policy_word(max_load));
  }

  static word_t bucket_address(word_t header, word_t bucket) {
    return header + static_cast<word_t>(table_offset) + static_cast<word_t>(word_size) * bucket;
  }

  // The smallest entry record: its three words and the 0 bytes of an empty
  // key and an empty value. No file holds more entries than fit in it.
  static constexpr word_t smallest_entry = 3 * static_cast<word_t>(word_size) + 2;

  // Reads the fixed part at address (and the policy word when there is one),
  // refusing a bucket count that is not positive or whose table would run
  // past the end of the file, a hash kind this code does not know, a count of
  // more entries than the file could hold, and a policy that is not a finite
  // load factor of 0 or more.
  static hashmap_header read(io_tools::bfstream& s, word_t address) {
    if (address < database_header_size) throw io_tools::corrupt_file(s);
    char buf[fixed_size];
    s.read_at(address, buf, sizeof buf);
    hashmap_header h;
    h.count = decode_word(buf + count_offset);
    word_t const word = decode_word(buf + buckets_offset);
    word_t const kind = word >> kind_shift;  // the sign bit makes it negative
    h.buckets = word & buckets_mask;
    h.has_policy = (word & policy_flag) != 0;
    if ((word & slots_flag) != 0) return read_slots_header(s, address, h, kind);
    word_t const room =
        (s.size() - address - static_cast<word_t>(fixed_size)) / static_cast<word_t>(word_size);
    if (h.count < 0 || h.count > s.size() / smallest_entry || h.buckets < 1 ||
        h.buckets > room - (h.has_policy ? 1 : 0) || kind < 0 || kind >= kinds_known) {
      throw io_tools::corrupt_file(s);
    }
    h.kind = static_cast<hash_kind>(kind);
    if (h.has_policy) {
      h.max_load = policy_load(s.read_word(policy_address(address, h.buckets)));
      if (!std::isfinite(h.max_load) || h.max_load < 0) throw io_tools::corrupt_file(s);
    }
    return h;
  }

  // The rest of a slot table's header: its widths, its policy, and a table
  // that must be a power of 2 of slots and lie in the file.
  static hashmap_header read_slots_header(io_tools::bfstream& s, word_t address, hashmap_header h,
                                          word_t kind);

  static void write_count(io_tools::bfstream& s, word_t address, word_t count) {
    s.write_word(address + static_cast<word_t>(count_offset), count);
  }

  // Bucket words first .. first + n - 1 of the table at address, in one
  // transfer; the caller has checked them against the bucket count.
  static std::vector<word_t> read_heads(io_tools::bfstream& s, word_t address, word_t first,
                                        word_t n) {
    std::vector<char> buf(static_cast<std::size_t>(n) * word_size);
    s.read_at(bucket_address(address, first), buf.data(), buf.size());
    std::vector<word_t> heads(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < heads.size(); ++i) heads[i] = decode_word(&buf[i * word_size]);
    return heads;
  }

  static void write_heads(io_tools::bfstream& s, word_t address, std::vector<word_t> const& heads) {
    std::vector<char> buf(heads.size() * word_size);
    for (std::size_t i = 0; i < heads.size(); ++i) encode_word(&buf[i * word_size], heads[i]);
    s.write_at(bucket_address(address, 0), buf.data(), buf.size());
  }
};

// The slot table of a map of fixed-width keys and values (laid out above).
struct hashmap_slots {
  static constexpr std::size_t widths_offset = 16;
  static constexpr std::size_t policy_offset = 24;
  static constexpr std::size_t slots_offset = 32;
  static constexpr int value_width_shift = 32;
  static constexpr int tag_shift = 32;
  static constexpr word_t max_width = (word_t{1} << 30) - 1;
  static constexpr std::uint64_t entry_mask = 0xffffffffULL;

  static word_t table_word(word_t n, hash_kind kind) {
    return hashmap_header::table_word(n, kind, true) | hashmap_header::slots_flag;
  }
  static word_t widths_word(word_t key_width, word_t value_width) {
    return key_width | (value_width << value_width_shift);
  }
  // Entries a table of n slots has room for.
  static word_t capacity(word_t n) { return n - n / 8; }
  static word_t slot_address(word_t header, word_t slot) {
    return header + static_cast<word_t>(slots_offset) + slot * static_cast<word_t>(word_size);
  }
  static word_t entry_address(word_t header, word_t n, word_t entry, word_t width) {
    return slot_address(header, n) + entry * width;
  }
  static word_t block_size(word_t n, word_t width) {
    return static_cast<word_t>(slots_offset) + n * static_cast<word_t>(word_size) +
           capacity(n) * width;
  }
  static void write_policy(io_tools::bfstream& s, word_t header, double max_load) {
    s.write_word(header + static_cast<word_t>(policy_offset), hashmap_header::policy_word(max_load));
  }

  // The slot word naming entry for a key whose hash is hash.
  static std::uint64_t slot_word(long hash, word_t entry) {
    return (static_cast<std::uint64_t>(hash) & ~entry_mask) | static_cast<std::uint64_t>(entry + 1);
  }
  // The entry a used slot word names; the part of the hash it keeps.
  static word_t entry_of(std::uint64_t word) { return static_cast<word_t>(word & entry_mask) - 1; }
  static std::uint64_t tag_of(std::uint64_t word) { return word >> tag_shift; }
  // The home slot of a slot word or hash among n = 2^bits slots.
  static word_t home_of(std::uint64_t word_or_hash, int bits) {
    return bits == 0 ? 0 : static_cast<word_t>(word_or_hash >> (64 - bits));
  }
};

inline hashmap_header hashmap_header::read_slots_header(io_tools::bfstream& s, word_t address,
                                                        hashmap_header h, word_t kind) {
  h.slots = true;
  word_t const widths = s.read_word(address + static_cast<word_t>(hashmap_slots::widths_offset));
  h.key_width = widths & hashmap_slots::max_width;
  h.value_width = widths >> hashmap_slots::value_width_shift;
  word_t const width = h.key_width + h.value_width;
  bool const shaped = h.has_policy && h.buckets >= 1 && h.buckets <= max_buckets &&
                      (h.buckets & (h.buckets - 1)) == 0 && h.key_width >= 1 &&
                      h.value_width <= hashmap_slots::max_width &&
                      widths == hashmap_slots::widths_word(h.key_width, h.value_width);
  if (!shaped || hashmap_slots::block_size(h.buckets, width) > s.size() - address || h.count < 0 ||
      h.count > hashmap_slots::capacity(h.buckets) || kind < 0 || kind >= kinds_known) {
    throw io_tools::corrupt_file(s);
  }
  h.kind = static_cast<hash_kind>(kind);
  h.max_load =
      policy_load(s.read_word(address + static_cast<word_t>(hashmap_slots::policy_offset)));
  if (!std::isfinite(h.max_load) || h.max_load < 0) throw io_tools::corrupt_file(s);
  return h;
}

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
  // The value up to its first 0 byte (all its bytes when read exact).
  std::string value;

  std::size_t size() const { return fixed_size + key.size() + 1 + value.size() + 1; }

  void encode(text_tools::bstringstream& out) const {
    out.cpy_word(next);
    out.cpy_word(static_cast<word_t>(key.size()) + 1);
    out.cpy(key.c_str(), key.size() + 1);
    out.cpy_word(static_cast<word_t>(value.size()) + 1);
    out.cpy(value.c_str(), value.size() + 1);
  }

  // What of an entry a reader needs: a chain walk looks at next and key
  // only, and reads the value of the one entry it stops at; a map of typed
  // values reads all of the value's bytes (exact), a string map up to its
  // first 0 (whole).
  enum class part { whole, key_only, exact };

  // Reads the entry at address. An entry of ordinary size arrives in one
  // transfer of a cache line's bytes (or what is left of the file) into a
  // buffer on the stack; a longer key or value costs one more transfer for
  // the bytes still missing. Every length is checked against the file before
  // it is followed.
  static hashmap_entry read(io_tools::bfstream& s, word_t address, part wanted = part::whole) {
    constexpr word_t read_ahead = 64;
    if (address < database_header_size || address >= s.size()) {
      throw io_tools::corrupt_file(s);
    }
    word_t const available = s.size() - address;
    char first[read_ahead];
    std::vector<char> longer;
    char* buf = first;
    word_t have = std::min(available, read_ahead);
    s.read_at(address, buf, static_cast<std::size_t>(have));
    auto need = [&](word_t n) {
      if (n > available) throw io_tools::corrupt_file(s);
      if (n <= have) return;
      if (buf == first) longer.assign(first, first + have);
      longer.resize(static_cast<std::size_t>(n));
      buf = longer.data();
      s.read_at(address + have, buf + have, static_cast<std::size_t>(n - have));
      have = n;
    };

    need(static_cast<word_t>(key_offset));
    hashmap_entry e;
    e.next = decode_word(buf + next_offset);
    word_t const key_length = decode_word(buf + key_length_offset);
    if (e.next < no_address || key_length < 1 || key_length > available) {
      throw io_tools::corrupt_file(s);
    }
    word_t const value_length_at = static_cast<word_t>(key_offset) + key_length;
    if (wanted == part::key_only) {
      need(value_length_at);
      e.key.assign(buf + key_offset, static_cast<std::size_t>(key_length) - 1);
      return e;
    }
    need(value_length_at + static_cast<word_t>(word_size));
    word_t const value_length = decode_word(buf + value_length_at);
    if (value_length < 1 || value_length > available) throw io_tools::corrupt_file(s);
    word_t const value_at = value_length_at + static_cast<word_t>(word_size);
    need(value_at + value_length);

    e.key.assign(buf + key_offset, static_cast<std::size_t>(key_length) - 1);
    char const* v = buf + value_at;
    auto const stored = static_cast<std::size_t>(value_length);
    e.value.assign(v, wanted == part::exact ? stored - 1 : ::strnlen(v, stored));
    return e;
  }
};

}  // namespace disk_tools
