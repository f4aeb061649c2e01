// The disk allocator: hands out and takes back blocks inside the database file.
//
// All of its state lives in the file: the two list heads at offsets 0 and 8 and
// one d_alloc_node record per block. The allocation list holds the blocks in
// use in ascending size order (among equal sizes the most recently linked
// first); the free list holds freed blocks and spare records, the most
// recently freed first. Blocks never move.
//
// Reuse: a request takes the smallest free block that fits (the lowest in the
// file among equal sizes); a larger block is split, the request taking its
// first bytes and the rest staying free under the block's record. A freed
// block is merged with the free blocks around it, and with the records
// between them that are no longer needed; a record left without a block is
// kept as a spare in the free list and is the next record the allocator
// needs. Only when nothing fits does a block go at the end of the file. At a
// close the free blocks and spares that end the file are cut off
// (give_back_tail).
//
// The lists are singly linked on disk, so finding a record means walking a
// list. To keep every operation's cost independent of how many blocks the file
// holds, the allocator keeps in-memory mirrors of both lists (alloc_index,
// free_index) and finds with them exactly the records a walk would find; the
// file's bytes are the same either way. The mirror's summary of the allocation
// list is saved beside the database at a clean close (NAME.odb-index), so that
// opening a large database and allocating in it need not walk the list at all.
#pragma once

#include <memory>
#include <string>
#include <utility>
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
  // With the journal off, where nothing takes back what a failed change did,
  // makes the file long enough at its end for `blocks` new blocks of `bytes`
  // in all: called before a change frees a block that one of them replaces,
  // or takes the first of several, so that a full disk fails the change
  // before it has freed or taken anything. (With a journal, the failed
  // change is rolled back whole; nothing is done.)
  void make_room_for(long bytes, int blocks = 1);
  // The size of the block in use whose data address is address; -1 when no
  // block in use starts there.
  word_t size_in_use(word_t address);
  // Merges free blocks that lie next to each other in the file, then sorts.
  // (Freeing merges already; this is for files written before it did.)
  void compact();
  // One pass that brings the smallest free block into the free list's head.
  void sort();

  // The records of each list, in list order; for inspection and checks.
  std::vector<d_alloc_node> allocation_list();
  std::vector<d_alloc_node> free_list();

  // Cuts off the free blocks and spare records that end the file, as one
  // change; nothing when this session allocated and freed nothing (a reader
  // leaves the file as it found it). Never throws: on failure the change is
  // rolled back and the file keeps its length.
  void give_back_tail() noexcept;

  // Whether records are found through the in-memory mirrors (the default) or
  // by walking the lists on disk (the free list's mirror is then built anew
  // for every call, from the file alone); both write the same bytes.
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
  // Another opening's commit is being followed: the bytes from address on,
  // n of them, are about to change (the largest n: anything may).
  void note_followed_change(word_t address, word_t n);
  // Another opening's commit was followed (its changes noted as above): the
  // free list's mirror takes in what those bytes changed; the allocation
  // list's is built again from the file when next needed.
  void follow_file();
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
  // Records of the free list read to build its mirror, over the opening.
  long long free_mirror_reads() const { return free_.records_read(); }

 private:
  // Runs step as a change of the database (joining one under way).
  template <class Step>
  auto changing(Step step);

  long allocate_block(long size, text_tools::bstringstream const& bytes);
  void free_block(word_t address);
  void cut_tail();
  void sort_free_list();
  void merge_free_blocks();
  // Links record (not yet written) into the allocation list: it is written
  // once, already pointing at its successor, and then linked.
  void insert(d_alloc_node& record);
  // The two halves of insert: where record goes (its next word is set, the
  // link to point at it returned), and linking it there once it is written.
  word_t place(d_alloc_node& record);
  void link(d_alloc_node const& record, word_t prev);
  void swap(d_alloc_node& a, d_alloc_node& b);
  // Points the link named by prev (a head word or a record's own address) at
  // target.
  void relink(word_t prev, word_t target);
  void write_block(word_t data, long size, text_tools::bstringstream const& bytes);
  // The block's bytes and record (not yet linked), in one write when the
  // record lies right after a small block.
  void write_block_and_record(word_t data, long size, text_tools::bstringstream const& bytes,
                              d_alloc_node const& record);
  // Hands out the free block of the record at own for a request of size
  // bytes, splitting it when it is larger.
  long take_free_block(word_t own, long size, text_tools::bstringstream const& bytes);
  // Where the record of a new block goes: a spare taken out of the free list,
  // else the end of the file.
  word_t new_record_place();
  // The block of record (just unlinked from the allocation list) joins the
  // free list, merged with its free neighbours.
  void release(d_alloc_node& record);
  // Unlinks the record at own from the free list.
  void free_unlink(word_t own);
  // Links record (written here) at the front of the free list.
  void free_push(d_alloc_node& record);
  // Rewrites the free-list record at own in place to describe size bytes at
  // data, or nothing (a spare) when data is -1.
  void free_rewrite(word_t own, word_t data, word_t size);
  // The record in use whose block starts at data, and the link that points
  // at it; false when there is none.
  bool find_in_use(word_t data, word_t& prev, d_alloc_node& found);
  // Bounds every walk of a list: a list longer than the file could hold is a
  // cycle.
  word_t max_walk() const;
  std::vector<d_alloc_node> list_from(word_t head_word);
  // The allocation list's mirror, built on first use; null when walking is in
  // force.
  alloc_index* index();
  // The free list's mirror, built when needed.
  free_index& free_mirror();
  // The list turned out to be out of order: walk it from now on.
  void walk_from_now_on();

  std::unique_ptr<io_tools::bfstream> own_stream_;
  io_tools::bfstream& s_;
  bool use_index_ = true;
  bool alloc_list_unordered_ = false;
  std::unique_ptr<alloc_index> index_;
  free_index free_{s_};
  // The ranges of bytes the commits being followed change.
  std::vector<std::pair<word_t, word_t>> followed_changes_;
  // Whether this session allocated or freed anything.
  bool changed_ = false;
  d_database* db_ = nullptr;
};

}  // namespace disk_tools
