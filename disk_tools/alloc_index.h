// An in-memory mirror of the allocator's two lists, so that the allocator finds
// in logarithmic or constant time the very record its list walks would find:
//
// - the first record of the free list, in list order, that is free, not empty
//   and at least n bytes long (first fit);
// - the record of the allocation list whose block starts at a given address,
//   with the record before it;
// - the place in the allocation list where a record of a given size goes
//   (before the first record at least as large).
//
// The file stays the only truth: the mirror is built from the lists on disk
// and changed only alongside them. Free-list order is kept as descending
// positions in a max tree over sizes: records only ever join the free list at
// its front, so a new record always takes the highest position yet.
#pragma once

#include <map>
#include <vector>

#include "address_table.h"
#include "bfstream.h"
#include "d_alloc_node.h"

namespace disk_tools {

class alloc_index {
 public:
  // Builds the mirror by walking both lists; throws "corrupt database file..."
  // on a cycle or a record that cannot be read.
  explicit alloc_index(io_tools::bfstream& s);

  // False when the allocation list on disk is not in ascending size order:
  // the mirror could then not find what a walk finds, and must not be used.
  bool ordered() const { return ordered_; }

  // --- allocation list ---
  // Own address of the record of the block in use at data, -1 if none.
  word_t used_record_at(word_t data) const;
  // The link that points at own in the allocation list: the head word (0) or
  // the record before it.
  word_t used_prev(word_t own) const;
  // The record before which a record of size is inserted, -1 to append;
  // and the last record of the list (-1 when empty).
  word_t used_insert_before(word_t size) const;
  word_t used_tail() const { return used_tail_; }
  void used_insert(d_alloc_node const& record);
  void used_remove(word_t own);

  // --- free list ---
  // The first record in list order that is free, not empty and of at least
  // size bytes; -1 if none.
  word_t free_first_fit(word_t size) const;
  // The link that points at own in the free list: the head word (8) or the
  // record before it.
  word_t free_prev(word_t own) const;
  void free_push_front(d_alloc_node const& record);
  void free_remove(word_t own);
  // A free record's size or flags changed in place.
  void free_update(d_alloc_node const& record);

 private:
  struct used_entry {
    word_t prev, next, size, data;
  };
  struct free_entry {
    word_t prev, next;
    std::size_t position;
  };

  static word_t fit_value(d_alloc_node const& r) { return r.free && !r.empty() ? r.size : -1; }
  void tree_set(std::size_t position, word_t value);
  void tree_rebuild(std::size_t min_capacity);

  bool ordered_ = true;
  address_table<used_entry> used_;
  address_table<word_t> used_by_data_;
  // For each size present, the first record of that size in list order.
  std::map<word_t, word_t> used_first_of_size_;
  word_t used_head_ = no_address;
  word_t used_tail_ = no_address;

  address_table<free_entry> free_;
  word_t free_head_ = no_address;
  // Max tree over positions; leaves hold fit values (-1: absent or unfit).
  std::vector<word_t> tree_;
  std::vector<word_t> own_at_;
  std::size_t capacity_ = 0;
  std::size_t next_position_ = 0;
};

}  // namespace disk_tools
