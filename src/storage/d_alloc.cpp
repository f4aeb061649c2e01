#include "disk_tools/detail/d_alloc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/index_file.h"

namespace disk_tools {

namespace {

char const* const unable_to_open = "unable to open alloc file...";
constexpr auto record_bytes = static_cast<word_t>(d_alloc_node::record_size);

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
    free_.drop();
    throw;
  }
}

void d_alloc::use_index(bool on) {
  use_index_ = on;
  index_.reset();
  free_.drop();
}

alloc_index* d_alloc::index() {
  if (!use_index_ || alloc_list_unordered_) return nullptr;
  if (!index_) index_ = std::make_unique<alloc_index>(s_);
  if (!index_->ordered()) {
    walk_from_now_on();
    return nullptr;
  }
  return index_.get();
}

free_index& d_alloc::free_mirror() {
  free_.build();
  return free_;
}

void d_alloc::walk_from_now_on() {
  // A list out of order cannot be mirrored faithfully. (The free list's
  // mirror needs no order and stays.)
  index_.reset();
  alloc_list_unordered_ = true;
}

void d_alloc::begin_scope() {
  if (index_) index_->begin_scope();
  free_.begin_scope();
}

void d_alloc::commit_scope() {
  if (index_) index_->commit_scope();
  free_.commit_scope();
}

void d_alloc::rollback_scope() {
  // With the journal off nothing was put back, while an operation cut short
  // may have changed the file without the mirror: only the file can tell.
  bool const put_back = db_ && db_->journal().can_roll_back();
  if (index_ && (!put_back || !index_->rollback_scope())) index_.reset();
  free_.rollback_scope();
  if (!put_back) free_.drop();
}

void d_alloc::note_followed_change(word_t address, word_t n) {
  followed_changes_.emplace_back(address, n);
}

void d_alloc::follow_file() {
  index_.reset();
  alloc_list_unordered_ = false;
  std::vector<std::pair<word_t, word_t>> changed;
  changed.swap(followed_changes_);
  bool const anything = std::any_of(changed.begin(), changed.end(), [](auto const& c) {
    return c.second == std::numeric_limits<word_t>::max();
  });
  if (!use_index_ || anything) {
    free_.drop();
    return;
  }
  try {
    free_.follow(changed);
  } catch (...) {
    free_.drop();
    throw;
  }
}

void d_alloc::load_index(std::string const& path) {
  // A side file of this database lists at most a class per record: one
  // longer is not its own, and is not read whole whatever its length.
  std::size_t const most = index_file::classes_offset +
                           index_file::class_size * static_cast<std::size_t>(max_walk()) +
                           index_file::checksum_size;
  std::vector<char> bytes;
  {
    io_tools::bfstream f;
    f.open_head(path.c_str(), most + 1);
    if (!f.is_open() || f.fail() || static_cast<std::size_t>(f.size()) > most) return;
    bytes.resize(static_cast<std::size_t>(f.size()));
    f.read_at(0, bytes.data(), bytes.size());
  }
  index_file saved;
  if (!use_index_ || alloc_list_unordered_ ||
      !index_file::decode(bytes.data(), bytes.size(), saved) ||
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

void d_alloc::write_block_and_record(word_t data, long size,
                                     text_tools::bstringstream const& bytes,
                                     d_alloc_node const& record) {
  // A small block and its record right after it go in one write: the journal
  // then saves their old bytes as one span, not two.
  constexpr std::size_t most = 512;
  auto const n = static_cast<std::size_t>(size);
  if (record.own != data + size || n > most) {
    write_block(data, size, bytes);
    record.write(s_);
    return;
  }
  char buf[most + d_alloc_node::record_size];
  std::size_t const given = std::min(bytes.size(), n);
  if (given > 0) std::memcpy(buf, bytes.start(), given);
  std::memset(buf + given, 0, n - given);
  record.encode(buf + n);
  s_.write_at(data, buf, n + d_alloc_node::record_size);
}

void d_alloc::insert(d_alloc_node& record) {
  // The record is written before anything points at it, so an interrupted
  // insert leaves at worst an unlinked record, never a link to a stale one.
  word_t const prev = place(record);
  record.write(s_);
  link(record, prev);
}

void d_alloc::link(d_alloc_node const& record, word_t prev) {
  relink(prev, record.own);
  // place() asked index() already, which dropped a mirror that must go.
  if (index_) index_->used_insert(record);
}

word_t d_alloc::place(d_alloc_node& record) {
  // The record goes before the first record at least as large, or at the
  // end.
  word_t prev = alloc_list_head;
  word_t before = no_address;
  alloc_index* const ix = index();
  if (ix) {
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
  return prev;
}

word_t d_alloc::new_record_place() {
  free_index& fx = free_mirror();
  word_t const spare = fx.lowest_spare();
  if (spare == no_address) return s_.size();
  free_unlink(spare);
  return spare;
}

void d_alloc::free_unlink(word_t own) {
  free_index& fx = free_mirror();
  free_index::entry const* const e = fx.find(own);
  if (!e) throw io_tools::corrupt_file(s_);
  relink(fx.link_before(own), e->next);
  fx.remove(own);
}

void d_alloc::free_push(d_alloc_node& record) {
  // The mirror is built (if it must be) before the list changes.
  free_index& fx = free_mirror();
  record.free = true;
  record.next = s_.read_word(free_list_head);
  record.write(s_);
  s_.write_word(free_list_head, record.own);
  fx.push_front(record);
}

void d_alloc::free_rewrite(word_t own, word_t data, word_t size) {
  // Only the data and size words change; the link and the flag stay.
  free_index& fx = free_mirror();
  free_index::entry const* const e = fx.find(own);
  if (e && e->what == free_index::entry::kind::block) {
    // The record of a free block is flagged free already and its link is
    // the mirror's: the two words are written alone, without reading it.
    d_alloc_node r;
    r.own = own;
    r.data = data;
    r.size = data == no_address ? 0 : size;
    r.next = e->next;
    r.free = true;
    char words[2 * word_size];
    encode_word(words, r.data);
    encode_word(words + word_size, r.size);
    static_assert(d_alloc_node::size_offset == d_alloc_node::data_offset + word_size,
                  "the data and size words lie side by side");
    s_.write_at(own + static_cast<word_t>(d_alloc_node::data_offset), words, sizeof words);
    fx.rewrite(r);
    return;
  }
  d_alloc_node r = d_alloc_node::read(s_, own);
  r.data = data;
  r.size = data == no_address ? 0 : size;
  r.free = true;
  r.write(s_);
  fx.rewrite(r);
}

long d_alloc::take_free_block(word_t own, long size, text_tools::bstringstream const& bytes) {
  // The mirror holds the free block's record as the file does.
  free_index::entry const* const e = free_mirror().find(own);
  if (!e) throw io_tools::corrupt_file(s_);
  d_alloc_node r;
  r.own = own;
  r.data = e->data;
  r.size = e->size;
  if (r.size == size) {
    free_unlink(own);
    write_block(r.data, size, bytes);
    r.free = false;
    insert(r);
    return r.data;
  }
  // A larger block is split: the request takes its first size bytes and a
  // record of its own; the rest stays free under r, which keeps its place in
  // the free list (and its place right after the block, when it had it). The
  // request's record is a spare when there is one, else it is cut from the
  // free block right after the request's bytes, as if both were appended;
  // only a rest too short for it sends it to the end of the file.
  word_t const data = r.data;
  d_alloc_node record;
  record.data = data;
  record.size = size;
  record.free = false;
  word_t const rest = r.size - size;
  word_t const spare = free_mirror().lowest_spare();
  if (spare == no_address && rest >= record_bytes) {
    record.own = data + size;
    word_t const prev = place(record);
    write_block_and_record(data, size, bytes, record);
    word_t const left = rest - record_bytes;
    free_rewrite(own, left > 0 ? record.own + record_bytes : no_address, left);
    link(record, prev);
  } else {
    write_block(data, size, bytes);
    free_rewrite(own, data + size, rest);
    record.own = new_record_place();
    insert(record);
  }
  return data;
}

long d_alloc::allocate(long const& size, text_tools::bstringstream& bytes) {
  if (size < 0) return no_address;
  return changing([&] { return allocate_block(size, bytes); });
}

long d_alloc::allocate_block(long size, text_tools::bstringstream const& bytes) {
  changed_ = true;
  if (!use_index_) free_.drop();  // walking: the mirror is the file's, read now
  // Best fit over the free blocks. A request for nothing is never served from
  // them: it would only split a block into a zero-sized piece.
  if (size > 0) {
    word_t const own = free_mirror().best_fit(size);
    if (own != no_address) return take_free_block(own, size, bytes);
  }
  // No fit: the block goes at the end of the file, its record in a spare or
  // right after it. A block of no bytes always has its record right after it:
  // its address is then its own, never that of the next block appended.
  d_alloc_node record;
  record.data = s_.size();
  record.size = size;
  record.free = false;
  if (size == 0 || free_mirror().lowest_spare() == no_address) {
    record.own = record.data + size;
    word_t const prev = place(record);
    write_block_and_record(record.data, size, bytes, record);
    link(record, prev);
    return record.data;
  }
  write_block(record.data, size, bytes);
  record.own = new_record_place();
  insert(record);
  return record.data;
}

word_t d_alloc::size_in_use(word_t address) {
  word_t prev = no_address;
  d_alloc_node found;
  return find_in_use(address, prev, found) ? found.size : no_address;
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

void d_alloc::make_room_for(long bytes, int blocks) {
  if (!db_ || db_->journal_mode() != d_journal::off || bytes < 0 || blocks < 1) return;
  // Each block's record after it, and a record for the rest of a free block
  // split to serve it.
  s_.make_room(s_.size() + bytes + 2 * blocks * static_cast<word_t>(d_alloc_node::record_size));
}

void d_alloc::free_block(word_t address) {
  if (!use_index_) free_.drop();
  word_t prev;
  d_alloc_node r;
  if (!find_in_use(address, prev, r)) return;
  changed_ = true;
  relink(prev, r.next);
  if (alloc_index* ix = index()) ix->used_remove(r, prev);
  release(r);
}

namespace {

// A freed block grown over its free neighbours: the bytes [lo, hi), the
// records of the free blocks it took in (still describing them), and the
// free-list records whose bytes it took in.
struct merged_block {
  word_t lo, hi;
  std::vector<word_t> blocks;
  std::vector<word_t> absorbed;
  bool own_absorbed = false;  // the freed block's own record is inside too
};

bool contains(std::vector<word_t> const& v, word_t x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

// One step of growth upwards: a free block starting at hi, a spare at hi, or
// a record of the merged block's own at hi followed by a free block (the
// record's bytes join the block, the block after it describes the whole).
bool grow_up(free_index const& fx, word_t own, merged_block& m) {
  if (word_t const g = fx.block_at(m.hi); g != no_address) {
    m.blocks.push_back(g);
    m.hi = fx.find(g)->data + fx.find(g)->size;
    return true;
  }
  if (fx.is_spare(m.hi)) {
    m.absorbed.push_back(m.hi);
    m.hi += record_bytes;
    return true;
  }
  bool const own_here = m.hi == own && !m.own_absorbed;
  if ((own_here || contains(m.blocks, m.hi)) && fx.block_at(m.hi + record_bytes) != no_address) {
    if (own_here) {
      m.own_absorbed = true;
    } else {
      m.blocks.erase(std::find(m.blocks.begin(), m.blocks.end(), m.hi));
      m.absorbed.push_back(m.hi);
    }
    m.hi += record_bytes;
    return true;
  }
  return false;
}

// One step of growth downwards: a free block ending at lo, a spare ending at
// lo, or a free block whose record ends at lo right after its bytes.
bool grow_down(free_index const& fx, merged_block& m) {
  if (word_t const e = fx.block_ending_at(m.lo); e != no_address) {
    m.blocks.push_back(e);
    m.lo = fx.find(e)->data;
    return true;
  }
  word_t const below = m.lo - record_bytes;
  if (fx.is_spare(below)) {
    m.absorbed.push_back(below);
    m.lo = below;
    return true;
  }
  free_index::entry const* const e = fx.find(below);
  if (e && e->what == free_index::entry::kind::block && e->data + e->size == below &&
      fx.block_at(e->data) == below) {
    m.absorbed.push_back(below);
    m.lo = e->data;
    return true;
  }
  return false;
}

}  // namespace

void d_alloc::release(d_alloc_node& record) {
  if (record.size == 0) {
    // A block of no bytes has nothing to merge: its record is a spare.
    record.data = no_address;
    free_push(record);
    return;
  }
  free_index& fx = free_mirror();
  merged_block m{record.data, record.data + record.size, {}, {}, false};
  for (word_t steps = 0; grow_up(fx, record.own, m) || grow_down(fx, m); ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
  }
  // One record describes the merged block: the one right after it when there
  // is one (so that it can take the next neighbour in too), else one already
  // in the free list, else the freed block's own. The others become spares.
  bool const own_stays = !m.own_absorbed;
  word_t keeper = record.own;
  if (own_stays && record.own == m.hi) {
    keeper = record.own;
  } else if (contains(m.blocks, m.hi)) {
    keeper = m.hi;
  } else if (!m.blocks.empty()) {
    keeper = m.blocks.front();
  }
  // The others go first, so that no two records describe the same bytes.
  for (word_t own : m.absorbed) free_unlink(own);
  for (word_t own : m.blocks) {
    if (own != keeper) free_rewrite(own, no_address, 0);
  }
  if (keeper != record.own) free_rewrite(keeper, m.lo, m.hi - m.lo);
  if (m.own_absorbed) return;  // its bytes are the block's now
  record.data = keeper == record.own ? m.lo : no_address;
  record.size = keeper == record.own ? m.hi - m.lo : 0;
  free_push(record);
}

void d_alloc::give_back_tail() noexcept {
  if (!changed_) return;
  try {
    changing([&] { cut_tail(); });
  } catch (...) {
    // Rolled back: the file keeps its length, and nothing is lost but room.
  }
}

void d_alloc::cut_tail() {
  if (!use_index_) free_.drop();
  free_index& fx = free_mirror();
  word_t end = s_.size();
  for (word_t steps = 0;; ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
    word_t const last = end - record_bytes;
    if (fx.is_spare(last)) {
      free_unlink(last);
      end = last;
      continue;
    }
    if (word_t const b = fx.block_ending_at(end); b != no_address) {
      // The block goes; its record, elsewhere, stays as a spare (and goes
      // too when it is next at the end).
      end = fx.find(b)->data;
      free_rewrite(b, no_address, 0);
      continue;
    }
    free_index::entry const* const e = fx.find(last);
    if (e && e->what == free_index::entry::kind::block && e->data + e->size == last) {
      end = e->data;
      free_unlink(last);
      continue;
    }
    break;
  }
  // The journal keeps the length: a crash before the file is cut leaves a
  // longer file that the next opening cuts back.
  if (end < s_.size()) s_.set_size(end);
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
  changed_ = true;
  free_.drop();
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
  changed_ = true;
  free_.drop();
  for (bool changed = true; changed;) {
    changed = false;
    word_t a_at = s_.read_word(free_list_head);
    for (word_t outer = 0; a_at != no_address; ++outer) {
      if (outer > max_walk()) throw io_tools::corrupt_file(s_);
      d_alloc_node a = d_alloc_node::read(s_, a_at);
      if (a.free && !a.empty()) {
        // Visit every later record of the list and absorb those whose block
        // touches a's block on either side.
        word_t b_at = a.next;
        for (word_t inner = 0; b_at != no_address; ++inner) {
          if (inner > max_walk()) throw io_tools::corrupt_file(s_);
          d_alloc_node b = d_alloc_node::read(s_, b_at);
          bool const after = b.data == a.data + a.size;
          bool const before = b.data + b.size == a.data;
          if (b.free && !b.empty() && (after || before)) {
            if (before) a.data = b.data;
            a.size += b.size;
            // An emptied record describes no bytes; it stays in the free
            // list as a spare, the next record a block needs.
            b.data = no_address;
            b.size = 0;
            b.free = true;
            b.write(s_);
            a.write(s_);
            changed = true;
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
