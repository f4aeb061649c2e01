#include "disk_tools/detail/alloc_index.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace disk_tools {

namespace {

// How far a free looks from the head of its class before it indexes the
// class: blocks freed soon after they were allocated sit near the head (the
// most recently linked record of a size comes first).
constexpr int short_walk_length = 16;

// Whether r is a record in use of a block of size bytes.
bool in_use_of_size(d_alloc_node const& r, word_t size) {
  return r.size == size && !r.free && !r.empty();
}

}  // namespace

alloc_index::alloc_index(io_tools::bfstream& s, int) : s_(s) {}

alloc_index::alloc_index(io_tools::bfstream& s) : s_(s) {
  word_t at = s_.read_word(alloc_list_head);
  size_class* largest = nullptr;
  word_t largest_size = no_address;
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk()) throw io_tools::corrupt_file(s_);
    d_alloc_node const r = read(at);
    if (largest && largest_size == r.size) {
      largest->last = r.own;
    } else if (!largest || largest_size < r.size) {
      largest = &classes_.add(r.size, size_class{r.own, r.own, false});
      largest_size = r.size;
    } else {
      ordered_ = false;
      return;
    }
    at = r.next;
  }
}

std::unique_ptr<alloc_index> alloc_index::from_saved(
    io_tools::bfstream& s, std::vector<size_class_bounds> const& classes) {
  std::unique_ptr<alloc_index> ix(new alloc_index(s, 0));
  word_t link = s.read_word(alloc_list_head);
  for (size_class_bounds const& c : classes) {
    d_alloc_node first, last;
    ix->records_read_ += 2;
    if (link != c.first || !d_alloc_node::try_read(s, c.first, first) ||
        !d_alloc_node::try_read(s, c.last, last) || !in_use_of_size(first, c.size) ||
        !in_use_of_size(last, c.size)) {
      return nullptr;
    }
    link = last.next;
    ix->classes_.add(c.size, size_class{c.first, c.last, false});
  }
  if (link != no_address) return nullptr;
  return ix;
}

std::vector<size_class_bounds> alloc_index::summary() const {
  std::vector<size_class_bounds> out;
  out.reserve(classes_.size());
  for (word_t size = classes_.at_least(0); size != no_address; size = classes_.at_least(size + 1)) {
    size_class const& c = *classes_.find(size);
    out.push_back({size, c.first, c.last});
  }
  return out;
}

word_t alloc_index::max_walk() const {
  return s_.size() / static_cast<word_t>(d_alloc_node::record_size) + 1;
}

d_alloc_node alloc_index::read(word_t own) {
  ++records_read_;
  return d_alloc_node::read(s_, own);
}

void alloc_index::log_class(word_t size, size_class const* c) {
  if (marks_.empty()) return;
  log_.push_back({size, c ? *c : size_class{no_address, no_address, false}, c != nullptr});
}

word_t alloc_index::link_before_class(word_t size) const {
  word_t const below = classes_.below(size);
  return below == no_address ? alloc_list_head : classes_.find(below)->last;
}

alloc_index::place alloc_index::insert_place(word_t size) const {
  auto const n = classes_.around(size);
  return {n.below ? n.below->last : alloc_list_head, n.at_least ? n.at_least->first : no_address};
}

void alloc_index::used_insert(d_alloc_node const& record) {
  size_class* const found = classes_.find(record.size);
  log_class(record.size, found);
  if (!found) {
    // A new class starts unindexed: it may grow large, and as long as none of
    // its blocks is freed, no table needs to know its members.
    classes_.add(record.size, size_class{record.own, record.own, false});
    return;
  }
  size_class& c = *found;
  if (c.indexed) {
    members_.at(c.first).prev = record.own;
    members_.emplace(record.own, member{no_address, c.first, record.size, record.data});
    if (!by_data_.emplace(record.data, record.own).second) ordered_ = false;
  }
  c.first = record.own;
}

word_t alloc_index::probe(word_t data, word_t size) const {
  if (size > s_.size() - data) return no_address;
  d_alloc_node r;
  word_t const own = data + size;
  if (!d_alloc_node::try_read(s_, own, r) || r.data != data || !in_use_of_size(r, size)) {
    return no_address;
  }
  return own;
}

bool alloc_index::short_walk(word_t size, size_class const& c, word_t own, word_t& prev) {
  word_t p = link_before_class(size);
  word_t at = c.first;
  for (int k = 0; k < short_walk_length; ++k) {
    if (at == own) {
      prev = p;
      return true;
    }
    if (at == c.last) return false;
    d_alloc_node const r = read(at);
    if (r.size != size || r.next == no_address) {
      ordered_ = false;
      return false;
    }
    p = at;
    at = r.next;
  }
  return false;
}

void alloc_index::index_class(word_t size, size_class& c) {
  word_t prev = no_address;
  word_t at = c.first;
  for (word_t steps = 0;; ++steps) {
    // A class that does not end at its last record, or that holds another
    // size, an emptied record or a block twice, is not a sorted run.
    if (steps > max_walk() || at == no_address) {
      ordered_ = false;
      return;
    }
    d_alloc_node const r = read(at);
    if (r.size != size || r.empty()) {
      ordered_ = false;
      return;
    }
    word_t const next = at == c.last ? no_address : r.next;
    if (!members_.emplace(at, member{prev, next, size, r.data}).second ||
        !by_data_.emplace(r.data, at).second) {
      ordered_ = false;
      return;
    }
    if (at == c.last) break;
    prev = at;
    at = r.next;
  }
  c.indexed = true;
}

void alloc_index::drop_class_index(size_class& c) {
  for (word_t at = c.first; at != no_address;) {
    member const* const m = members_.find(at);
    if (!m) break;
    word_t const next = m->next;
    by_data_.erase(m->data);
    members_.erase(at);
    at = next;
  }
  c.indexed = false;
}

bool alloc_index::find_indexed(word_t data, word_t& own, word_t& prev) const {
  word_t const* const found = by_data_.find(data);
  if (!found) return false;
  member const& m = members_.at(*found);
  own = *found;
  prev = m.prev != no_address ? m.prev : link_before_class(m.size);
  return true;
}

bool alloc_index::used_find(word_t data, word_t& own, word_t& prev) {
  // No block in use starts outside the data, and no address there is worth
  // indexing every class for.
  if (data < alloc_heads_end || data >= s_.size()) return false;
  if (find_indexed(data, own, prev)) return true;
  for (word_t size = classes_.at_least(0); size != no_address; size = classes_.at_least(size + 1)) {
    size_class& c = *classes_.find(size);
    if (c.indexed) continue;
    word_t const candidate = probe(data, size);
    if (candidate == no_address) continue;
    if (short_walk(size, c, candidate, prev)) {
      own = candidate;
      return true;
    }
    if (!ordered_) return false;
    index_class(size, c);
    if (!ordered_) return false;
    if (find_indexed(data, own, prev)) return true;
  }
  // The block's record lies elsewhere (the block was split off a larger
  // one), or there is no such block: only every class can tell.
  for (word_t size = classes_.at_least(0); size != no_address; size = classes_.at_least(size + 1)) {
    size_class& c = *classes_.find(size);
    if (c.indexed) continue;
    index_class(size, c);
    if (!ordered_) return false;
  }
  return find_indexed(data, own, prev);
}

void alloc_index::used_remove(d_alloc_node const& record, word_t prev) {
  size_class* const found = classes_.find(record.size);
  if (!found) return;
  log_class(record.size, found);
  size_class& c = *found;
  if (c.indexed) {
    member const m = members_.at(record.own);
    if (m.prev != no_address) members_.at(m.prev).next = m.next;
    if (m.next != no_address) members_.at(m.next).prev = m.prev;
    members_.erase(record.own);
    by_data_.erase(m.data);
  }
  if (c.first == record.own && c.last == record.own) {
    classes_.erase(record.size);
  } else if (c.first == record.own) {
    c.first = record.next;
  } else if (c.last == record.own) {
    c.last = prev;
  }
}

void alloc_index::begin_scope() {
  marks_.push_back(log_.size());
}

void alloc_index::commit_scope() {
  if (marks_.empty()) return;
  marks_.pop_back();
  // The outermost scope's changes are for good: nothing can take them back.
  if (marks_.empty()) log_.clear();
}

bool alloc_index::rollback_scope() {
  if (marks_.empty()) return false;
  std::size_t const mark = marks_.back();
  marks_.pop_back();
  // Classes changed since the mark lose their index before their bounds go
  // back: the index follows the in-memory links of the class as it is now.
  for (std::size_t i = log_.size(); i-- > mark;) {
    size_class* const c = classes_.find(log_[i].size);
    if (c && c->indexed) drop_class_index(*c);
  }
  for (std::size_t i = log_.size(); i-- > mark;) {
    logged_class const& e = log_[i];
    if (e.existed) {
      classes_.add(e.size, size_class{}) = size_class{e.was.first, e.was.last, false};
    } else {
      classes_.erase(e.size);
    }
  }
  log_.resize(mark);
  return true;
}

namespace {
// A rest shorter than a record and a short value is worth less than the
// record it would need.
constexpr word_t min_rest = static_cast<word_t>(d_alloc_node::record_size) + 16;
}  // namespace

void free_index::build() {
  if (built_) return;
  records_.clear();
  by_start_.clear();
  by_end_.clear();
  by_size_.clear();
  spares_.clear();
  head_ = s_.read_word(free_list_head);
  word_t const max_walk = s_.size() / static_cast<word_t>(d_alloc_node::record_size) + 1;
  word_t prev = no_address;
  for (word_t at = head_, steps = 0; at != no_address; ++steps) {
    if (steps > max_walk || records_.contains(at)) throw io_tools::corrupt_file(s_);
    d_alloc_node const r = d_alloc_node::read(s_, at);
    ++records_read_;
    add(at, entry{prev, r.next, r.data, r.size, kind_of(r)});
    prev = at;
    at = r.next;
  }
  built_ = true;
  built_at_depth_ = marks_.size();
  log_.clear();
  std::fill(marks_.begin(), marks_.end(), std::size_t{0});
}

bool free_index::follow(std::vector<std::pair<word_t, word_t>> const& changed) {
  if (!built_) return true;  // built from the file when next needed
  // A scope's log describes the list before the commit: it cannot be undone
  // over it.
  if (!marks_.empty() || !log_.empty()) {
    drop();
    return false;
  }
  auto const record = static_cast<word_t>(d_alloc_node::record_size);
  // Past this many records met, one walk of the list costs no more.
  std::size_t const most = std::max<std::size_t>(64, records_.size() / 8);
  // The records of the list whose bytes changed: a range is looked up
  // address by address when that is shorter than the list, else the list
  // is looked over once for all the long ranges.
  std::unordered_set<word_t> touched;
  std::vector<std::pair<word_t, word_t>> long_ranges;
  for (auto const& [at, n] : changed) {
    if (n <= 0) continue;
    constexpr word_t top = std::numeric_limits<word_t>::max();
    word_t const lo = at < record ? 0 : at - record + 1;
    word_t const hi = at < 0 || n > top - at ? top : at + n;
    if (static_cast<std::size_t>(hi - lo) > records_.size()) {
      long_ranges.emplace_back(lo, hi);
      continue;
    }
    for (word_t own = std::max(lo, alloc_heads_end); own < hi; ++own) {
      if (records_.contains(own)) touched.insert(own);
    }
  }
  if (!long_ranges.empty()) {
    records_.for_each([&](word_t own, entry const&) {
      for (auto const& [lo, hi] : long_ranges) {
        if (own >= lo && own < hi) touched.insert(own);
      }
    });
  }
  word_t const head = s_.read_word(free_list_head);
  if (touched.empty() && head == head_) return true;
  if (touched.size() > most) {
    drop();
    return false;
  }

  // The records whose bytes are read again (the touched ones and those new
  // to the list), as the file has them now; valid is false for one that is
  // not a sound record.
  struct fresh_record {
    d_alloc_node r;
    bool valid;
  };
  std::unordered_map<word_t, fresh_record> fresh;
  auto const read_fresh = [&](word_t own) -> fresh_record& {
    fresh_record f{};
    f.valid = d_alloc_node::try_read(s_, own, f.r);
    ++records_read_;
    return fresh.emplace(own, f).first->second;
  };
  for (word_t own : touched) read_fresh(own);
  auto const old_next = [&](word_t own) { return records_.at(own).next; };
  auto const untouched = [&](word_t own) {
    return own != no_address && records_.contains(own) && !touched.count(own);
  };

  // Which records are in the list now: the fresh ones reached from the head
  // or from a record in it, and the untouched ones, unless the link that
  // led to a run of them went elsewhere. Those two depend on each other:
  // starting with every untouched record in, they are worked out in turn
  // until neither changes. Records new to the list are read when a record
  // in it is found to point at them.
  std::unordered_set<word_t> members;  // fresh records in the list
  std::unordered_set<word_t> gone;     // untouched records out of it
  bool too_many = false;
  for (std::size_t round = 0;; ++round) {
    members.clear();
    std::vector<word_t> queue;
    auto const reach = [&](word_t own) {
      if (own == no_address || untouched(own) || members.count(own)) return;
      auto it = fresh.find(own);
      if (it == fresh.end()) {
        if (fresh.size() > 2 * most) {
          too_many = true;
          return;
        }
        read_fresh(own);
        it = fresh.find(own);
      }
      if (!it->second.valid) return;
      members.insert(own);
      queue.push_back(own);
    };
    reach(head);
    for (word_t own : touched) {
      word_t const p = records_.at(own).prev;
      if (untouched(p) && !gone.count(p)) reach(own);
    }
    while (!queue.empty()) {
      word_t const own = queue.back();
      queue.pop_back();
      reach(fresh.at(own).r.next);
    }
    // The untouched records out of the list: a run whose first record lost
    // the link to it, up to a record something in the list points at.
    std::unordered_set<word_t> pointed{head};
    for (word_t own : members) pointed.insert(fresh.at(own).r.next);
    std::vector<word_t> starts;
    if (untouched(head_)) starts.push_back(head_);
    for (word_t own : touched) {
      if (untouched(old_next(own))) starts.push_back(old_next(own));
    }
    std::unordered_set<word_t> now_gone;
    for (word_t at : starts) {
      while (untouched(at) && !pointed.count(at) && now_gone.size() <= most) {
        if (!now_gone.insert(at).second) break;
        at = old_next(at);
      }
    }
    if (too_many || now_gone.size() > most || round > most) {
      drop();
      return false;
    }
    if (now_gone == gone) break;
    gone = std::move(now_gone);
  }

  // Every record in the list has exactly one link to it, from the head or
  // from a record in the list, and links only to a record in the list.
  auto const in_list = [&](word_t own) {
    return members.count(own) || (untouched(own) && !gone.count(own));
  };
  std::unordered_map<word_t, int> links_to;
  auto const link_to = [&](word_t target) {
    if (target == no_address) return true;
    if (!in_list(target)) return false;
    return ++links_to[target] == 1;
  };
  bool sound = link_to(head);
  for (word_t own : members) {
    word_t const target = fresh.at(own).r.next;
    sound = sound && link_to(target);
    // An untouched record linked to by a fresh one must have lost the link
    // it had from the record before it.
    if (untouched(target)) {
      word_t const p = records_.at(target).prev;
      sound = sound && (p == no_address ? target == head_ : !untouched(p) || gone.count(p) > 0);
    }
  }
  for (word_t own : members) {
    if (!records_.contains(own)) continue;
    word_t const p = records_.at(own).prev;
    if (untouched(p) && !gone.count(p)) sound = sound && ++links_to[own] == 1;
  }
  if (!sound) {
    drop();
    return false;
  }

  // The tables take the changes in: what left goes, what changed is taken
  // out of them before anything is entered (a block may have moved to bytes
  // another described), then the new contents and the links.
  auto const leave = [&](word_t own) {
    forget(own, records_.at(own));
    records_.erase(own);
  };
  for (word_t own : gone) leave(own);
  for (word_t own : touched) {
    if (members.count(own)) {
      forget(own, records_.at(own));
    } else {
      leave(own);
    }
  }
  for (word_t own : members) {
    d_alloc_node const& r = fresh.at(own).r;
    entry e{no_address, r.next, r.data, r.size, kind_of(r)};
    if (entry* const was = records_.find(own)) {
      e.prev = was->prev;
      index(own, e);
      *was = e;
    } else {
      add(own, e);
    }
  }
  for (word_t own : members) {
    word_t const target = fresh.at(own).r.next;
    if (target != no_address) records_.at(target).prev = own;
  }
  if (head != no_address) records_.at(head).prev = no_address;
  head_ = head;
  built_at_depth_ = marks_.size();
  return true;
}

void free_index::drop() {
  built_ = false;
  log_.clear();
  std::fill(marks_.begin(), marks_.end(), std::size_t{0});
}

void free_index::begin_scope() {
  marks_.push_back(log_.size());
}

void free_index::commit_scope() {
  if (marks_.empty()) return;
  marks_.pop_back();
  built_at_depth_ = std::min(built_at_depth_, marks_.size());
  // The outermost scope's changes are for good: nothing can take them back.
  if (marks_.empty()) log_.clear();
}

void free_index::rollback_scope() {
  if (marks_.empty()) return drop();
  std::size_t const depth = marks_.size();
  std::size_t const mark = marks_.back();
  marks_.pop_back();
  if (!built_) return;
  if (depth <= built_at_depth_) return drop();
  // Newest first, so that each entry finds its neighbours as they were. (An
  // undone push logs its removal past the end, which the resize drops.)
  for (std::size_t i = log_.size(); i-- > mark;) {
    logged_change const c = log_[i];
    if (c.what == logged_change::kind::pushed) {
      remove(c.own);
    } else if (c.what == logged_change::kind::removed) {
      put_back(c.own, c.was);
    } else {
      entry* const e = records_.find(c.own);
      forget(c.own, *e);
      e->data = c.was.data;
      e->size = c.was.size;
      e->what = c.was.what;
      index(c.own, *e);
    }
  }
  log_.resize(mark);
}

void free_index::log_change(logged_change::kind what, word_t own, entry const& was) {
  if (!marks_.empty()) log_.push_back({what, own, was});
}

void free_index::put_back(word_t own, entry const& e) {
  entry restored = e;
  index(own, restored);
  records_.emplace(own, restored);
  if (e.prev != no_address) records_.at(e.prev).next = own;
  if (e.next != no_address) records_.at(e.next).prev = own;
  if (e.prev == no_address) head_ = own;
}

free_index::entry::kind free_index::kind_of(d_alloc_node const& r) {
  if (r.empty() || r.size == 0) return entry::kind::spare;
  return r.free ? entry::kind::block : entry::kind::other;
}

void free_index::add(word_t own, entry e) {
  index(own, e);
  records_.emplace(own, e);
}

void free_index::index(word_t own, entry& e) {
  if (e.what == entry::kind::block) {
    // Two blocks of one start or end: a damaged list; neither is handed out
    // twice.
    if (!by_start_.emplace(e.data, own).second) {
      e.what = entry::kind::other;
      return;
    }
    if (!by_end_.emplace(e.data + e.size, own).second) {
      by_start_.erase(e.data);
      e.what = entry::kind::other;
      return;
    }
    by_size_.emplace(e.size, e.data);
  } else if (e.what == entry::kind::spare) {
    spares_.insert(own);
  }
}

void free_index::forget(word_t own, entry const& e) {
  if (e.what == entry::kind::block) {
    by_start_.erase(e.data);
    by_end_.erase(e.data + e.size);
    by_size_.erase({e.size, e.data});
  } else if (e.what == entry::kind::spare) {
    spares_.erase(own);
  }
}

word_t free_index::link_before(word_t own) const {
  entry const* const e = records_.find(own);
  return e && e->prev != no_address ? e->prev : free_list_head;
}

word_t free_index::best_fit(word_t size) const {
  auto it = by_size_.lower_bound({size, no_address});
  if (it == by_size_.end()) return no_address;
  word_t const rest = it->first - size;
  if (rest > 0 && rest < min_rest) {
    auto const roomy = by_size_.lower_bound({size + min_rest, no_address});
    if (roomy != by_size_.end()) it = roomy;
  }
  return *by_start_.find(it->second);
}

word_t free_index::block_at(word_t data) const {
  word_t const* const own = by_start_.find(data);
  return own ? *own : no_address;
}

word_t free_index::block_ending_at(word_t end) const {
  word_t const* const own = by_end_.find(end);
  return own ? *own : no_address;
}

bool free_index::is_spare(word_t own) const {
  entry const* const e = records_.find(own);
  return e && e->what == entry::kind::spare;
}

void free_index::push_front(d_alloc_node const& r) {
  if (!built_) return;  // read from the list when it is built
  if (head_ != no_address) records_.at(head_).prev = r.own;
  add(r.own, entry{no_address, head_, r.data, r.size, kind_of(r)});
  head_ = r.own;
  log_change(logged_change::kind::pushed, r.own, entry{});
}

void free_index::remove(word_t own) {
  if (!built_) return;
  entry const* const found = records_.find(own);
  if (!found) return;
  entry const e = *found;
  log_change(logged_change::kind::removed, own, e);
  forget(own, e);
  if (e.prev != no_address) records_.at(e.prev).next = e.next;
  if (e.next != no_address) records_.at(e.next).prev = e.prev;
  if (head_ == own) head_ = e.next;
  records_.erase(own);
}

void free_index::rewrite(d_alloc_node const& r) {
  if (!built_) return;
  entry* const e = records_.find(r.own);
  if (!e) return;
  log_change(logged_change::kind::rewritten, r.own, *e);
  if (e->what == entry::kind::block && kind_of(r) == entry::kind::block &&
      r.data + r.size == e->data + e->size && !by_start_.contains(r.data)) {
    // A block split from its start (what stays free when its first bytes are
    // handed out) keeps its end; its size entry is moved, not made anew.
    by_start_.erase(e->data);
    by_start_.emplace(r.data, r.own);
    auto node = by_size_.extract({e->size, e->data});
    node.value() = {r.size, r.data};
    by_size_.insert(std::move(node));
    e->data = r.data;
    e->size = r.size;
    return;
  }
  forget(r.own, *e);
  e->data = r.data;
  e->size = r.size;
  e->what = kind_of(r);
  index(r.own, *e);
}

}  // namespace disk_tools
