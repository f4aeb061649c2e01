// A node of the ordered map: up to 64 pairs sorted by key, with links to its
// left and right children, its parent and the node made just before it. The
// object is a cache of its record (map_records.h): load reads the record,
// store writes it back, each in one transfer.
//
// The four shifts are tree rotations carried out on the file. Pairs never move
// between nodes in a shift, only links change, so the in-order sequence of
// keys stays the same.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <list>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/d_pair.h"
#include "disk_tools/detail/map_records.h"

namespace disk_tools {

// The pair slots of a node object. A map that writes whole records keeps all
// of them in the object: a store writes the slots past the count too, from
// whatever the object holds there. One that writes only the used slots keeps
// them in a block sized to fit, grown as pairs come: a new leaf holds one
// pair, and a random fill leaves most nodes half full, so full-size arrays
// took twice the memory, every byte of it zeroed and most of it first
// touched (a page fault each 4 KiB) when the leaf was made.
template <class P, std::size_t N, bool Fitted>
class map_node_slots {
 public:
  P& operator[](std::size_t i) { return slots_[i]; }
  P const& operator[](std::size_t i) const { return slots_[i]; }
  P* begin() { return slots_.data(); }
  P const* begin() const { return slots_.data(); }
  // Makes room for n slots; the full array always has it.
  void fit(std::size_t) {}

 private:
  std::array<P, N> slots_{};
};

template <class P, std::size_t N>
class map_node_slots<P, N, true> {
 public:
  map_node_slots() : slots_(new P[smallest]), capacity_(smallest) {}
  // A copy holds the same slots, those past any count included.
  map_node_slots(map_node_slots const& other) : map_node_slots() { *this = other; }
  map_node_slots& operator=(map_node_slots const& other) {
    if (this != &other) {
      if (capacity_ != other.capacity_) {
        slots_.reset(new P[other.capacity_]);
        capacity_ = other.capacity_;
      }
      std::copy(other.begin(), other.begin() + capacity_, begin());
    }
    return *this;
  }

  P& operator[](std::size_t i) { return slots_[i]; }
  P const& operator[](std::size_t i) const { return slots_[i]; }
  P* begin() { return slots_.get(); }
  P const* begin() const { return slots_.get(); }
  // Makes room for n slots (at most N). Growth keeps the slots already held,
  // and goes by half again so that a node filled one pair at a time is
  // copied a handful of times, not once a pair.
  void fit(std::size_t n) {
    if (n <= capacity_) return;
    std::size_t grown = std::max(n, capacity_ + capacity_ / 2);
    grown = std::min(N, (grown + 3) / 4 * 4);
    std::unique_ptr<P[]> more(new P[grown]);
    std::copy(begin(), begin() + capacity_, more.get());
    slots_ = std::move(more);
    capacity_ = grown;
  }
  std::size_t capacity() const { return capacity_; }

 private:
  // Never none: a node with no pairs still names a first slot.
  static constexpr std::size_t smallest = 4;
  std::unique_ptr<P[]> slots_;
  std::size_t capacity_;
};

// Copies of a node's first and last keys, which every step of a descent
// compares with: beside the count and links that step reads anyway, rather
// than in the slots, a cache miss further on. Kept where a key copies as
// bytes (the typed map's slots); the other maps read their slots.
template <class K, bool Kept>
struct map_node_edges {
  static constexpr bool kept = false;
};

template <class K>
struct map_node_edges<K, true> {
  static constexpr bool kept = true;
  K first_copy{};
  K last_copy{};
};

template <class K, class V>
class d_map_node
    : map_node_edges<K, map_node_layout<K, V>::writes_used_only &&
                            std::is_trivially_copyable<K>::value> {
  using edges = map_node_edges<K, map_node_layout<K, V>::writes_used_only &&
                                      std::is_trivially_copyable<K>::value>;

 public:
  using pair_type = d_pair<K, V>;
  using layout = map_node_layout<K, V>;
  using node_list_type = std::list<d_map_node*>;
  static constexpr int max_pairs = map_node_head::max_pairs;

  // Node objects made to fill this node's cached links are recorded in
  // node_list, whose owner frees them; with a null list this node keeps them
  // itself.
  explicit d_map_node(node_list_type* list = nullptr) : node_list(list) {}
  d_map_node(d_map_node const&) = delete;
  d_map_node& operator=(d_map_node const&) = delete;

  word_t address = no_address;
  word_t left = no_address;
  word_t right = no_address;
  word_t parent = no_address;
  word_t next = no_address;
  word_t count = 0;
  d_map_node* left_node = nullptr;
  d_map_node* right_node = nullptr;
  d_map_node* parent_node = nullptr;
  d_map_node* next_node = nullptr;
  node_list_type* node_list;
  // Set only while the map trims its objects: this one stays.
  bool kept = false;
  // The record whose slots past this object's count hold what the object
  // holds there (no_address: not known). A store leaves the whole record
  // equal to the object, so later stores of the same node may leave those
  // slots out: the record keeps the same bytes with less to encode and
  // less for the journal to compare. A load makes it unknown again, as it
  // reads only the used slots.
  mutable word_t tail_stored_at = no_address;
  // Whether the object is checked against other openings' commits one by
  // one (a map whose slots hold their values whole): the stream's overlay
  // count when it last agreed with its record (bfstream::unchanged_since).
  // Other maps read every object afresh after such commits.
  static constexpr bool checks_overlays =
      layout::writes_used_only && map_slot_is_whole<K>::value && map_slot_is_whole<V>::value;
  std::uint64_t verified = 0;
  bool current(io_tools::bfstream const& s) const {
    return !checks_overlays || verified == s.overlays();
  }
  // After the links: a descent reads the address, count and links of a
  // node and its first pair, which then share the object's first lines
  // (where the slots are fitted, the block's address does).
  map_node_slots<pair_type, max_pairs, layout::writes_used_only> pairs;
  // What an object may come to take in memory, its slots all used: the
  // bound on the objects a map keeps.
  static constexpr std::size_t full_size() {
    return sizeof(map_node_slots<pair_type, max_pairs, false>) +
           (sizeof(d_map_node) - sizeof(pairs));
  }

  // Writes the whole record at address; a node without an address writes
  // nothing.
  void store(io_tools::bfstream& s) const;
  // Writes what adding a pair at slot `first` changed: the head and the slots
  // from first to count, and where whole records are written the slots past
  // the count too. The slots before first must hold what the record does.
  void store_from(io_tools::bfstream& s, int first) const;
  // The same where only the count and the pairs changed: the count word
  // and the slots, the rest of the head being what the record holds.
  void store_count_from(io_tools::bfstream& s, int first) const;
  // What add_sorted at slot `at` changed, written as store_count_from(s, at)
  // writes it; where only used slots are written, the slots after at are
  // copied from the record's slots one before them rather than encoded
  // afresh, so the record must hold what the object held before the add.
  void store_added(io_tools::bfstream& s, int at) const;
  // What exchange_smallest changed (pair's slot went to placed), written as
  // store_slots(s, 0, placed + 1) writes it; the slots before placed are
  // copied from the record's slots one after them, as in store_added.
  void store_exchanged(io_tools::bfstream& s, int placed) const;
  // Writes the slots from first up to, not including, last and nothing else:
  // what a change that moved no link and kept the count touched. Where whole
  // records are written that holds only for a full node (no slots past the
  // count); other nodes of those maps store the whole record.
  void store_slots(io_tools::bfstream& s, int first, int last) const;
  // Writes what a rotation changes: the head, and for the maps that store
  // whole records the slots past the count, whose bytes the record gets from
  // whatever this object held there. The used slots are left alone, so they
  // must hold what the record does (the object was loaded or stored since it
  // last changed a pair).
  void store_links(io_tools::bfstream& s) const;
  // Drops the cached links, then reads the record at address (nothing when it
  // is -1). Slots from count on keep their previous contents.
  void load(io_tools::bfstream& s);
  // load() keeping the cached links, for an object that other openings'
  // commits changed: a descent takes a cached link only where the record
  // still links to that object's address, and checks the object in turn.
  void reread(io_tools::bfstream& s) {
    d_map_node* const links[] = {left_node, right_node, parent_node, next_node};
    load(s);
    left_node = links[0];
    right_node = links[1];
    parent_node = links[2];
    next_node = links[3];
  }

  // Nodes on the path that follows only left (or right) links from this
  // node's record, this node included.
  int get_left_count(io_tools::bfstream& s) const { return spine_count(s, &map_node_head::left); }
  int get_right_count(io_tools::bfstream& s) const { return spine_count(s, &map_node_head::right); }
  // The greatest key of the left subtree; a default key without a left child.
  K get_left_most_value(io_tools::bfstream& s) const { return edge_key(s, left, false); }
  // The least key of the right subtree; a default key without a right child.
  K get_right_most_value(io_tools::bfstream& s) const { return edge_key(s, right, true); }

  // Rotations of the subtree topped by this node. Afterwards this object
  // stands for the new top, and root (the map's root object) follows a
  // rotation at the root. The 4-shifts equal two single shifts at the top.
  void shift_left(io_tools::bfstream& s, d_map_node& root) {
    rotate(s, root, left_side, right_side);
  }
  void shift_right(io_tools::bfstream& s, d_map_node& root) {
    rotate(s, root, right_side, left_side);
  }
  void shift_left4(io_tools::bfstream& s, d_map_node& root) {
    rotate_twice(s, root, left_side, right_side);
  }
  void shift_right4(io_tools::bfstream& s, d_map_node& root) {
    rotate_twice(s, root, right_side, left_side);
  }

  // The node objects behind the links, loaded and cached on first use.
  // Every descent passes here once per level, nearly always to a cached
  // object, so that case is decided inline.
  d_map_node& left_child(io_tools::bfstream& s) {
    return left_node && left != no_address && left_node->address == left && left_node->current(s)
               ? *left_node
               : linked(left, left_node, s);
  }
  d_map_node& right_child(io_tools::bfstream& s) {
    return right_node && right != no_address && right_node->address == right &&
                   right_node->current(s)
               ? *right_node
               : linked(right, right_node, s);
  }

  K const& first_key() const {
    if constexpr (edges::kept) {
      return this->first_copy;
    } else {
      return pairs[0].key;
    }
  }
  K const& last_key() const {
    if constexpr (edges::kept) {
      return this->last_copy;
    } else {
      return pairs[static_cast<std::size_t>(count - 1)].key;
    }
  }
  // Takes the copies of the first and last keys afresh from the slots: after
  // every change of the used slots' keys or of the count made from outside
  // this object's own operations, which do it themselves.
  void note_edges() { note_edges_at(0, count - 1); }
  bool full() const { return count >= max_pairs; }

  // The slot holding key among the used ones, by binary search; -1 when absent.
  // Key is K or any type that compares with it both ways (a plain string).
  template <class Key>
  int find(Key const& key) const;
  // The first used slot whose key does not order before key; count when
  // there is none. Where key is, or where it goes when absent.
  template <class Key>
  int first_not_below(Key const& key) const;
  // Puts pair into its sorted place, which it returns; the node must have a
  // free slot.
  int add_sorted(pair_type const& pair) { return add_sorted_at(pair, slot_after(pair.key, 0)); }
  // The same where that place, pos, is known already (first_not_below of an
  // absent key).
  int add_sorted_at(pair_type const& pair, std::size_t pos);
  // Takes out the pair in the used slot `slot`; the later ones move down.
  void remove_at(int slot);
  // Takes out the smallest pair, puts pair into its sorted place and returns
  // the pair taken out; the node must be full. pair's slot goes to placed;
  // the slots after it keep what they held.
  pair_type exchange_smallest(pair_type const& pair, int& placed) {
    return exchange_smallest_at(pair, slot_after(pair.key, 1), placed);
  }
  // The same where pair's place among the pairs before it is taken out, pos,
  // is known already (first_not_below of an absent key above the first).
  pair_type exchange_smallest_at(pair_type const& pair, std::size_t pos, int& placed);
  pair_type exchange_smallest(pair_type const& pair) {
    int placed = 0;
    return exchange_smallest(pair, placed);
  }

  map_node_head head() const { return {left, right, parent, count, address, next}; }

  // Reads the record at address without a node object: its head, and its
  // pairs into pairs (count of them). Iterators keep nodes this way.
  static map_node_head read_pairs(io_tools::bfstream& s, word_t address,
                                  std::vector<pair_type>& pairs);

 private:
  struct side {
    word_t d_map_node::*link;
    d_map_node* d_map_node::*node;
    word_t map_node_head::*head_link;
  };
  static constexpr side left_side{&d_map_node::left, &d_map_node::left_node, &map_node_head::left};
  static constexpr side right_side{&d_map_node::right, &d_map_node::right_node,
                                   &map_node_head::right};

  d_map_node& linked(word_t link, d_map_node*& cached, io_tools::bfstream& s);
  // The first used slot from `from` on whose key orders after key; count
  // when there is none.
  std::size_t slot_after(K const& key, std::size_t from) const;
  // The nodes a rotation relinks other than this one keep their pairs, so
  // only their heads are read and written back: with the slots past the
  // count blank, as a node object loaded just for the rotation held them.
  static map_node_head read_head(io_tools::bfstream& s, word_t at) {
    return map_node_head::read(s, at, layout::record_size);
  }
  static void store_relinked(io_tools::bfstream& s, map_node_head const& h);
  // Writes slots [first, last) in one write: slot placed encoded from its
  // pair, the others the record's slots from `from` on (first + 1 when they
  // moved down, first when they moved up); false, having written nothing,
  // when the record's bytes cannot be read in place.
  bool write_shifted(io_tools::bfstream& s, int first, int last, int placed, int from) const;
  // Writes head h and the slots from first up to, not including, last, slot
  // i holding tail(i).
  template <class Tail>
  static void write_head_and_tail(io_tools::bfstream& s, map_node_head const& h, int first,
                                  int last, Tail tail);
  // Where the slots a store writes end: the count for the maps that write
  // only used slots, and for the others too when the record's slots past
  // the count already hold this object's; otherwise the last slot.
  int stored_end() const {
    bool const tail_known = !layout::writes_used_only && tail_stored_at == address;
    return layout::writes_used_only || tail_known ? static_cast<int>(count) : max_pairs;
  }
  // Where whole records are written, their slots past the count: all of them.
  static int relinked_end(map_node_head const& h) {
    return layout::writes_used_only ? static_cast<int>(h.count) : max_pairs;
  }
  // Checks the head of the record at address and returns the record's bytes
  // up to its last used slot, in place in the stream's image; the head goes
  // to h.
  static char const* read_record(io_tools::bfstream& s, word_t address, map_node_head& h);
  static void decode_slot(char const* buf, int index, pair_type& pair, io_tools::bfstream& s);
  int spine_count(io_tools::bfstream& s, word_t map_node_head::*link) const;
  K edge_key(io_tools::bfstream& s, word_t child, bool least) const;
  void rotate(io_tools::bfstream& s, d_map_node& root, side in, side out);
  void rotate_twice(io_tools::bfstream& s, d_map_node& root, side in, side out);
  void relink_parent(io_tools::bfstream& s, d_map_node& root, word_t new_top);
  void become(io_tools::bfstream& s, d_map_node& root, word_t new_top);

  // note_edges after a change that gave new keys only to the slots from
  // first_changed to last_changed, the others keeping theirs if maybe one
  // slot up or down: a copy is taken afresh only where its slot is among
  // them, so the last slot, a cache line of its own, is not read for each
  // pair a full node hands on.
  void note_edges_at(word_t first_changed, word_t last_changed) {
    if constexpr (edges::kept) {
      if (count <= 0) return;
      if (first_changed <= 0) this->first_copy = pairs[0].key;
      if (last_changed >= count - 1) {
        this->last_copy = pairs[static_cast<std::size_t>(count - 1)].key;
      }
    }
  }

  std::vector<std::unique_ptr<d_map_node>> own_links_;
};

template <class K, class V>
void d_map_node<K, V>::store(io_tools::bfstream& s) const {
  if (address == no_address) return;
  char buf[layout::record_size];
  head().encode(buf);
  int const slots = layout::writes_used_only ? static_cast<int>(count) : max_pairs;
  for (int i = 0; i < slots; ++i) {
    char* slot = buf + layout::slot_offset(i);
    auto const& p = pairs[static_cast<std::size_t>(i)];
    map_slot_field<K>::encode(slot, p.key);
    map_slot_field<V>::encode(slot + map_slot_field<K>::width, p.value);
  }
  s.write_at(address, buf, layout::slot_offset(slots));
  tail_stored_at = address;
}

template <class K, class V>
void d_map_node<K, V>::store_from(io_tools::bfstream& s, int first) const {
  write_head_and_tail(s, head(), first, stored_end(), [this](int i) -> pair_type const& {
    return pairs[static_cast<std::size_t>(i)];
  });
  tail_stored_at = address;
}

template <class K, class V>
void d_map_node<K, V>::store_count_from(io_tools::bfstream& s, int first) const {
  if (address == no_address) return;
  s.write_word(address + static_cast<word_t>(map_node_head::count_offset), count);
  int const last = stored_end();
  if (first < last) {
    char buf[layout::record_size];
    for (int i = first; i < last; ++i) {
      char* slot = buf + layout::slot_offset(i);
      auto const& p = pairs[static_cast<std::size_t>(i)];
      map_slot_field<K>::encode(slot, p.key);
      map_slot_field<V>::encode(slot + map_slot_field<K>::width, p.value);
    }
    std::size_t const from = layout::slot_offset(first);
    s.write_at(address + static_cast<word_t>(from), buf + from, layout::slot_offset(last) - from);
  }
  tail_stored_at = address;
}

template <class K, class V>
void d_map_node<K, V>::store_slots(io_tools::bfstream& s, int first, int last) const {
  if ((!layout::writes_used_only && count < max_pairs) || address == no_address) return store(s);
  char buf[layout::record_size];
  for (int i = first; i < last; ++i) {
    char* slot = buf + layout::slot_offset(i);
    auto const& p = pairs[static_cast<std::size_t>(i)];
    map_slot_field<K>::encode(slot, p.key);
    map_slot_field<V>::encode(slot + map_slot_field<K>::width, p.value);
  }
  std::size_t const from = layout::slot_offset(first);
  s.write_at(address + static_cast<word_t>(from), buf + from, layout::slot_offset(last) - from);
}

template <class K, class V>
bool d_map_node<K, V>::write_shifted(io_tools::bfstream& s, int first, int last, int placed,
                                     int from) const {
  // The moved slots keep their bytes: a shift of the record's own, in place,
  // the new pair the only slot encoded. One write, so the journal saves the
  // span once, as it did when every slot was encoded.
  std::size_t const begin = layout::slot_offset(first);
  std::size_t const span = layout::slot_offset(last) - begin;
  if (!s.view(address + static_cast<word_t>(begin), span)) return false;
  std::size_t const moved = span - layout::slot_width;
  std::size_t const source = layout::slot_offset(from) - begin;
  std::size_t const into = from > first ? 0 : layout::slot_width;
  std::size_t const slot = layout::slot_offset(placed) - begin;
  auto const& p = pairs[static_cast<std::size_t>(placed)];
  s.rewrite_at(address + static_cast<word_t>(begin), span, [&](char* bytes) {
    std::memmove(bytes + into, bytes + source, moved);
    map_slot_field<K>::encode(bytes + slot, p.key);
    map_slot_field<V>::encode(bytes + slot + map_slot_field<K>::width, p.value);
  });
  return true;
}

template <class K, class V>
void d_map_node<K, V>::store_added(io_tools::bfstream& s, int at) const {
  int const last = static_cast<int>(count);
  if (!layout::writes_used_only || address == no_address || last - at < 2) {
    return store_count_from(s, at);
  }
  s.write_word(address + static_cast<word_t>(map_node_head::count_offset), count);
  if (!write_shifted(s, at, last, at, at)) return store_count_from(s, at);
  tail_stored_at = address;
}

template <class K, class V>
void d_map_node<K, V>::store_exchanged(io_tools::bfstream& s, int placed) const {
  if (!layout::writes_used_only || address == no_address || placed < 1 ||
      !write_shifted(s, 0, placed + 1, placed, 1)) {
    store_slots(s, 0, placed + 1);
  }
}

template <class K, class V>
template <class Tail>
void d_map_node<K, V>::write_head_and_tail(io_tools::bfstream& s, map_node_head const& h,
                                           int first, int last, Tail tail) {
  if (h.address == no_address) return;
  char buf[layout::record_size];
  h.encode(buf);
  s.write_at(h.address, buf, map_node_head::head_size);
  if (first >= last) return;
  // Two writes rather than one: the journal saves the bytes from the first
  // change to the last of each write, and the slots between the head and
  // first stay the same.
  for (int i = first; i < last; ++i) {
    char* slot = buf + layout::slot_offset(i);
    pair_type const& p = tail(i);
    map_slot_field<K>::encode(slot, p.key);
    map_slot_field<V>::encode(slot + map_slot_field<K>::width, p.value);
  }
  std::size_t const from = layout::slot_offset(first);
  s.write_at(h.address + static_cast<word_t>(from), buf + from, layout::slot_offset(last) - from);
}

template <class K, class V>
void d_map_node<K, V>::store_links(io_tools::bfstream& s) const {
  write_head_and_tail(s, head(), static_cast<int>(count), stored_end(),
                      [this](int i) -> pair_type const& {
                        return pairs[static_cast<std::size_t>(i)];
                      });
  tail_stored_at = address;
}

template <class K, class V>
void d_map_node<K, V>::store_relinked(io_tools::bfstream& s, map_node_head const& h) {
  pair_type const blank{};
  write_head_and_tail(s, h, static_cast<int>(h.count), relinked_end(h),
                      [&blank](int) -> pair_type const& { return blank; });
}

template <class K, class V>
char const* d_map_node<K, V>::read_record(io_tools::bfstream& s, word_t address,
                                          map_node_head& h) {
  if (!map_node_head::plausible_link(address, s.size(), layout::record_size) ||
      address == no_address) {
    throw io_tools::corrupt_file(s);
  }
  // The head first: only the slots it counts are decoded, so only those need
  // to lie in the file. They are decoded where they lie, not copied first.
  char const* head = s.view(address, map_node_head::head_size);
  if (!head) throw io_tools::corrupt_file(s);
  h = map_node_head::decode(head);
  h.check(address, s.size(), layout::record_size);
  char const* record = s.view(address, layout::slot_offset(static_cast<int>(h.count)));
  if (!record) throw io_tools::corrupt_file(s);
  return record;
}

template <class K, class V>
void d_map_node<K, V>::decode_slot(char const* buf, int index, pair_type& pair,
                                   io_tools::bfstream& s) {
  char const* slot = buf + layout::slot_offset(index);
  map_slot_field<K>::decode(slot, pair.key, s);
  map_slot_field<V>::decode(slot + map_slot_field<K>::width, pair.value, s);
}

template <class K, class V>
void d_map_node<K, V>::load(io_tools::bfstream& s) {
  left_node = right_node = parent_node = next_node = nullptr;
  tail_stored_at = no_address;
  verified = s.overlays();
  if (address == no_address) return;
  map_node_head h;
  char const* const buf = read_record(s, address, h);
  left = h.left;
  right = h.right;
  parent = h.parent;
  count = h.count;
  next = h.next;
  pairs.fit(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) decode_slot(buf, i, pairs[static_cast<std::size_t>(i)], s);
  note_edges();
}

template <class K, class V>
map_node_head d_map_node<K, V>::read_pairs(io_tools::bfstream& s, word_t address,
                                           std::vector<pair_type>& pairs) {
  map_node_head h;
  char const* const buf = read_record(s, address, h);
  pairs.resize(static_cast<std::size_t>(h.count));
  for (int i = 0; i < h.count; ++i) decode_slot(buf, i, pairs[static_cast<std::size_t>(i)], s);
  return h;
}

template <class K, class V>
template <class Key>
int d_map_node<K, V>::find(Key const& key) const {
  word_t lo = 0, hi = count - 1;
  while (lo <= hi) {
    word_t const mid = lo + (hi - lo) / 2;
    int const order = key_order(pairs[static_cast<std::size_t>(mid)].key, key);
    if (order < 0) {
      lo = mid + 1;
    } else if (order > 0) {
      hi = mid - 1;
    } else {
      return static_cast<int>(mid);
    }
  }
  return -1;
}

template <class K, class V>
std::size_t d_map_node<K, V>::slot_after(K const& key, std::size_t from) const {
  // The slots are sorted, so a binary search finds the place the old
  // backwards walk stopped at, with a handful of comparisons instead of one
  // per slot moved.
  auto const first = pairs.begin();
  return static_cast<std::size_t>(
      std::upper_bound(first + static_cast<std::ptrdiff_t>(from), first + count, key,
                       [](K const& k, pair_type const& p) { return k < p.key; }) -
      first);
}

template <class K, class V>
template <class Key>
int d_map_node<K, V>::first_not_below(Key const& key) const {
  auto const first = pairs.begin();
  return static_cast<int>(
      std::partition_point(first, first + count,
                           [&](pair_type const& p) { return key_order(p.key, key) < 0; }) -
      first);
}

template <class K, class V>
int d_map_node<K, V>::add_sorted_at(pair_type const& pair, std::size_t pos) {
  pairs.fit(static_cast<std::size_t>(count) + 1);
  auto const first = pairs.begin();
  std::move_backward(first + static_cast<std::ptrdiff_t>(pos), first + count, first + count + 1);
  pairs[pos] = pair;
  ++count;
  note_edges_at(static_cast<word_t>(pos), static_cast<word_t>(pos));
  return static_cast<int>(pos);
}

template <class K, class V>
void d_map_node<K, V>::remove_at(int slot) {
  // The slot that leaves the used ones keeps a pair the record may not hold
  // there once it is stored.
  tail_stored_at = no_address;
  for (auto i = static_cast<std::size_t>(slot) + 1; i < static_cast<std::size_t>(count); ++i) {
    pairs[i - 1] = pairs[i];
  }
  --count;
  note_edges_at(slot, slot);
}

template <class K, class V>
typename d_map_node<K, V>::pair_type d_map_node<K, V>::exchange_smallest_at(pair_type const& pair,
                                                                           std::size_t pos,
                                                                           int& placed) {
  // Only the pairs below pair's place move down: the slots above it keep
  // theirs, and so does the record there.
  pair_type smallest = pairs[0];
  auto const first = pairs.begin();
  std::move(first + 1, first + static_cast<std::ptrdiff_t>(pos), first);
  pairs[pos - 1] = pair;
  placed = static_cast<int>(pos - 1);
  note_edges_at(0, placed);
  return smallest;
}

template <class K, class V>
d_map_node<K, V>& d_map_node<K, V>::linked(word_t link, d_map_node*& cached,
                                           io_tools::bfstream& s) {
  // A link the caller expects to exist but which the file does not have means
  // the records disagree with each other.
  if (link == no_address) throw io_tools::corrupt_file(s);
  if (cached && cached->address == link) {
    // Other openings' commits were followed since the object was checked:
    // its record is read again only when they changed it.
    if (!cached->current(s)) {
      if (s.unchanged_since(cached->verified, link, static_cast<word_t>(layout::record_size))) {
        cached->verified = s.overlays();
      } else {
        cached->reread(s);
      }
    }
    return *cached;
  }
  auto made = std::make_unique<d_map_node>(node_list);
  made->address = link;
  made->load(s);
  d_map_node* const n = made.get();
  if (node_list) {
    node_list->push_back(n);
    made.release();
  } else {
    own_links_.push_back(std::move(made));
  }
  cached = n;
  return *n;
}

template <class K, class V>
int d_map_node<K, V>::spine_count(io_tools::bfstream& s, word_t map_node_head::*link) const {
  word_t const limit = layout::max_nodes(s.size());
  map_node_head const start =
      address == no_address ? head() : map_node_head::read(s, address, layout::record_size);
  int n = 1;
  for (word_t at = start.*link; at != no_address;
       at = map_node_head::read(s, at, layout::record_size).*link) {
    if (++n > limit) throw io_tools::corrupt_file(s);
  }
  return n;
}

template <class K, class V>
K d_map_node<K, V>::edge_key(io_tools::bfstream& s, word_t child, bool least) const {
  if (child == no_address) return K{};
  // Towards this node's range: the left subtree's rightmost node, or the right
  // subtree's leftmost one.
  word_t map_node_head::*inward = least ? &map_node_head::left : &map_node_head::right;
  word_t const limit = layout::max_nodes(s.size());
  word_t at = child;
  for (word_t steps = 0;; ++steps) {
    if (steps > limit) throw io_tools::corrupt_file(s);
    word_t const further = map_node_head::read(s, at, layout::record_size).*inward;
    if (further == no_address) break;
    at = further;
  }
  d_map_node edge;
  edge.address = at;
  edge.load(s);
  // Only the root of an empty map holds no pairs.
  if (edge.count == 0) throw io_tools::corrupt_file(s);
  return least ? edge.first_key() : edge.last_key();
}

template <class K, class V>
void d_map_node<K, V>::relink_parent(io_tools::bfstream& s, d_map_node& root, word_t new_top) {
  if (parent == no_address) return;
  map_node_head p = read_head(s, parent);
  if (p.left == address) {
    p.left = new_top;
  } else if (p.right == address) {
    p.right = new_top;
  } else {
    throw io_tools::corrupt_file(s);  // the parent does not know this node
  }
  store_relinked(s, p);
  if (p.address == root.address) root.load(s);
}

template <class K, class V>
void d_map_node<K, V>::become(io_tools::bfstream& s, d_map_node& root, word_t new_top) {
  if (address == root.address) {
    root.address = new_top;
    root.load(s);
  }
  address = new_top;
  load(s);
}

// X = this, C = its child on the `in` side. C becomes the top; C's subtree on
// the `out` side moves under X.
template <class K, class V>
void d_map_node<K, V>::rotate(io_tools::bfstream& s, d_map_node& root, side in, side out) {
  map_node_head c = read_head(s, this->*in.link);
  std::optional<map_node_head> moved;
  if (c.*out.head_link != no_address) moved = read_head(s, c.*out.head_link);
  word_t const top = c.address;
  relink_parent(s, root, top);

  c.parent = parent;
  parent = top;
  this->*in.link = c.*out.head_link;
  this->*in.node = nullptr;
  c.*out.head_link = address;
  if (moved) moved->parent = address;

  store_links(s);
  store_relinked(s, c);
  if (moved) store_relinked(s, *moved);
  become(s, root, top);
}

// X = this, C = its child on the `in` side, G = C's child on that side. G
// becomes the top with C then X below it on the `out` side; G's and C's
// subtrees on the `out` side move under C and X.
template <class K, class V>
void d_map_node<K, V>::rotate_twice(io_tools::bfstream& s, d_map_node& root, side in, side out) {
  map_node_head c = read_head(s, this->*in.link);
  map_node_head g = read_head(s, c.*in.head_link);
  std::optional<map_node_head> moved_to_c, moved_to_x;
  if (g.*out.head_link != no_address) moved_to_c = read_head(s, g.*out.head_link);
  if (c.*out.head_link != no_address) moved_to_x = read_head(s, c.*out.head_link);
  word_t const top = g.address;
  relink_parent(s, root, top);

  g.parent = parent;
  c.*in.head_link = g.*out.head_link;
  g.*out.head_link = c.address;
  c.parent = top;
  this->*in.link = c.*out.head_link;
  this->*in.node = nullptr;
  c.*out.head_link = address;
  parent = c.address;
  if (moved_to_c) moved_to_c->parent = c.address;
  if (moved_to_x) moved_to_x->parent = address;

  store_links(s);
  store_relinked(s, c);
  store_relinked(s, g);
  if (moved_to_c) store_relinked(s, *moved_to_c);
  if (moved_to_x) store_relinked(s, *moved_to_x);
  become(s, root, top);
}

}  // namespace disk_tools
