#include "alloc_index.h"

#include <algorithm>

namespace disk_tools {

alloc_index::alloc_index(io_tools::bfstream& s) {
  word_t const max_walk = s.size() / static_cast<word_t>(d_alloc_node::record_size) + 1;

  // The lists are counted first so that each table is sized once: a table
  // that grows rehashes every entry it holds, and the mirror is built anew
  // by every process that opens the database.
  auto const length = [&s, max_walk](word_t head_word) {
    std::size_t n = 0;
    // A link is checked against the file before the place of its next word is
    // computed from it.
    for (word_t at = s.read_word(head_word); at != no_address;
         at = s.read_word(at + static_cast<word_t>(d_alloc_node::next_offset))) {
      if (static_cast<word_t>(++n) > max_walk || at < alloc_heads_end || at > s.size()) {
        throw io_tools::corrupt_file_message;
      }
    }
    return n;
  };
  std::size_t const in_use = length(alloc_list_head);
  used_.reserve(in_use);
  used_by_data_.reserve(in_use);

  word_t at = s.read_word(alloc_list_head);
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk || used_.contains(at)) throw io_tools::corrupt_file_message;
    d_alloc_node const r = d_alloc_node::read(s, at);
    used_entry* const tail = used_.find(used_tail_);
    if (tail && tail->size > r.size) ordered_ = false;
    // Records of one size follow each other in an ordered list, so only the
    // first of a run can be the first of its size; emplace keeps an earlier
    // one in a list out of order.
    if (!tail || tail->size != r.size) {
      used_first_of_size_.emplace_hint(used_first_of_size_.end(), r.size, r.own);
    }
    if (tail) tail->next = r.own;
    used_.emplace(r.own, used_entry{used_tail_, no_address, r.size, r.data});
    if (used_head_ == no_address) used_head_ = r.own;
    used_tail_ = r.own;
    if (!r.empty()) used_by_data_.emplace(r.data, r.own);
    at = r.next;
  }

  std::vector<d_alloc_node> free_records;
  std::size_t const free_count = length(free_list_head);
  free_records.reserve(free_count);
  free_.reserve(free_count);
  at = s.read_word(free_list_head);
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > max_walk || free_.contains(at)) throw io_tools::corrupt_file_message;
    free_records.push_back(d_alloc_node::read(s, at));
    free_[at] = free_entry{no_address, no_address, 0};
    at = free_records.back().next;
  }
  // Positions descend along the list: the tail takes 0, the head the highest.
  tree_rebuild(free_records.size());
  for (auto it = free_records.rbegin(); it != free_records.rend(); ++it) free_push_front(*it);
}

word_t alloc_index::used_record_at(word_t data) const {
  word_t const* own = used_by_data_.find(data);
  return own ? *own : no_address;
}

word_t alloc_index::used_prev(word_t own) const {
  word_t const prev = used_.at(own).prev;
  return prev == no_address ? alloc_list_head : prev;
}

word_t alloc_index::used_insert_before(word_t size) const {
  auto it = used_first_of_size_.lower_bound(size);
  return it == used_first_of_size_.end() ? no_address : it->second;
}

void alloc_index::used_insert(d_alloc_node const& record) {
  word_t const before = used_insert_before(record.size);
  used_entry e{no_address, before, record.size, record.data};
  if (before == no_address) {
    e.prev = used_tail_;
    if (used_tail_ != no_address) used_[used_tail_].next = record.own;
    used_tail_ = record.own;
  } else {
    word_t const before_prev = used_.at(before).prev;
    e.prev = before_prev;
    if (before_prev != no_address) used_.at(before_prev).next = record.own;
    used_.at(before).prev = record.own;
  }
  if (e.prev == no_address) used_head_ = record.own;
  used_[record.own] = e;
  if (!record.empty()) used_by_data_.emplace(record.data, record.own);
  // It goes before every record of its size, so it is now the first of them.
  used_first_of_size_[record.size] = record.own;
}

void alloc_index::used_remove(word_t own) {
  used_entry const* const found = used_.find(own);
  if (!found) return;
  used_entry const e = *found;
  if (e.prev != no_address) used_[e.prev].next = e.next;
  if (e.next != no_address) used_[e.next].prev = e.prev;
  if (used_head_ == own) used_head_ = e.next;
  if (used_tail_ == own) used_tail_ = e.prev;
  auto first = used_first_of_size_.find(e.size);
  if (first != used_first_of_size_.end() && first->second == own) {
    if (e.next != no_address && used_.at(e.next).size == e.size) {
      first->second = e.next;
    } else {
      used_first_of_size_.erase(first);
    }
  }
  word_t const* const by_data = used_by_data_.find(e.data);
  if (by_data && *by_data == own) used_by_data_.erase(e.data);
  used_.erase(own);
}

word_t alloc_index::free_first_fit(word_t size) const {
  if (capacity_ == 0 || tree_[1] < size) return no_address;
  // The rightmost leaf of value >= size is the first fit in list order.
  std::size_t node = 1;
  while (node < capacity_) node = tree_[2 * node + 1] >= size ? 2 * node + 1 : 2 * node;
  return own_at_[node - capacity_];
}

word_t alloc_index::free_prev(word_t own) const {
  word_t const prev = free_.at(own).prev;
  return prev == no_address ? free_list_head : prev;
}

void alloc_index::free_push_front(d_alloc_node const& record) {
  if (next_position_ >= capacity_) tree_rebuild(free_.size() + 1);
  std::size_t const position = next_position_++;
  free_[record.own] = free_entry{no_address, free_head_, position};
  if (free_head_ != no_address) free_[free_head_].prev = record.own;
  free_head_ = record.own;
  own_at_[position] = record.own;
  tree_set(position, fit_value(record));
}

void alloc_index::free_remove(word_t own) {
  free_entry const* const found = free_.find(own);
  if (!found) return;
  free_entry const e = *found;
  if (e.prev != no_address) free_[e.prev].next = e.next;
  if (e.next != no_address) free_[e.next].prev = e.prev;
  if (free_head_ == own) free_head_ = e.next;
  tree_set(e.position, -1);
  own_at_[e.position] = no_address;
  free_.erase(own);
}

void alloc_index::free_update(d_alloc_node const& record) {
  if (free_entry const* e = free_.find(record.own)) tree_set(e->position, fit_value(record));
}

void alloc_index::tree_set(std::size_t position, word_t value) {
  std::size_t node = position + capacity_;
  tree_[node] = value;
  for (node /= 2; node >= 1; node /= 2) {
    tree_[node] = std::max(tree_[2 * node], tree_[2 * node + 1]);
  }
}

void alloc_index::tree_rebuild(std::size_t min_capacity) {
  // Renumber the records present, keeping their order, into a tree with room
  // to grow.
  std::vector<std::pair<word_t, word_t>> present;  // own, fit value; list tail first
  for (std::size_t p = 0; p < next_position_ && p < own_at_.size(); ++p) {
    if (own_at_[p] != no_address) present.emplace_back(own_at_[p], tree_[p + capacity_]);
  }
  std::size_t capacity = 1024;
  while (capacity < 2 * std::max(min_capacity, present.size())) capacity *= 2;
  capacity_ = capacity;
  tree_.assign(2 * capacity_, -1);
  own_at_.assign(capacity_, no_address);
  next_position_ = 0;
  for (auto const& [own, value] : present) {
    std::size_t const position = next_position_++;
    own_at_[position] = own;
    free_[own].position = position;
    tree_[position + capacity_] = value;
  }
  for (std::size_t node = capacity_ - 1; node >= 1; --node) {
    tree_[node] = std::max(tree_[2 * node], tree_[2 * node + 1]);
  }
}

}  // namespace disk_tools
