// The journal file beside a database (NAME.odb-journal): its header and its
// two kinds of record. While a database is open the journal holds what a crash
// needs to bring the database back to a whole state; a database closed cleanly
// has none.
//
//   header (64 bytes)
//   offset  width  field
//   0       8      magic "odb-jrnl"
//   8       4      version: 1
//   12      4      kind: 1 undo (atomic alone, unjournaled), 2 redo (durable; atomic shared)
//   16      8      undo: end of the records; 64 while no transaction has saved bytes
//   24      8      undo: the database's length when the open transaction began
//   32      8      the database's length after the last commit (redo: when the log began)
//   40      8      redo: salt, new for every log; mixed into every record's checksum
//                  undo: the word at 16 times 0x9E3779B97F4A7C15, modulo 2^64 (0: no check)
//   48      4      redo: CRC-32C of bytes 0 to 47
//   52      4      undo: CRC-32C of the word at 32, written after it (0: no check)
//   56      8      undo: the word at 24 with every bit flipped, written with it
//   (journals of older releases hold 0 at 52 and 56, and at 40: they have no checks)
//
//   undo record: bytes of the database as they were before a write changed them
//   0       8      address in the database
//   8       4      n: number of bytes
//   12      4      CRC-32C of bytes 0 to 11 and of the n bytes
//   16      n      the bytes as they were
//   16 + n         zero padding to a multiple of 8
//
//   redo record: bytes of the database as a committed transaction left them
//   0       4      type: 1 data, 2 commit
//   4       4      n: number of bytes (0 in a commit)
//   8       8      transaction number
//   16      8      data: address in the database; commit: the database's length after it
//   24      4      CRC-32C of the salt, of bytes 0 to 23 and of the n bytes
//   28      4      zero
//   32      n      the bytes (data)
//   32 + n         zero padding to a multiple of 8
//
// Undo records are written (and the end word moved past them) before the bytes
// they save change; rolling back writes them back newest first, then cuts the
// database to the length it had when the transaction began. A commit sets the
// committed length and then the end word back to 64: that one word is the
// commit. The end word's check moves before the word when a record is added,
// and after it when records are put back or committed, so that a process
// killed between the two leaves the check naming a record's end past the word:
// recovery then rolls back to the check. Any other disagreement is damage.
// Redo records are appended at commit, followed by the commit record, and the
// log is synced before any of the transaction reaches the database; recovery
// replays every transaction whose commit record is intact, in order, and
// ignores everything from the first record whose checksum fails: a torn
// tail. Only the transaction whose commit was under way can be torn, so whole
// records of a later one past that point mean damage, and are refused.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "disk_tools/detail/checksum.h"
#include "disk_tools/detail/coding.h"

namespace disk_tools {

enum class journal_kind : std::uint32_t { undo = 1, redo = 2 };

inline void encode_u32(char* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(static_cast<unsigned char>(v >> (8 * i)));
}
inline std::uint32_t decode_u32(char const* in) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return v;
}

inline word_t padded(word_t n) {
  return (n + 7) / 8 * 8;
}

struct journal_header {
  static constexpr std::size_t magic_offset = 0;
  static constexpr std::size_t magic_size = 8;
  static constexpr std::size_t version_offset = 8;
  static constexpr std::size_t kind_offset = 12;
  static constexpr std::size_t end_offset = 16;
  static constexpr std::size_t size_before_offset = 24;
  static constexpr std::size_t committed_size_offset = 32;
  static constexpr std::size_t salt_offset = 40;
  static constexpr std::size_t checksum_offset = 48;
  static constexpr std::size_t committed_check_offset = 52;
  static constexpr std::size_t size_check_offset = 56;
  static constexpr std::size_t record_size = 64;
  static constexpr char magic[9] = "odb-jrnl";
  static constexpr std::uint32_t current_version = 1;

  journal_kind kind = journal_kind::undo;
  word_t end = record_size;
  word_t size_before = 0;
  word_t committed_size = 0;
  word_t salt = 0;
  // ~size_before and check_of(committed_size) as read; 0 where an older
  // release wrote the journal.
  word_t size_check = ~word_t{0};
  std::uint32_t committed_check = 0;
  // end_check_of(end) as read (undo); 0 where an older release wrote it.
  word_t end_check = 0;

  static std::uint32_t check_of(word_t length) {
    char bytes[word_size];
    encode_word(bytes, length);
    return crc32c_word(bytes);
  }
  // One multiplication, as the end word moves with every record. Odd, the
  // factor maps no two ends to one check and no end but 0 to 0, which marks a
  // journal without the check; a flipped bit in the check names no end near.
  static word_t end_check_of(word_t end) {
    return static_cast<word_t>(static_cast<std::uint64_t>(end) * 0x9E3779B97F4A7C15u);
  }

  void encode(char* out) const {
    std::memset(out, 0, record_size);
    std::memcpy(out + magic_offset, magic, 8);
    encode_u32(out + version_offset, current_version);
    encode_u32(out + kind_offset, static_cast<std::uint32_t>(kind));
    encode_word(out + end_offset, end);
    encode_word(out + size_before_offset, size_before);
    encode_word(out + committed_size_offset, committed_size);
    encode_word(out + salt_offset, kind == journal_kind::undo ? end_check_of(end) : salt);
    encode_u32(out + checksum_offset, crc32c(0, out, checksum_offset));
    encode_u32(out + committed_check_offset, check_of(committed_size));
    encode_word(out + size_check_offset, ~size_before);
  }

  // Whether the length before the transaction reads as it was written: it
  // is the length a rollback cuts the database to.
  bool size_before_checked() const { return size_check == 0 || size_check == ~size_before; }
  // The same for the committed length, which a database left open is cut to.
  // (A process killed between the word and its check leaves them apart too.)
  bool committed_size_checked() const {
    return committed_check == 0 || committed_check == check_of(committed_size);
  }
  bool end_checked() const { return end_check == 0 || end_check == end_check_of(end); }

  // Whether bytes that decode() refuses are a damaged header rather than one
  // never written whole. A journal's magic goes last when it is started, so a
  // process killed before that leaves zeros there; a redo header is also
  // rewritten in place when its log starts afresh, and one cut short then
  // held nothing the database still needs.
  static bool damaged(char const* in, std::size_t length) {
    bool begun = false;
    for (std::size_t i = 0; i < std::min(magic_size, length); ++i) {
      begun = begun || in[magic_offset + i] != 0;
    }
    // The rest of the header is written before the magic, which makes the
    // file a header long at least: a shorter one with its magic begun was
    // cut short since.
    if (length < record_size) return begun;
    bool const redo_rewritten = std::memcmp(in + magic_offset, magic, magic_size) == 0 &&
                                decode_u32(in + version_offset) == current_version &&
                                decode_u32(in + kind_offset) ==
                                    static_cast<std::uint32_t>(journal_kind::redo);
    return begun && !redo_rewritten;
  }

  // False when the bytes are no header this code wrote: a journal whose
  // header was never written whole, or a file of some other kind. A redo
  // header must also carry its checksum; an undo header is changed word by
  // word in place, so its checksum is not kept.
  static bool decode(char const* in, std::size_t length, journal_header& h) {
    if (length < record_size || std::memcmp(in + magic_offset, magic, 8) != 0 ||
        decode_u32(in + version_offset) != current_version) {
      return false;
    }
    std::uint32_t const kind = decode_u32(in + kind_offset);
    if (kind != static_cast<std::uint32_t>(journal_kind::undo) &&
        kind != static_cast<std::uint32_t>(journal_kind::redo)) {
      return false;
    }
    h.kind = static_cast<journal_kind>(kind);
    h.end = decode_word(in + end_offset);
    h.size_before = decode_word(in + size_before_offset);
    h.committed_size = decode_word(in + committed_size_offset);
    h.salt = decode_word(in + salt_offset);
    if (h.kind == journal_kind::undo) {
      h.end_check = h.salt;
      h.salt = 0;
    }
    h.size_check = decode_word(in + size_check_offset);
    h.committed_check = decode_u32(in + committed_check_offset);
    if (h.kind == journal_kind::redo &&
        decode_u32(in + checksum_offset) != crc32c(0, in, checksum_offset)) {
      return false;
    }
    return true;
  }
};

struct undo_record {
  static constexpr std::size_t address_offset = 0;
  static constexpr std::size_t length_offset = 8;
  static constexpr std::size_t checksum_offset = 12;
  static constexpr std::size_t bytes_offset = 16;

  static word_t size_for(std::size_t n) {
    return static_cast<word_t>(bytes_offset) + padded(static_cast<word_t>(n));
  }

  // Lays out the record saving the n bytes at old (which were at address) in
  // out, which has room for size_for(n) bytes.
  static void encode(char* out, word_t address, char const* old, std::size_t n) {
    encode_word(out + address_offset, address);
    encode_u32(out + length_offset, static_cast<std::uint32_t>(n));
    if (n == word_size) {
      // The most common record, a word, copied and summed without a loop.
      std::memcpy(out + bytes_offset, old, word_size);
      encode_u32(out + checksum_offset, crc32c_head_and_word(out, old));
      return;
    }
    // The padding after the bytes is zero: the last word is cleared first,
    // then the bytes are copied over its start.
    auto const size = static_cast<std::size_t>(size_for(n));
    if (size > bytes_offset) std::memset(out + size - word_size, 0, word_size);
    std::memcpy(out + bytes_offset, old, n);
    encode_u32(out + checksum_offset, crc32c(0, out, checksum_offset, old, n));
  }

  // The record at in, with at most `room` bytes to it; false when it does not
  // fit or its checksum fails.
  static bool decode(char const* in, word_t room, word_t& address, char const*& bytes,
                     std::size_t& n) {
    if (room < static_cast<word_t>(bytes_offset)) return false;
    address = decode_word(in + address_offset);
    n = decode_u32(in + length_offset);
    if (size_for(n) > room) return false;
    bytes = in + bytes_offset;
    return decode_u32(in + checksum_offset) == crc32c(0, in, checksum_offset, bytes, n);
  }
};

struct redo_record {
  static constexpr std::size_t type_offset = 0;
  static constexpr std::size_t length_offset = 4;
  static constexpr std::size_t transaction_offset = 8;
  static constexpr std::size_t value_offset = 16;
  static constexpr std::size_t checksum_offset = 24;
  static constexpr std::size_t bytes_offset = 32;
  static constexpr std::uint32_t data = 1;
  static constexpr std::uint32_t commit = 2;

  std::uint32_t type = data;
  word_t transaction = 0;
  word_t value = 0;  // address (data) or length after the transaction (commit)
  char const* bytes = nullptr;
  std::size_t n = 0;

  word_t size() const {
    return static_cast<word_t>(bytes_offset) + padded(static_cast<word_t>(n));
  }

  // The sum of the salt alone, where every record's checksum starts: a log
  // read whole sums it once.
  static std::uint32_t salted(word_t salt) {
    char s[word_size];
    encode_word(s, salt);
    return crc32c(0, s, sizeof s);
  }
  static std::uint32_t checksum(word_t salt, char const* head, char const* bytes, std::size_t n) {
    return checksum_salted(salted(salt), head, bytes, n);
  }
  // The same from the salt's sum: the head and the bytes in one call.
  static std::uint32_t checksum_salted(std::uint32_t salt_sum, char const* head, char const* bytes,
                                       std::size_t n) {
    static_assert(checksum_offset == 3 * word_size, "the head is three words");
    return crc32c_three_words_and(salt_sum, head, bytes, n);
  }

  // Appends the record to out.
  void encode(std::vector<char>& out, word_t salt) const {
    std::size_t const at = out.size();
    out.resize(at + static_cast<std::size_t>(size()), 0);
    char* p = out.data() + at;
    encode_u32(p + type_offset, type);
    encode_u32(p + length_offset, static_cast<std::uint32_t>(n));
    encode_word(p + transaction_offset, transaction);
    encode_word(p + value_offset, value);
    if (n > 0) std::memcpy(p + bytes_offset, bytes, n);
    encode_u32(p + checksum_offset, checksum(salt, p, bytes, n));
  }

  // The record at in, with at most `room` bytes to it; false when it does not
  // fit, its type is unknown or its checksum fails (a torn or stale record).
  static bool decode(char const* in, word_t room, word_t salt, redo_record& r) {
    return decode_salted(in, room, salted(salt), r);
  }
  // The same with the salt's sum (salted) at hand.
  static bool decode_salted(char const* in, word_t room, std::uint32_t salt_sum, redo_record& r) {
    if (room < static_cast<word_t>(bytes_offset)) return false;
    r.type = decode_u32(in + type_offset);
    r.n = decode_u32(in + length_offset);
    r.transaction = decode_word(in + transaction_offset);
    r.value = decode_word(in + value_offset);
    r.bytes = in + bytes_offset;
    if ((r.type != data && r.type != commit) || r.size() > room) return false;
    return decode_u32(in + checksum_offset) == checksum_salted(salt_sum, in, r.bytes, r.n);
  }
};

}  // namespace disk_tools
