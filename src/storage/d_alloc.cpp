#include "disk_tools/detail/d_alloc.h"

#include <algorithm>
#include <cstdio>

#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/index_file.h"

namespace disk_tools {

namespace {

char const* const unable_to_open = "unable to open alloc file...";

std::unique_ptr<io_tools::bfstream> open_stream(std::string const& path) {
  auto s = std::make_unique<io_tools::bfstream>(
      path.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::ate);
  if (s->fail() || s->bad()) throw error(errc::cannot_open, unable_to_open, path, s->open_errno());
  return s;
}

}  // namespace

d_alloc::d_alloc(std::string const& path) : own_stream_(open_stream(path)), s_(*own_stream_) {
  if (s_.size() < alloc_heads_end) throw io_tools::corrupt_file(s_);
}

d_alloc::d_alloc(io_tools::bfstream& shared) : s_(shared) {
  if (s_.fail() || s_.bad()) throw error(errc::cannot_open, unable_to_open, s_.name());
  if (s_.size() < alloc_heads_end) throw io_tools::corrupt_file(s_);
}

d_alloc::~d_alloc() = default;

template <class Step>
auto d_alloc::changing(Step step) {
  if (db_ && db_->change_depth() > 0) return step();
  if (db_) return in_change(*db_, step);
  // Without a database nothing takes a failed step back, and the mirror may
  // have followed only part of it.
  try {
    return step();
  } catch (...) {
    index_.reset();
    throw;
  }
}

void d_alloc::use_index(bool on) {
  use_index_ = on;
  index_.reset();
}

alloc_index* d_alloc::index() {
  if (!use_index_) return nullptr;
  if (!index_) index_ = std::make_unique<alloc_index>(s_);
  if (!index_->ordered()) {
    walk_from_now_on();
    return nullptr;
  }
  return index_.get();
}

void d_alloc::walk_from_now_on() {
  // A list out of order cannot be mirrored faithfully.
  index_.reset();
  use_index_ = false;
}

void d_alloc::begin_scope() {
  if (index_) index_->begin_scope();
}

void d_alloc::commit_scope() {
  if (index_) index_->commit_scope();
}

void d_alloc::rollback_scope() {
  // With the journal off nothing was put back, while an operation cut short
  // may have changed the file without the mirror: only the file can tell.
  bool const put_back = db_ && db_->journal().can_roll_back();
  if (index_ && (!put_back || !index_->rollback_scope())) index_.reset();
}

void d_alloc::load_index(std::string const& path) {
  std::vector<char> bytes;
  {
    io_tools::bfstream f(path.c_str(), std::ios_base::in);
    if (!f.is_open() || f.fail()) return;
    bytes.resize(static_cast<std::size_t>(f.size()));
    f.read_at(0, bytes.data(), bytes.size());
  }
  index_file saved;
  if (!use_index_ || !index_file::decode(bytes.data(), bytes.size(), saved) ||
      saved.database_length != s_.size()) {
    return;
  }
  try {
    index_ = alloc_index::from_saved(s_, saved.classes);
  } catch (error const&) {
    index_.reset();
  }
}

void d_alloc::save_index(std::string const& path) const {
  if (!index_ || !index_->ordered()) {
    // One left from an earlier session would only be checked and refused.
    std::remove(path.c_str());
    return;
  }
  index_file f;
  f.database_length = s_.size();
  f.classes = index_->summary();
  std::vector<char> const bytes = f.encode();
  try {
    io_tools::bfstream out(path.c_str(),
                           std::ios_base::in | std::ios_base::out | std::ios_base::trunc);
    if (!out.is_open() || out.fail()) return;
    out.write_at(0, bytes.data(), bytes.size());
    out.close();
    if (!out.fail()) return;
  } catch (...) {
    // A side file cut short would be refused by its checksum anyway.
  }
  std::remove(path.c_str());
}

word_t d_alloc::max_walk() const {
  return s_.size() / static_cast<word_t>(d_alloc_node::record_size) + 1;
}

void d_alloc::relink(word_t prev, word_t target) {
  // Every link named here was read as part of a sound record (or is a head
  // word); only its next word changes.
  bool const head = prev == alloc_list_head || prev == free_list_head;
  s_.write_word(head ? prev : prev + static_cast<word_t>(d_alloc_node::next_offset), target);
}

void d_alloc::write_block(word_t data, long size, text_tools::bstringstream const& bytes) {
  // The block holds the caller's bytes, zero-filled up to its size: the bytes
  // where they are, the zeros from a page of them.
  static char const zeros[4096] = {};
  auto const n = static_cast<std::size_t>(size);
  std::size_t const given = std::min(bytes.size(), n);
  if (given > 0) s_.write_at(data, bytes.start(), given);
  for (std::size_t at = given; at < n;) {
    std::size_t const k = std::min(sizeof zeros, n - at);
    s_.write_at(data + static_cast<word_t>(at), zeros, k);
    at += k;
  }
}

void d_alloc::insert(d_alloc_node& record) {
  // The record is written before anything points at it, so an interrupted
  // insert leaves at worst an unlinked record, never a link to a stale one.
  // It goes before the first record at least as large, or at the end.
  word_t prev = alloc_list_head;
  word_t before = no_address;
  if (alloc_index* ix = index()) {
    alloc_index::place const p = ix->insert_place(record.size);
    prev = p.prev;
    before = p.before;
  } else {
    word_t at = s_.read_word(alloc_list_head);
    for (word_t steps = 0; at != no_address; ++steps) {
      if (steps > max_walk()) throw io_tools::corrupt_file(s_);
      d_alloc_node const r = d_alloc_node::read(s_, at);
      if (record.size <= r.size) {
        before = r.own;
        break;
      }
      prev = r.own;
      at = r.next;
    }
  }
  record.next = before;
  record.write(s_);
  relink(prev, record.own);
  if (alloc_index* ix = index()) ix->used_insert(record);
}

bool d_alloc::find_first_fit(long size, word_t& prev, d_alloc_node& found) {
  if (alloc_index* ix = index()) {
    word_t const own = ix->free_first_fit(size);
    if (own == no_address) return false;
    prev = ix->free_prev(own);
    found = d_alloc_node::read(s_, own);
    return true;
  }
  prev = free_list_head;
  word_t at = s_.read_word(free_list_head);
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
    found = d_alloc_node::read(s_, at);
    if (found.free && !found.empty() && found.size >= size) return true;
    prev = found.own;
    at = found.next;
  }
  return false;
}

long d_alloc::take_free_block(word_t prev, d_alloc_node& r, long size,
                              text_tools::bstringstream const& bytes) {
  // A larger block is split: the request takes its first size bytes and the
  // rest becomes a free block of its own at the front of the free list.
  bool const split = r.size != size;
  d_alloc_node rest;
  rest.data = r.data + size;
  rest.size = r.size - size;
  rest.free = true;
  write_block(r.data, size, bytes);
  r.size = size;
  r.free = false;
  if (split && prev == free_list_head) {
    // The rest takes r's place at the head: the head word is written once,
    // from r straight to the rest (which is written before it is named), and
    // r leaves the free list with it.
    rest.next = r.next;
    rest.own = s_.size();
    rest.write(s_);
    s_.write_word(free_list_head, rest.own);
    if (alloc_index* ix = index()) {
      ix->free_remove(r.own);
      ix->free_push_front(rest);
    }
    insert(r);
    return r.data;
  }
  move_to_alloc_list(prev, r);
  if (!split) return r.data;
  rest.next = s_.read_word(free_list_head);
  rest.own = s_.size();
  rest.write(s_);
  s_.write_word(free_list_head, rest.own);
  if (alloc_index* ix = index()) ix->free_push_front(rest);
  return r.data;
}

long d_alloc::allocate(long const& size, text_tools::bstringstream& bytes) {
  if (size < 0) return no_address;
  return changing([&] { return allocate_block(size, bytes); });
}

long d_alloc::allocate_block(long size, text_tools::bstringstream const& bytes) {
  // First fit over the free list. A request for nothing is never served from
  // it: it would only split a block into a zero-sized piece.
  word_t prev;
  d_alloc_node r;
  if (size > 0 && find_first_fit(size, prev, r)) return take_free_block(prev, r, size, bytes);

  // No fit: the block goes at the end of the file, its record right after it.
  d_alloc_node record;
  record.data = s_.size();
  write_block(record.data, size, bytes);
  record.size = size;
  record.free = false;
  record.own = s_.size();
  insert(record);
  return record.data;
}

void d_alloc::move_to_alloc_list(word_t prev, d_alloc_node& record) {
  // The record is written once, by insert, with its new flag, size and link.
  relink(prev, record.next);
  if (alloc_index* ix = index()) ix->free_remove(record.own);
  insert(record);
}

bool d_alloc::find_in_use(word_t data, word_t& prev, d_alloc_node& found) {
  if (alloc_index* ix = index()) {
    word_t own;
    if (ix->used_find(data, own, prev)) {
      found = d_alloc_node::read(s_, own);
      return true;
    }
    if (ix->ordered()) return false;
    walk_from_now_on();
  }
  prev = alloc_list_head;
  word_t at = s_.read_word(alloc_list_head);
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
    found = d_alloc_node::read(s_, at);
    if (found.data == data && !found.empty()) return true;
    prev = found.own;
    at = found.next;
  }
  return false;
}

void d_alloc::deallocate(long const& address) {
  changing([&] { free_block(address); });
}

void d_alloc::free_block(word_t address) {
  word_t prev;
  d_alloc_node r;
  if (!find_in_use(address, prev, r)) return;
  move_to_dealloc_list(prev, r);
}

void d_alloc::move_to_dealloc_list(word_t prev, d_alloc_node& record) {
  relink(prev, record.next);
  if (alloc_index* ix = index()) ix->used_remove(record, prev);
  record.free = true;
  record.next = s_.read_word(free_list_head);
  record.write(s_);
  s_.write_word(free_list_head, record.own);
  if (alloc_index* ix = index()) ix->free_push_front(record);
}

void d_alloc::swap(d_alloc_node& a, d_alloc_node& b) {
  std::swap(a.data, b.data);
  std::swap(a.size, b.size);
  a.write(s_);
  b.write(s_);
}

void d_alloc::sort() {
  changing([&] { sort_free_list(); });
}

void d_alloc::sort_free_list() {
  // Sorting and compaction rewrite the free list wholesale (and leave the
  // allocation list alone); its mirror is rebuilt from the file on next use.
  if (index_) index_->free_list_changed();
  word_t const head = s_.read_word(free_list_head);
  if (head == no_address) return;
  d_alloc_node h = d_alloc_node::read(s_, head);
  word_t at = h.own;
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
    d_alloc_node r = at == h.own ? h : d_alloc_node::read(s_, at);
    if (r.own != h.own && !r.empty() && r.size < h.size) swap(h, r);
    at = r.next;
  }
}

void d_alloc::compact() {
  changing([&] { merge_free_blocks(); });
}

void d_alloc::merge_free_blocks() {
  if (index_) index_->free_list_changed();
  for (bool changed = true; changed;) {
    changed = false;
    word_t a_at = s_.read_word(free_list_head);
    for (word_t outer = 0; a_at != no_address; ++outer) {
      if (outer > max_walk()) throw io_tools::corrupt_file(s_);
      d_alloc_node a = d_alloc_node::read(s_, a_at);
      if (a.free && !a.empty()) {
        // Visit every later record of the list and absorb those whose block
        // touches a's block on either side.
        word_t prev = a.own;
        word_t b_at = a.next;
        for (word_t inner = 0; b_at != no_address; ++inner) {
          if (inner > max_walk()) throw io_tools::corrupt_file(s_);
          d_alloc_node b = d_alloc_node::read(s_, b_at);
          bool const after = b.data == a.data + a.size;
          bool const before = b.data + b.size == a.data;
          if (b.free && !b.empty() && (after || before)) {
            if (before) a.data = b.data;
            a.size += b.size;
            // An emptied record describes no bytes; it leaves the free list
            // so that no walk meets it again, and its 33 bytes stay unused.
            b.data = no_address;
            b.size = 0;
            b.free = true;
            b.write(s_);
            if (prev == a.own) {
              a.next = b.next;
            } else {
              relink(prev, b.next);
            }
            a.write(s_);
            changed = true;
          } else {
            prev = b.own;
          }
          b_at = b.next;
        }
      }
      a_at = a.next;
    }
  }
  sort_free_list();
}

std::vector<d_alloc_node> d_alloc::list_from(word_t head_word) {
  std::vector<d_alloc_node> out;
  word_t at = s_.read_word(head_word);
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
    out.push_back(d_alloc_node::read(s_, at));
    at = out.back().next;
  }
  return out;
}

std::vector<d_alloc_node> d_alloc::allocation_list() {
  return list_from(alloc_list_head);
}
std::vector<d_alloc_node> d_alloc::free_list() {
  return list_from(free_list_head);
}

}  // namespace disk_tools
