// In-memory mirrors of the allocator's two lists.
//
// alloc_index mirrors the allocation list, so that the allocator finds the
// very record a walk of it would find without walking:
//
// - the place in the allocation list where a record of a given size goes
//   (before the first record at least as large);
// - the record of the allocation list whose block starts at a given address,
//   with the link that points at it.
//
// The allocation list is sorted by size, so it is a chain of size classes,
// runs of records of one size. The mirror keeps for each class only its first
// and last record (the summary): that is all an insertion needs, so blocks
// appended at the end of the file touch no table that grows with the file.
// Removing a record needs the record before it, so a class is indexed
// completely (every member with its neighbours in the class) only when a
// block of it is freed that a short walk from the class's head does not
// reach; indexed classes are kept current from then on.
//
// The summary comes from the side file (index_file.h) when it matches the
// database, else from one walk of the allocation list.
//
// Rollbacks: every change of the summary made inside a scope of change is
// logged with what it replaced, so that rolling the scope back puts the
// summary back as the file now is again; indexed classes changed since are
// dropped (indexed again when needed).
//
// The free list has a mirror of its own (free_index, below).
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "disk_tools/detail/address_table.h"
#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/d_alloc_node.h"
#include "disk_tools/detail/index_file.h"

namespace disk_tools {

// The allocation list's size classes by size, each with the bounds the
// mirror keeps: sizes below small_sizes in a flat array of bins with a
// two-level bitmap of the bins in use (blocks of values and nodes are
// nearly all small, and each allocation looks up its class and its place
// among the classes), larger ones in a std::map.
template <class Class>
class size_class_table {
 public:
  static constexpr word_t small_sizes = 4096;

  size_class_table() : bins_(static_cast<std::size_t>(small_sizes)) {}

  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }

  // The class of size, null when there is none.
  Class* find(word_t size) {
    if (size >= 0 && size < small_sizes) return has_bin(size) ? &bin(size) : nullptr;
    auto const it = large_.find(size);
    return it == large_.end() ? nullptr : &it->second;
  }
  Class const* find(word_t size) const {
    if (size >= 0 && size < small_sizes) return has_bin(size) ? &bins_[bin_of(size)] : nullptr;
    auto const it = large_.find(size);
    return it == large_.end() ? nullptr : &it->second;
  }
  // Enters c as the class of size, unless size has a class already (which
  // then stays as it is).
  Class& add(word_t size, Class const& c) {
    if (size >= 0 && size < small_sizes) {
      if (!has_bin(size)) {
        bin(size) = c;
        mark(size, true);
        ++count_;
      }
      return bin(size);
    }
    auto const [it, added] = large_.emplace(size, c);
    if (added) ++count_;
    return it->second;
  }
  void erase(word_t size) {
    if (size >= 0 && size < small_sizes) {
      if (has_bin(size)) {
        mark(size, false);
        --count_;
      }
      return;
    }
    count_ -= large_.erase(size);
  }
  // The smallest size with a class that is at least size; no_address when
  // there is none.
  word_t at_least(word_t size) const {
    if (size < 0) size = 0;
    if (size < small_sizes) {
      word_t const found = next_bin(size);
      if (found != no_address) return found;
      size = small_sizes;
    }
    auto const it = large_.lower_bound(size);
    return it == large_.end() ? no_address : it->first;
  }
  // The classes on either side of size: the largest below it and the
  // smallest at least as large, null where there is none. (What an
  // insertion needs, found in one go for a small size.)
  struct neighbours {
    Class const* below;
    Class const* at_least;
  };
  neighbours around(word_t size) const {
    if (size < 0 || size >= small_sizes) {
      word_t const down = below(size), up = at_least(size);
      return {down == no_address ? nullptr : find(down), up == no_address ? nullptr : find(up)};
    }
    neighbours out{nullptr, nullptr};
    if (word_t const up = next_bin(size); up != no_address) {
      out.at_least = &bins_[bin_of(up)];
    } else if (!large_.empty()) {
      out.at_least = &large_.begin()->second;
    }
    if (size > 0) {
      word_t const down = prev_bin(size - 1);
      if (down != no_address) out.below = &bins_[bin_of(down)];
    }
    return out;
  }
  // The largest size with a class that is below size; no_address when there
  // is none.
  word_t below(word_t size) const {
    if (size > small_sizes) {
      auto const it = large_.lower_bound(size);
      if (it != large_.begin()) return std::prev(it)->first;
      size = small_sizes;
    }
    return size <= 0 ? no_address : prev_bin(size - 1);
  }

 private:
  static constexpr std::size_t words = static_cast<std::size_t>(small_sizes) / 64;
  static_assert(words <= 64, "one summary word covers the bitmap");

  static std::size_t bin_of(word_t size) { return static_cast<std::size_t>(size); }
  Class& bin(word_t size) { return bins_[bin_of(size)]; }
  bool has_bin(word_t size) const {
    auto const s = static_cast<std::size_t>(size);
    return (used_[s / 64] >> (s % 64)) & 1;
  }
  void mark(word_t size, bool on) {
    auto const s = static_cast<std::size_t>(size);
    std::uint64_t const bit = std::uint64_t{1} << (s % 64);
    if (on) {
      used_[s / 64] |= bit;
      summary_ |= std::uint64_t{1} << (s / 64);
    } else {
      used_[s / 64] &= ~bit;
      if (used_[s / 64] == 0) summary_ &= ~(std::uint64_t{1} << (s / 64));
    }
  }
  // The first bin in use at from or above, the last at from or below.
  word_t next_bin(word_t from) const {
    auto const s = static_cast<std::size_t>(from);
    std::size_t w = s / 64;
    std::uint64_t bits = used_[w] & (~std::uint64_t{0} << (s % 64));
    if (bits == 0) {
      std::uint64_t const later = w + 1 < 64 ? summary_ & (~std::uint64_t{0} << (w + 1)) : 0;
      if (later == 0) return no_address;
      w = static_cast<std::size_t>(__builtin_ctzll(later));
      bits = used_[w];
    }
    return static_cast<word_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
  }
  word_t prev_bin(word_t from) const {
    auto const s = static_cast<std::size_t>(from);
    std::size_t w = s / 64;
    std::uint64_t bits = used_[w] & (~std::uint64_t{0} >> (63 - s % 64));
    if (bits == 0) {
      std::uint64_t const earlier = summary_ & ((std::uint64_t{1} << w) - 1);
      if (earlier == 0) return no_address;
      w = static_cast<std::size_t>(63 - __builtin_clzll(earlier));
      bits = used_[w];
    }
    return static_cast<word_t>(w * 64 + static_cast<std::size_t>(63 - __builtin_clzll(bits)));
  }

  std::vector<Class> bins_;
  std::uint64_t used_[words] = {};
  std::uint64_t summary_ = 0;
  std::map<word_t, Class> large_;
  std::size_t count_ = 0;
};

class alloc_index {
 public:
  // Builds the summary by one walk of the allocation list, without filling
  // any table; throws "corrupt database file..." on a cycle or a record that
  // cannot be read.
  explicit alloc_index(io_tools::bfstream& s);
  // The summary of a side file, or null when it does not match the database:
  // every class's first and last record must be a record of its size in use,
  // the head word must name the first class's first record, each class's
  // last record must link to the next class's first and the last one to -1.
  static std::unique_ptr<alloc_index> from_saved(io_tools::bfstream& s,
                                                 std::vector<size_class_bounds> const& classes);

  // False once the allocation list was seen out of size order (or holding one
  // block twice): the mirror could then not find what a walk finds, and must
  // not be used.
  bool ordered() const { return ordered_; }
  std::vector<size_class_bounds> summary() const;
  // Records of the allocation list read from the file to build or extend
  // the mirror, for tests and measurements.
  long long records_read() const { return records_read_; }

  // --- allocation list ---
  struct place {
    word_t prev;    // the link to point at the new record (a head word or a record)
    word_t before;  // the record the new one precedes, -1 at the end
  };
  place insert_place(word_t size) const;
  // The record has just been linked at the front of its size class.
  void used_insert(d_alloc_node const& record);
  // Finds the record in use whose block starts at data and the link that
  // points at it; false when there is none, or when the list turned out to be
  // out of order (see ordered()).
  bool used_find(word_t data, word_t& own, word_t& prev);
  // The record (found by used_find, with the link prev) has just been
  // unlinked from the allocation list.
  void used_remove(d_alloc_node const& record, word_t prev);

  // --- scopes of change ---
  void begin_scope();
  void commit_scope();
  // The file is back as it was when the innermost scope began; false when
  // the mirror cannot follow (the scope began before the mirror was built)
  // and must be dropped.
  bool rollback_scope();

 private:
  struct size_class {
    word_t first, last;
    bool indexed;
  };
  struct member {
    word_t prev, next;  // neighbours within the class, -1 at its ends
    word_t size, data;
  };
  struct logged_class {
    word_t size;
    size_class was;
    bool existed;
  };
  alloc_index(io_tools::bfstream& s, int);
  word_t max_walk() const;
  d_alloc_node read(word_t own);
  // The class of size (at it, or end()) is about to change: remember its
  // bounds for a rollback.
  void log_class(word_t size, size_class const* c);
  // The link before the first record of the class of size.
  word_t link_before_class(word_t size) const;
  // The record of size at data + size when its block was appended at the end
  // of the file (a block is then followed by its own record); -1 otherwise.
  word_t probe(word_t data, word_t size) const;
  // Looks for own among the first records of its (unindexed) class.
  bool short_walk(word_t size, size_class const& c, word_t own, word_t& prev);
  void index_class(word_t size, size_class& c);
  void drop_class_index(size_class& c);
  bool find_indexed(word_t data, word_t& own, word_t& prev) const;

  io_tools::bfstream& s_;
  bool ordered_ = true;
  long long records_read_ = 0;

  size_class_table<size_class> classes_;
  // Members of the indexed classes, by own address and by data address.
  address_table<member> members_;
  address_table<word_t> by_data_;

  // Summary changes made inside scopes; marks_ holds where each open scope's
  // changes begin.
  std::vector<logged_class> log_;
  std::vector<std::size_t> marks_;
};

// The free list's mirror: every record of the free list with its links, and
// the free blocks by size, by first byte and by end, so that the allocator
// finds the best fit and a freed block's free neighbours without a walk.
//
// A record of the free list is one of three things:
// - a free block: flagged free, describing one or more bytes;
// - a spare: an emptied record (no bytes; data -1, or a freed block of no
//   bytes), kept in the free list so that the next block that needs a record
//   takes it instead of lengthening the file;
// - anything else (a record without the free flag, or a block that overlaps
//   one already seen): left alone, never handed out nor merged.
//
// It holds nothing the file does not, and what it picks depends on the free
// list's contents alone, not on how they came about: it is built by one walk
// of the free list when first needed, and dropped whenever the file may have
// changed behind it (a rollback, compact, sort).
class free_index {
 public:
  explicit free_index(io_tools::bfstream& s) : s_(s) {}

  // Walks the free list unless built; throws "corrupt database file..." on a
  // cycle or a record that cannot be read.
  void build();
  void drop();

  // Scopes of change, as the allocation list's mirror has them: every change
  // made inside one is logged with what it replaced, so that rolling the
  // scope back puts the mirror back as the file now is again, rather than
  // walk the whole free list at the next allocation.
  void begin_scope();
  void commit_scope();
  // Undoes the scope's changes; drops the mirror when it was built inside
  // the scope, since it then knows nothing of the free list the file is back
  // at.
  void rollback_scope();
  // Records read from the file by the walks that built the mirror, and by
  // the follows that kept it.
  long long records_read() const { return records_read_; }

  // Another opening's commit changed the bytes of the file in the ranges
  // given (first byte, length): the mirror takes in the free list as the
  // file now has it by reading the records those bytes meet and the records
  // they newly link to, rather than the whole list. False, with the mirror
  // dropped, when that cannot be done soundly (a scope is open, the changes
  // are too many to be worth it, or the links do not make one list).
  //
  // The records whose bytes did not change keep their links; one of them
  // leaves the list only when nothing in it points at it any more (what
  // an unlink that takes a record into a merged block does). A list the
  // changes would leave with two links to one record, a link to a record
  // that left, or a record that cannot be read is not taken in.
  bool follow(std::vector<std::pair<word_t, word_t>> const& changed);

  struct entry {
    word_t prev, next;  // neighbours in the free list, -1 at its ends
    word_t data, size;
    enum class kind : char { block, spare, other } what;
  };
  // The entry of the record at own, null when it is not in the free list.
  entry const* find(word_t own) const { return records_.find(own); }
  // The link that points at own: the head word (8) or the record before it.
  word_t link_before(word_t own) const;

  // The smallest free block of at least size bytes (the lowest among equal
  // sizes), passed over for a roomier one when its rest would be too short to
  // be worth the record it needs; -1 when none fits.
  word_t best_fit(word_t size) const;
  // The free block whose first byte is at data, or whose bytes end at end;
  // -1 when there is none.
  word_t block_at(word_t data) const;
  word_t block_ending_at(word_t end) const;
  bool is_spare(word_t own) const;
  // The spare at the lowest address, -1 when there is none: records low in
  // the file are taken first, so that high ones can go with a free end.
  word_t lowest_spare() const { return spares_.empty() ? no_address : *spares_.begin(); }

  // The record has just been written and linked at the front of the list.
  void push_front(d_alloc_node const& r);
  // The record has just been unlinked.
  void remove(word_t own);
  // The record has just been rewritten in place (same link, new bytes).
  void rewrite(d_alloc_node const& r);

 private:
  static entry::kind kind_of(d_alloc_node const& r);
  void add(word_t own, entry e);
  // Enters a record into the tables by kind (demoting a block that overlaps
  // one already there).
  void index(word_t own, entry& e);
  void forget(word_t own, entry const& e);

  // A change of the mirror and what it replaced, in the scopes' log.
  struct logged_change {
    enum class kind : char { pushed, removed, rewritten } what;
    word_t own;
    entry was;  // the entry a removal or a rewrite replaced
  };
  void log_change(logged_change::kind what, word_t own, entry const& was);
  // Puts back an entry a removal took out, between the neighbours it had.
  void put_back(word_t own, entry const& e);

  io_tools::bfstream& s_;
  bool built_ = false;
  // The number of scopes open when the mirror was built: a scope begun
  // before that cannot be undone from the log.
  std::size_t built_at_depth_ = 0;
  long long records_read_ = 0;
  std::vector<std::size_t> marks_;
  std::vector<logged_change> log_;
  word_t head_ = no_address;
  address_table<entry> records_;
  address_table<word_t> by_start_, by_end_;
  std::set<std::pair<word_t, word_t>> by_size_;  // (size, data) of every free block
  std::set<word_t> spares_;
};

}  // namespace disk_tools
