// The disk allocator: hands out and takes back blocks inside the database file.
//
// All of its state lives in the file: the two list heads at offsets 0 and 8 and
// one d_alloc_node record per block. The allocation list holds the blocks in
// use in ascending size order (among equal sizes the most recently linked
// first); the free list holds freed blocks, the most recently freed first.
// Blocks and records are only ever appended at the end of the file and never
// move.
//
// The lists are singly linked on disk, so finding a record means walking a
// list. To keep every operation's cost independent of how many blocks the file
// holds, the allocator keeps an in-memory mirror of both lists (alloc_index)
// and finds with it exactly the record a walk would find; the file's bytes are
// the same either way. The mirror's summary of the allocation list is saved
// beside the database at a clean close (NAME.odb-index), so that opening a
// large database and allocating in it need not walk the list at all.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "disk_tools/detail/alloc_index.h"
#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/d_alloc_node.h"

namespace disk_tools {

class d_database;

class d_alloc {
 public:
  // Opens the database file at path on a stream of its own; throws
  // "unable to open alloc file..." when the file cannot be opened for reading
  // and writing.
  explicit d_alloc(std::string const& path);
  // Works on a stream that is already open on the database file (the
  // database shares its own stream this way).
  explicit d_alloc(io_tools::bfstream& shared);
  ~d_alloc();

  d_alloc(d_alloc const&) = delete;
  d_alloc& operator=(d_alloc const&) = delete;

  // Returns the data address of a block of size bytes holding bytes (zeros
  // when bytes is empty); -1 for a negative size, with nothing written.
  long allocate(long const& size, text_tools::bstringstream& bytes);
  // Gives back the block in use whose data address is address; any other
  // address is ignored.
  void deallocate(long const& address);
  // Merges free blocks that lie next to each other in the file, then sorts.
  void compact();
  // One pass that brings the smallest free block into the free list's head.
  void sort();

  // The records of each list, in list order; for inspection and checks.
  std::vector<d_alloc_node> allocation_list();
  std::vector<d_alloc_node> free_list();

  // Whether records are found through the in-memory mirror (the default) or
  // by walking the lists on disk; both write the same bytes.
  void use_index(bool on);

  io_tools::bfstream& stream() { return s_; }

  // The database whose changes the allocator's calls belong to: a call made
  // outside any change of the database's becomes one of its own.
  void attach(d_database* db) { db_ = db; }
  // Scopes of change of the database, as its journal sees them: a rolled-back
  // scope changed the file behind the mirror, which must agree with it again.
  void begin_scope();
  void commit_scope();
  void rollback_scope();
  // The mirror's summary kept in a side file between openings, so that a
  // large database need not be walked before its first allocation. The file
  // may be stale (a process that died after changing the database leaves the
  // one it found) or damaged: it is used only when it matches the database,
  // which a sorted allocation list proves in a few reads per size class
  // (alloc_index::from_saved). Neither call throws.
  void load_index(std::string const& path);
  void save_index(std::string const& path) const;

  // Records of the allocation list the mirror has read from the file to
  // build itself, for tests and measurements (0 while there is no mirror).
  long long mirror_reads() const { return index_ ? index_->records_read() : 0; }

 private:
  // Runs step as a change of the database (joining one under way).
  template <class Step>
  auto changing(Step step);

  long allocate_block(long size, text_tools::bstringstream const& bytes);
  void free_block(word_t address);
  void sort_free_list();
  void merge_free_blocks();
  // Links record (not yet written) into the allocation list: it is written
  // once, already pointing at its successor, and then linked.
  void insert(d_alloc_node& record);
  void move_to_alloc_list(word_t prev, d_alloc_node& record);
  void move_to_dealloc_list(word_t prev, d_alloc_node& record);
  void swap(d_alloc_node& a, d_alloc_node& b);
  // Points the link named by prev (a head word or a record's own address) at
  // target.
  void relink(word_t prev, word_t target);
  void write_block(word_t data, long size, text_tools::bstringstream const& bytes);
  // Hands out the free record r (reached through the link prev) for a
  // request of size bytes, splitting it when it is larger.
  long take_free_block(word_t prev, d_alloc_node& r, long size,
                       text_tools::bstringstream const& bytes);
  // The first free record that fits size, and the link that points at it;
  // false when none fits.
  bool find_first_fit(long size, word_t& prev, d_alloc_node& found);
  // The record in use whose block starts at data, and the link that points
  // at it; false when there is none.
  bool find_in_use(word_t data, word_t& prev, d_alloc_node& found);
  // Bounds every walk of a list: a list longer than the file could hold is a
  // cycle.
  word_t max_walk() const;
  std::vector<d_alloc_node> list_from(word_t head_word);
  // The mirror, built on first use; null when walking is in force.
  alloc_index* index();
  // The list turned out to be out of order: walk it from now on.
  void walk_from_now_on();

  std::unique_ptr<io_tools::bfstream> own_stream_;
  io_tools::bfstream& s_;
  bool use_index_ = true;
  std::unique_ptr<alloc_index> index_;
  d_database* db_ = nullptr;
};

}  // namespace disk_tools
