// The persistent ordered map: a named tree of nodes (d_map_node.h) of up to 64
// sorted pairs each, living in the database file and written through at once.
//
// A pair goes into the node whose key range, widened to the gaps next to its
// neighbours, holds its key while that node has room; a full node that bounds
// the key gives up its smallest pair, which goes to the end of the last node of
// its left subtree (or a new leaf there); a key beyond a full node with no
// child there starts a new leaf. Every second node that fills up triggers
// balance, a pass of rotations.
//
// erase takes the pair out of its node. A node left empty leaves the tree (a
// node with two children takes the pairs of the next node in key order, which
// leaves instead), so no path ever grows and no balance is needed. The node
// leaving is taken off the chain in constant time: the record after it on the
// chain moves into its place (or, at the chain's tail, the chain's head does)
// and the moved record's neighbours are re-aimed at its new address. The
// string map owns the blocks of the keys and values stored in it: erase gives
// both back, so a block must be stored in one pair only and not used once its
// pair is erased. put, update and the proxy leave a replaced value's block
// alone, as they always have.
//
// Every node record is also linked into the node chain from chain_head,
// newest first unless erase moved a record, so walking the chain visits every
// pair exactly once. Callers walk it with the spare node object, which the
// map's own operations never touch. In key order the map is walked with its
// iterators (begin, lower_bound, range), which hold a copy of one node each.
//
// The object keeps the nodes it descends through, the header's words and the
// tree's shape in memory. Any number of objects may name one map: an object
// whose map changed since its own last operation (through another object, or
// by a rollback: db_handle.h) drops all of that and reads the header and root
// afresh before its next operation.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstddef>
#include <exception>
#include <iterator>
#include <list>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/d_db.h"
#include "disk_tools/detail/d_map_node.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/d_ref.h"
#include "disk_tools/detail/factories.h"
#include "disk_tools/detail/map_records.h"
#include "disk_tools/detail/map_shape.h"

namespace disk_tools {

// The third parameter is the plain value type of the two maps the drivers use
// (d_map<unsigned, unsigned, unsigned> and d_map<d_ref<std::string>,
// d_ref<std::string>, std::string>); left out, it makes the typed map of
// d_typed_map.h.
struct typed_map_tag {};
template <class K, class V, class H = typed_map_tag>
class d_map;

// The value a key gets when operator[] adds it: a plain value is zero, a
// string gets a block of its own holding the empty string.
template <class V>
struct map_default_value {
  static V make(d_env*) { return V{}; }
};
template <>
struct map_default_value<d_ref<std::string>> {
  static d_ref<std::string> make(d_env* env) { return d_ref<std::string>(env); }
};

// The value a proxy stores when given another proxy's plain value: a string
// gets a block of its own, since a block is owned by one pair only.
template <class V, class H>
struct map_value_from {
  static V make(H const& value, d_env*) { return static_cast<V>(value); }
};
template <>
struct map_value_from<d_ref<std::string>, std::string> {
  static d_ref<std::string> make(std::string const& value, d_env* env) {
    return d_ref<std::string>(value, env);
  }
};

// The block that erase gives back with a key or value: a string's own block;
// a plain number has none.
template <class T>
struct map_owned_block {
  static word_t of(T const&) { return no_address; }
};
template <>
struct map_owned_block<d_ref<std::string>> {
  static word_t of(d_ref<std::string> const& ref) { return ref.address(); }
};

// Names one slot of one node record, as operator[] found it, and reads or
// replaces the value there. The slot is a position: a later insert into the
// same node re-sorts its slots, and an erase may move or free the record,
// after which the proxy may name another pair. Valid while its map lives.
template <class K, class V, class H>
class d_map_assign {
 public:
  d_map_assign() = default;
  d_map_assign(word_t node, word_t slot, io_tools::bfstream* s, d_map<K, V, H>* owner)
      : node_address(node), index(slot), stream(s), map(owner) {}
  d_map_assign(d_map_assign const&) = default;

  // The plain value of the slot.
  operator H() const;
  // Replaces the slot's value and writes the node back.
  d_map_assign& operator=(V const& value);
  // m[a] = m[b] stores b's value under a (a string in a block of its own);
  // the implicit copy would aim this proxy at b's slot and store nothing.
  d_map_assign& operator=(d_map_assign const& other);

  word_t node_address = no_address;
  word_t index = no_address;
  io_tools::bfstream* stream = nullptr;

 private:
  // Loads the named node, refusing a null proxy or a slot past its count.
  void load(d_map_node<K, V>& node) const;

  d_map<K, V, H>* map = nullptr;
};

// A position in the map's key order: a copy of the node record it stands on
// and a slot of it. Moving inside the node reads nothing; moving past its end
// follows the links to the next node in key order, reading only the heads of
// the nodes on the way, and copies that one. A change of the map through this
// opening may move pairs between slots and records, and free the blocks the
// copy names: the drivers' two maps' iterators then find their place again by
// the key they stand on, as a std::map iterator keeps it (the string map's
// iterator reads its key on arriving, so that the key outlives its block).
// The typed map's iterator (d_typed_map.h) does the same over this one. Every
// move and every look at the pair checks that the database is still open,
// that no other opening has committed since the copy was made ("iterator is
// stale..."; inside a read transaction nobody's commits are followed), that
// no rollback took back the changes it was copied amid, and that the map's
// root was not removed since the iterator was made.
template <class K, class V, class H>
class d_map_iterator {
 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = d_pair<K, V>;
  using difference_type = std::ptrdiff_t;
  using pointer = value_type const*;
  using reference = value_type const&;

  d_map_iterator() = default;

  reference operator*() const { return current(); }
  pointer operator->() const { return &current(); }
  d_map_iterator& operator++();
  d_map_iterator operator++(int) {
    d_map_iterator before = *this;
    ++*this;
    return before;
  }
  d_map_iterator& operator--();
  d_map_iterator operator--(int) {
    d_map_iterator before = *this;
    --*this;
    return before;
  }
  bool operator==(d_map_iterator const& other) const {
    if (follows_own_changes && node_ && other.node_ && (changed_under() || other.changed_under())) {
      K const& a = node_->pairs[static_cast<std::size_t>(slot_)].key;
      K const& b = other.node_->pairs[static_cast<std::size_t>(other.slot_)].key;
      return !(a < b) && !(b < a);
    }
    return at() == other.at() && slot_ == other.slot_;
  }
  bool operator!=(d_map_iterator const& other) const { return !(*this == other); }
  // An operation on the map for a caller that reads more of the file
  // through the pair (a typed map's long keys and values).
  db_operation operation() const { return link_.operation(); }
  bool at_end() const { return !node_; }
  // For an iterator that keeps the key it stands on in memory (the typed
  // map's): whether this opening changed the map since the node stood on was
  // copied, so that the copy may hold pairs moved since and name blocks
  // freed since; and the way back, by that key, to the file as it is now:
  // stands on the first pair whose key is not below key (above it, when
  // after), or at the end. Refused as any read of the copy is ("iterator is
  // stale..."), so that only this opening's own changes are found again.
  bool changed_under() const { return node_ && link_.changed_since(handle_, copied_.changes); }
  // Whether this is a position of the map whose handle slot is handle in the
  // database stream belongs to; a default one, of no map, cannot tell.
  bool of_map(io_tools::bfstream const* stream, word_t handle) const {
    return handle_ == no_address || (stream_ == stream && handle_ == handle);
  }
  void seek(K const& key, bool after);

 private:
  friend class d_map<K, V, H>;
  using layout = map_node_layout<K, V>;
  // The drivers' maps; the typed map's iterator keeps its own key.
  static constexpr bool follows_own_changes = !layout::writes_used_only;
  struct node_copy {
    map_node_head head;
    std::vector<value_type> pairs;
  };

  // The end of the map whose header is at header and handle slot at handle.
  d_map_iterator(d_database* db, io_tools::bfstream* s, word_t header, word_t handle)
      : link_(db), stream_(s), header_(header), handle_(handle) {}

  word_t at() const { return node_ ? node_->head.address : no_address; }
  // Throws when the map went since the iterator was made (its blocks may
  // serve another container by now), or when the database followed other
  // openings' commits since the iterator copied the node it stands on.
  void check_fresh() const {
    link_.require_not_gone(handle_);
    if (node_) link_.check_copy(handle_, copied_);
  }
  value_type const& current() const;
  // Reads the key arrived at, for the drivers' string map: its block goes
  // with an erase of the pair, and the key is how the iterator finds its
  // place again.
  void note_key() const {
    if constexpr (follows_own_changes && !std::is_arithmetic<K>::value) {
      if (node_) node_->pairs[static_cast<std::size_t>(slot_)].key.value();
    }
  }
  // Stands on the first (or last) pair of the node at address.
  void stand_on(word_t address, bool first);
  // Stands on slot of a node object the map holds.
  void stand_on(d_map_node<K, V> const& node, int slot);
  // The node at the far left (or right) end of the subtree at top.
  word_t edge_below(word_t top, bool leftmost) const;
  // The node after (or before) the one stood on in key order; -1 at the end.
  word_t neighbour(bool forward) const;
  map_node_head head_at(word_t address) const {
    return map_node_head::read(*stream_, address, layout::record_size);
  }

  db_handle link_;
  io_tools::bfstream* stream_ = nullptr;
  word_t header_ = no_address;
  word_t handle_ = no_address;
  // Mutable: reading the pair after a change finds its place again.
  mutable std::shared_ptr<node_copy const> node_;  // null at the end
  mutable int slot_ = 0;
  mutable db_handle::copy_stamp copied_;  // as node_ was copied
};

// A key as the map prints it: a number, or the string a d_ref names.
inline unsigned plain_key(unsigned key) {
  return key;
}
inline std::string plain_key(d_ref<std::string> const& key) {
  return key.get_data();
}

// Counts of the rebalancing work done since the map object was made.
struct balance_stats {
  long runs = 0;       // calls of balance
  long passes = 0;     // passes over the tree
  long shifts = 0;     // single shifts
  long shifts4 = 0;    // 4-shifts
  long cut_short = 0;  // runs that stopped at the pass limit
  double seconds = 0;  // wall time spent in balance
};

template <class K, class V, class H>
class d_map {
 public:
  using node_type = d_map_node<K, V>;
  using pair_type = d_pair<K, V>;
  using layout = map_node_layout<K, V>;
  using iterator = d_map_iterator<K, V, H>;
  using const_iterator = iterator;
  using value_type = pair_type;

  // The pairs from first up to, not including, last: what range() returns,
  // for range-for.
  struct key_range {
    iterator first;
    iterator last;
    iterator begin() const { return first; }
    iterator end() const { return last; }
  };

  // Passes one balance run may make. While inserting, a run settles within a
  // few passes; but a path that turns at every level needs about one pass per
  // node, each pass reading the whole tree. The limit bounds one run's cost on
  // any tree; stopping early leaves a valid tree, only a less even one, and
  // the next run carries on.
  static constexpr int max_balance_passes = 64;
  // Node objects kept between operations. Lookups load the nodes on their
  // paths; without a bound, a map whose every key was read keeps an object
  // per node, as much memory again as the file. Past the bound the objects
  // nearest the root (kept_cached_nodes of them), which every descent
  // passes, stay and the rest go.
  // The typed map's objects may take up to typed_node_bytes however small
  // its nodes: 32 MiB of objects keep every node of a map of 1 000 000
  // random 64-bit pairs (22 208 objects of 1 144 bytes), whose descents
  // would otherwise load and decode several records each. The two drivers'
  // maps keep about 640 KiB (1 024 objects of the integer map): the levels
  // near the root, which every descent passes, while inserts and lookups in
  // order find the rest on the path they just took. The 8 192 objects they
  // used to keep took 5 MiB beside the 9 MB file of a 1 000 000-key map;
  // random lookups in a map of 400 000 keys, whose every node they held,
  // now load a few records each and take about 2.7 times as long.
  static constexpr std::size_t typed_node_bytes = std::size_t{32} << 20;
  static constexpr std::size_t driver_node_bytes = std::size_t{640} << 10;
  static constexpr std::size_t max_cached_nodes =
      layout::writes_used_only
          ? std::max<std::size_t>(8192, typed_node_bytes / node_type::full_size())
          : std::max<std::size_t>(256, driver_node_bytes / node_type::full_size());
  static constexpr std::size_t kept_cached_nodes = max_cached_nodes / 2;

  // The map kept in the root slot called name, made and initialised there when
  // the slot is empty.
  d_map(std::string const& name, d_env* env, d_root mode = d_root::open_or_create);
  // The same under the kind descriptor given: a tree that serves another
  // container (the typed map) records that container's kind.
  d_map(std::string const& name, d_env* env, std::string const& kind,
        d_root mode = d_root::open_or_create);
  // Frees the cached node objects. Every change went to the file when it was
  // made, so the object writes nothing and may outlive its database.
  ~d_map();
  d_map(d_map const&) = delete;
  d_map& operator=(d_map const&) = delete;

  // Attaches to the map whose header address is held in the cell at slot,
  // making a new header (and its first, empty root node) when the cell is -1.
  void grab(io_tools::bfstream* s, long slot, d_alloc* allocator, d_database* db);

  // True and the value copied out when key is present; value untouched
  // otherwise.
  bool get(K const& key, V& value);
  // The position of key's pair; end() when key is absent.
  iterator find(K const& key);

  // Lookups by the plain key (the string map's std::string), compared with
  // the stored keys as it is: unlike a d_ref key, it takes no block, so
  // reading a map leaves its file as it was. The number map's keys are
  // plain already.
  template <class P = H, std::enable_if_t<!std::is_same<P, K>::value, int> = 0>
  bool get(H const& key, H& value) {
    auto const op = reading();
    int slot = -1;
    node_type const* n = locate(key, slot);
    if (!n) return false;
    value = static_cast<H>(n->pairs[static_cast<std::size_t>(slot)].value);
    return true;
  }
  template <class P = H, std::enable_if_t<!std::is_same<P, K>::value, int> = 0>
  iterator find(H const& key) {
    return found_at(key);
  }
  template <class P = H, std::enable_if_t<!std::is_same<P, K>::value, int> = 0>
  iterator lower_bound(H const& key) {
    return bound_at(key, false);
  }
  template <class P = H, std::enable_if_t<!std::is_same<P, K>::value, int> = 0>
  iterator upper_bound(H const& key) {
    return bound_at(key, true);
  }
  template <class P = H, std::enable_if_t<!std::is_same<P, K>::value, int> = 0>
  key_range range(H const& from, H const& to) {
    return range_of(from, to);
  }
  // Replaces the value of a present key; false and no change when absent.
  bool update(K const& key, V const& value);
  // Adds the pair, or replaces the value of a present key; true when a pair
  // was added.
  bool put(K const& key, V const& value);
  // Adds the pair; a key already present only has its value replaced (no
  // duplicate is ever made) and the result is false.
  bool insert(K const& key, V const& value);
  // Replaces the value of a present key through the nodes this object holds
  // (update reads them afresh from the root), handing the replaced value
  // out; false and no change when absent. For the typed map, which owns and
  // frees what it replaces.
  bool replace_value(K const& key, V const& value, V& old);
  // Adds the pair, or replaces the value of a present key handing the
  // replaced value out through old, in one descent from the root; true when
  // a pair was added. For the typed map, its put: a part of the change the
  // caller has begun (in_change), which fails with it.
  bool put_or_replace_within(K const& key, V const& value, V& old);
  // A proxy for key's pair; a missing key is added first with a default value.
  d_map_assign<K, V, H> operator[](K const& key);
  // Takes key's pair out; false when key is absent. The string map gives the
  // pair's key and value blocks back to the allocator.
  bool erase(K const& key);

  // Number of pairs.
  std::size_t size();
  bool empty() { return size() == 0; }

  // The pairs in ascending key order.
  iterator begin();
  iterator end();
  // The first pair whose key is not below key (lower_bound) or is above it
  // (upper_bound); end() when there is none.
  iterator lower_bound(K const& key);
  iterator upper_bound(K const& key);
  // The pairs with keys from `from` up to, not including, `to`; empty unless
  // from < to.
  key_range range(K const& from, K const& to);

  // Rotates every node whose left and right spines differ by two or more, pass
  // after pass until one shifts nothing (at most max_balance_passes), then
  // drops the cached node objects.
  void balance();
  // Whether balance finds the nodes to rotate through an in-memory copy of
  // the tree's shape (the default), skipping the subtrees that need no
  // rotation, or by reading every node record in every pass. Both make the
  // same rotations and write the same bytes.
  void use_shape(bool on);
  // The shape balance works with; not built until the first balance.
  map_shape const& shape() const { return shape_; }
  // Frees the cached node objects; the next descent loads afresh.
  void clear_node_list();
  // Frees the cached node objects but the kept_cached_nodes nearest the root.
  void trim_node_list();
  // Pre-order, one line per node: three blanks per level of depth and the
  // node's first key. Children are read from the file.
  void print_tree_node(node_type* node, std::ostream& out, int depth);

  // The most nodes the file can hold: a bound for every walk of nodes.
  word_t max_node_count() const { return layout::max_nodes(stream->size()); }
  // Makes the cached nodes agree with the file again after a node record was
  // rewritten from outside the cache (by a proxy).
  void refresh_cache();
  // The database, checked to be open; when the map changed since this
  // object's last operation (another object's change, a rollback), everything
  // the object caches is read again from the file. A read holds the
  // operation until it ends; a change reads under the writer's turn.
  db_operation reading() {
    return link_.reading([this] { refresh(); });
  }
  d_database& checked() {
    return link_.checked([this] { refresh(); });
  }
  // An operation for a caller that reads more of the file around this
  // object's own operations (the typed map's long keys and values).
  db_operation operation() const { return link_.operation(); }
  // The root slot that holds the map's header.
  word_t handle() const { return handle_; }
  // The object's handle as it is now: what it has followed of the file.
  db_handle const& link() const { return link_; }

  node_type root;
  node_type spare;
  d_alloc* alloc = nullptr;
  word_t header_address = no_address;
  d_database* database = nullptr;
  io_tools::bfstream* stream = nullptr;
  int full_nodes = 0;
  std::list<node_type*> node_list;
  word_t last_address = no_address;
  word_t last_index = no_address;
  word_t chain_head = no_address;
  balance_stats stats;
  // Whether a balance run that rotates nothing keeps the cached nodes. The
  // two drivers' maps drop them, as they always have: a node object carries
  // stale pairs past its count that store writes out, so keeping it would
  // change their files' bytes. The typed map's bytes past the count mean
  // nothing, so it keeps them.
  bool keep_cache_when_quiet = false;

 private:
  // What checked() and reading() do after the database's checks.
  void refresh();
  // After other openings' commits alone: true, keeping the cached nodes
  // (each checked as a descent reaches it), when the commits left the
  // map's slot, header and root node as they were.
  bool kept_past_follows();
  // The stream's overlay count when the slot, header and root node were
  // last read or found unchanged.
  std::uint64_t verified_ = 0;
  template <class Step>
  decltype(auto) changing(Step&& step) {
    return link_.changing(handle_, step, [this] { refresh(); });
  }
  friend class d_map_assign<K, V, H>;

  // The node and slot of key reached from root through the cached links;
  // null when absent. Key is K or the plain key H.
  template <class Key>
  node_type* locate(Key const& key, int& slot);
  // The node and slot of the first key not below key (above it, when after);
  // null when there is none.
  template <class Key>
  node_type* find_bound(Key const& key, bool after, int& slot);
  template <class Key>
  iterator found_at(Key const& key);
  template <class Key>
  iterator bound_at(Key const& key, bool after);
  template <class Key>
  key_range range_of(Key const& from, Key const& to);
  word_t reserve_node();
  void write_header_word(std::size_t offset, word_t value);
  bool get_pair(K const& key, V& value);
  bool update_pair(K const& key, V const& value);
  bool put_pair(K const& key, V const& value);
  // Adds the pair, or (handing the replaced value out through old, when
  // given) replaces the value of a present key; true when a pair was added.
  bool insert_pair(K const& key, V const& value, V* old = nullptr);
  // insert_pair's descents, which may move full_nodes on before they fail.
  bool insert_rounds(K const& key, V const& value, V* old);
  void rebalance();
  // One step of insert at node n. Returns the node to go on with, or null
  // when the pair was placed; `spilled` then holds a pair that still needs a
  // place, and `replaced` tells that the key was present.
  node_type* insert_step(node_type& n, pair_type const& pair, pair_type& spilled, bool& has_spilled,
                         bool& replaced, V* old);
  // Adds pair to n, which has room; at is its place when known, else -1.
  void place(node_type& n, pair_type const& pair, int at = -1);
  // Places the smallest pair of the full node `from`, which it gave up to make
  // room, without comparing keys.
  void place_given_up(node_type& from, pair_type const& pair);
  bool erase_pair(K const& key);
  // Erase's steps once the node at `at` holds no pairs: with pairs left in
  // the map it leaves the tree and the chain; with none it stays as the
  // empty root of a new map and every other node goes.
  void drop_node(word_t at);
  void reset_to_empty(word_t at);
  // Takes the node at `at`, with one child at most, out of the tree.
  void unlink_from_tree(word_t at);
  // Takes the node at `at`, out of the tree, off the chain and frees it.
  void unchain(word_t at);
  // Moves the record at `from` to `to` with the given next link, re-aims its
  // tree neighbours at `to` and frees `from`.
  void move_record(word_t from, word_t to, word_t next);
  // Makes parent's link to `from` name `to`.
  void relink_child(word_t parent, word_t from, word_t to);
  map_node_head head_at(word_t address) {
    return map_node_head::read(*stream, address, layout::record_size);
  }
  void write_link(word_t node, std::size_t offset, word_t value) {
    stream->write_word(node + static_cast<word_t>(offset), value);
  }
  void add_leaf(node_type& n, pair_type const& pair, bool on_left);
  // One pass reading every node record, and one that reads only the nodes
  // the shape cannot vouch for; both return whether anything was rotated.
  bool balance_pass();
  bool balance_pass_with_shape();
  // Brings x to the state the reading pass leaves in it when it reaches the
  // node at `at`, given the nodes that pass would have loaded into it since
  // it was last loaded here (`unloaded`, whole subtrees or single nodes).
  struct unloaded_visit {
    word_t address;
    bool whole_subtree;
  };
  void load_as_reading_pass(node_type& x, std::vector<unloaded_visit> const& unloaded, word_t at);
  void balance_node(node_type& x, bool& changed);

  word_t size_ = 0;
  d_env* env_ = nullptr;
  db_handle link_;
  word_t handle_ = no_address;
  void reload();
  // The tree's links, spine lengths and uneven subtrees, built by the first
  // balance and kept current by every change of links this object makes
  // (new leaves, rotations, a new root); dropped with the rest of the cache
  // when another object or a rollback changed the map.
  bool use_shape_ = true;
  map_shape shape_;
  bool quiet_balance_ = false;
};

// ---------------------------------------------------------------------------
// d_map_assign

template <class K, class V, class H>
void d_map_assign<K, V, H>::load(d_map_node<K, V>& node) const {
  if (!stream || node_address == no_address)
    throw error(errc::out_of_range, "map element out of range...");
  node.address = node_address;
  node.load(*stream);
  if (index < 0 || index >= node.count)
    throw error(errc::out_of_range, "map element out of range...");
}

template <class K, class V, class H>
d_map_assign<K, V, H>::operator H() const {
  if (map) map->checked();
  auto node = std::make_unique<d_map_node<K, V>>();
  load(*node);
  return static_cast<H>(node->pairs[static_cast<std::size_t>(index)].value);
}

template <class K, class V, class H>
d_map_assign<K, V, H>& d_map_assign<K, V, H>::operator=(V const& value) {
  if (!map) throw error(errc::out_of_range, "map element out of range...");
  map->changing([&] {
    auto node = std::make_unique<d_map_node<K, V>>();
    load(*node);
    node->pairs[static_cast<std::size_t>(index)].value = value;
    node->store(*stream);
    map->refresh_cache();
  });
  return *this;
}

template <class K, class V, class H>
d_map_assign<K, V, H>& d_map_assign<K, V, H>::operator=(d_map_assign const& other) {
  if (!map) throw error(errc::out_of_range, "map element out of range...");
  // One change: a failed store takes the string's new block back with it.
  map->changing([&] { *this = map_value_from<V, H>::make(static_cast<H>(other), map->env_); });
  return *this;
}

// ---------------------------------------------------------------------------
// d_map_iterator

template <class K, class V, class H>
typename d_map_iterator<K, V, H>::value_type const& d_map_iterator<K, V, H>::current() const {
  auto const op = link_.operation();
  if (!node_) throw error(errc::out_of_range, "map iterator out of range...");
  check_fresh();
  if constexpr (follows_own_changes) {
    if (changed_under()) {
      // Moved only onto its own key: ++ after a refusal goes on above it.
      K const& key = node_->pairs[static_cast<std::size_t>(slot_)].key;
      d_map_iterator found = *this;
      found.seek(key, false);
      if (found.at_end() || key < found.node_->pairs[static_cast<std::size_t>(found.slot_)].key) {
        throw error(errc::out_of_range,
                    "map iterator's pair was erased: take the iterator again...");
      }
      node_ = std::move(found.node_);
      slot_ = found.slot_;
      copied_ = found.copied_;
    }
  }
  return node_->pairs[static_cast<std::size_t>(slot_)];
}

template <class K, class V, class H>
void d_map_iterator<K, V, H>::stand_on(word_t address, bool first) {
  auto copy = std::make_shared<node_copy>();
  copy->head = d_map_node<K, V>::read_pairs(*stream_, address, copy->pairs);
  // Only the root of an empty map holds no pairs, and no walk stops there.
  if (copy->pairs.empty()) throw io_tools::corrupt_file(*stream_);
  slot_ = first ? 0 : static_cast<int>(copy->pairs.size()) - 1;
  node_ = std::move(copy);
  copied_ = link_.stamp();
  note_key();
}

template <class K, class V, class H>
void d_map_iterator<K, V, H>::stand_on(d_map_node<K, V> const& node, int slot) {
  auto copy = std::make_shared<node_copy>();
  copy->head = node.head();
  copy->pairs.assign(node.pairs.begin(), node.pairs.begin() + node.count);
  slot_ = slot;
  node_ = std::move(copy);
  copied_ = link_.stamp();
  note_key();
}

template <class K, class V, class H>
word_t d_map_iterator<K, V, H>::edge_below(word_t top, bool leftmost) const {
  word_t const limit = layout::max_nodes(stream_->size());
  word_t at = top;
  for (word_t steps = 0;; ++steps) {
    if (steps > limit) throw io_tools::corrupt_file(*stream_);
    map_node_head const h = head_at(at);
    word_t const further = leftmost ? h.left : h.right;
    if (further == no_address) return at;
    at = further;
  }
}

template <class K, class V, class H>
word_t d_map_iterator<K, V, H>::neighbour(bool forward) const {
  map_node_head const& h = node_->head;
  word_t const down = forward ? h.right : h.left;
  if (down != no_address) return edge_below(down, forward);
  // Up to the first ancestor reached from its left (going forward) side.
  word_t const limit = layout::max_nodes(stream_->size());
  word_t child = h.address;
  word_t parent = h.parent;
  for (word_t steps = 0; parent != no_address; ++steps) {
    if (steps > limit) throw io_tools::corrupt_file(*stream_);
    map_node_head const p = head_at(parent);
    word_t const near_side = forward ? p.left : p.right;
    word_t const far_side = forward ? p.right : p.left;
    if (near_side == child) return parent;
    if (far_side != child) throw io_tools::corrupt_file(*stream_);
    child = parent;
    parent = p.parent;
  }
  return no_address;
}

template <class K, class V, class H>
void d_map_iterator<K, V, H>::seek(K const& key, bool after) {
  check_fresh();
  // The descent of d_map::find_bound, over the records in the file.
  auto const qualifies = [&](K const& k) { return after ? key < k : !(k < key); };
  map_header const header = map_header::read(*stream_, header_);
  std::shared_ptr<node_copy> found;
  int found_slot = 0;
  word_t const limit = layout::max_nodes(stream_->size());
  word_t at = header.size > 0 ? header.root : no_address;
  for (word_t depth = 0; at != no_address; ++depth) {
    if (depth > limit) throw io_tools::corrupt_file(*stream_);
    auto copy = std::make_shared<node_copy>();
    copy->head = d_map_node<K, V>::read_pairs(*stream_, at, copy->pairs);
    if (copy->pairs.empty()) throw io_tools::corrupt_file(*stream_);
    if (qualifies(copy->pairs.front().key)) {
      at = copy->head.left;
      found = std::move(copy);
      found_slot = 0;
    } else if (!qualifies(copy->pairs.back().key)) {
      at = copy->head.right;
    } else {
      auto const first = copy->pairs.begin();
      found_slot = static_cast<int>(
          std::partition_point(first + 1, copy->pairs.end(),
                               [&](value_type const& p) { return !qualifies(p.key); }) -
          first);
      found = std::move(copy);
      break;
    }
  }
  node_ = std::move(found);
  slot_ = found_slot;
  copied_ = link_.stamp();
  note_key();
}

template <class K, class V, class H>
d_map_iterator<K, V, H>& d_map_iterator<K, V, H>::operator++() {
  auto const op = link_.operation();
  if (!node_) throw error(errc::out_of_range, "map iterator out of range...");
  check_fresh();
  if (follows_own_changes && changed_under()) {
    seek(K(node_->pairs[static_cast<std::size_t>(slot_)].key), true);
    return *this;
  }
  if (slot_ + 1 < static_cast<int>(node_->pairs.size())) {
    ++slot_;
    note_key();
    return *this;
  }
  word_t const next = neighbour(true);
  if (next == no_address) {
    node_.reset();
    slot_ = 0;
  } else {
    stand_on(next, true);
  }
  return *this;
}

template <class K, class V, class H>
d_map_iterator<K, V, H>& d_map_iterator<K, V, H>::operator--() {
  auto const op = link_.operation();
  check_fresh();
  if (follows_own_changes && node_ && changed_under()) {
    // Onto the key, or the first above it: the step below is the one wanted.
    seek(K(node_->pairs[static_cast<std::size_t>(slot_)].key), false);
  }
  if (node_ && slot_ > 0) {
    --slot_;
    note_key();
    return *this;
  }
  word_t before = no_address;
  if (node_) {
    before = neighbour(false);
  } else if (stream_) {
    map_header const header = map_header::read(*stream_, header_);
    if (header.size > 0) before = edge_below(header.root, false);
  }
  if (before == no_address) throw error(errc::out_of_range, "map iterator out of range...");
  stand_on(before, false);
  return *this;
}

// ---------------------------------------------------------------------------
// d_map: attaching and detaching

template <class K, class V, class H>
d_map<K, V, H>::d_map(std::string const& name, d_env* env, d_root mode)
    : d_map(name, env, root_kind<d_map>::get(), mode) {}

template <class K, class V, class H>
d_map<K, V, H>::d_map(std::string const& name, d_env* env, std::string const& kind, d_root mode)
    : root(&node_list), spare(nullptr), alloc(env->allocator), database(env->database), env_(env) {
  attach_at_root(database, name, kind, mode, [&](word_t slot) {
    grab(database->stream(), slot, database->allocator(), database);
  });
}

template <class K, class V, class H>
d_map<K, V, H>::~d_map() {
  clear_node_list();
}

template <class K, class V, class H>
void d_map<K, V, H>::grab(io_tools::bfstream* s, long slot, d_alloc* allocator, d_database* db) {
  stream = s;
  alloc = allocator;
  database = db;
  link_ = db_handle(db);
  handle_ = slot;
  // Making the header and the first node is one change of the database. The
  // look holds an operation: beside other openings, what the file shows may
  // have moved on since the root was attached.
  {
    auto const op = link_.attaching(handle_);
    word_t const address = stream->read_word(slot);
    if (address != no_address && map_header::read(*stream, address).initialised()) {
      reload();
      link_.up_to_date();
      return;
    }
  }
  link_.own_change(link_.db(), handle_, [&] { reload(); });
}

template <class K, class V, class H>
void d_map<K, V, H>::refresh() {
  if (link_.stale(handle_)) {
    if (stream->read_word(handle_) == no_address) throw error(errc::rolled_back, rolled_back_message);
    if (!kept_past_follows()) reload();
    link_.up_to_date();
  } else if (node_list.size() > max_cached_nodes) {
    trim_node_list();
  }
}

template <class K, class V, class H>
bool d_map<K, V, H>::kept_past_follows() {
  if constexpr (!node_type::checks_overlays) {
    return false;
  } else {
    if (header_address == no_address || root.address == no_address ||
        !link_.only_followed_since_seen(handle_)) {
      return false;
    }
    // The slot and the header: where the root node is, and the size. The
    // root node, read again when the commits changed it, is where every
    // descent starts; the other node objects are checked as descents
    // reach them.
    if (!stream->unchanged_since(verified_, handle_, word_size) ||
        !stream->unchanged_since(verified_, header_address,
                                 static_cast<word_t>(map_header::record_size))) {
      return false;
    }
    if (stream->unchanged_since(verified_, root.address,
                                static_cast<word_t>(layout::record_size))) {
      root.verified = stream->overlays();
    } else {
      root.reread(*stream);
    }
    verified_ = stream->overlays();
    // Built from records the commits may have changed anywhere.
    shape_.clear();
    return true;
  }
}

template <class K, class V, class H>
void d_map<K, V, H>::reload() {
  clear_node_list();
  shape_.clear();
  verified_ = stream->overlays();
  word_t address = stream->read_word(handle_);
  if (address == no_address) {
    address = create_map(database);
    stream->write_word(handle_, address);
  }
  map_header header = map_header::read(*stream, address);
  header_address = address;
  if (header.size != no_address) {
    if (!map_node_head::plausible_link(header.root, stream->size(), layout::record_size) ||
        header.root == no_address ||
        !map_node_head::plausible_link(header.chain_head, stream->size(), layout::record_size)) {
      throw io_tools::corrupt_file(*stream);
    }
    size_ = header.size;
    root.address = header.root;
    chain_head = header.chain_head;
    root.load(*stream);
    return;
  }
  // A new map: one empty root node, which also starts the chain. The node is
  // written before the header names it.
  word_t const node = reserve_node();
  root.address = node;
  root.left = root.right = root.parent = root.next = no_address;
  root.count = 0;
  root.store(*stream);
  size_ = 0;
  chain_head = node;
  header.size = 0;
  header.root = node;
  header.chain_head = node;
  header.write(*stream, header_address);
}

template <class K, class V, class H>
word_t d_map<K, V, H>::reserve_node() {
  text_tools::bstringstream zeros;
  word_t const node = alloc->allocate(layout::reservation, zeros);
  if (node < 0) throw error(errc::no_space, "unable to allocate map node...");
  return node;
}

template <class K, class V, class H>
void d_map<K, V, H>::write_header_word(std::size_t offset, word_t value) {
  stream->write_word(header_address + static_cast<word_t>(offset), value);
}

template <class K, class V, class H>
void d_map<K, V, H>::clear_node_list() {
  for (node_type* n : node_list) delete n;
  node_list.clear();
  root.left_node = root.right_node = root.parent_node = root.next_node = nullptr;
}

template <class K, class V, class H>
void d_map<K, V, H>::trim_node_list() {
  // Breadth first from the root through the objects already loaded, marking
  // the ones that stay (a mark in the object: no set to build and search).
  root.kept = true;
  std::vector<node_type*> levels{&root};
  for (std::size_t i = 0; i < levels.size() && levels.size() <= kept_cached_nodes; ++i) {
    for (node_type* child : {levels[i]->left_node, levels[i]->right_node}) {
      if (child && !child->kept) {
        child->kept = true;
        levels.push_back(child);
      }
    }
  }
  // The kept objects forget the others before those are freed. Every link
  // of an object names a live one: objects go only here and in
  // clear_node_list, and both unlink them first.
  for (node_type* n : levels) {
    for (node_type** link : {&n->left_node, &n->right_node, &n->parent_node, &n->next_node}) {
      if (*link && !(*link)->kept) *link = nullptr;
    }
  }
  node_list.remove_if([](node_type* n) {
    if (n->kept) return false;
    delete n;
    return true;
  });
  for (node_type* n : levels) n->kept = false;
}

template <class K, class V, class H>
void d_map<K, V, H>::refresh_cache() {
  clear_node_list();
  root.load(*stream);
}

// ---------------------------------------------------------------------------
// Lookups

template <class K, class V, class H>
template <class Key>
typename d_map<K, V, H>::node_type* d_map<K, V, H>::locate(Key const& key, int& slot) {
  word_t const limit = max_node_count();
  node_type* n = &root;
  for (word_t depth = 0; n->count > 0; ++depth) {
    if (depth > limit) throw io_tools::corrupt_file(*stream);
    int const from_first = key_order(key, n->first_key());
    if (from_first < 0) {
      if (n->left == no_address) return nullptr;
      n = &n->left_child(*stream);
    } else if (from_first == 0) {
      slot = 0;
      return n;
    } else if (n->last_key() < key) {
      if (n->right == no_address) return nullptr;
      n = &n->right_child(*stream);
    } else {
      slot = n->find(key);
      return slot < 0 ? nullptr : n;
    }
  }
  return nullptr;
}

template <class K, class V, class H>
bool d_map<K, V, H>::get(K const& key, V& value) {
  auto const op = reading();
  return get_pair(key, value);
}

template <class K, class V, class H>
bool d_map<K, V, H>::update(K const& key, V const& value) {
  return changing([&] { return update_pair(key, value); });
}

template <class K, class V, class H>
bool d_map<K, V, H>::put(K const& key, V const& value) {
  return changing([&] { return put_pair(key, value); });
}

template <class K, class V, class H>
bool d_map<K, V, H>::insert(K const& key, V const& value) {
  return changing([&] { return insert_pair(key, value); });
}

template <class K, class V, class H>
void d_map<K, V, H>::balance() {
  changing([&] { rebalance(); });
}

template <class K, class V, class H>
bool d_map<K, V, H>::get_pair(K const& key, V& value) {
  int slot = -1;
  node_type* n = locate(key, slot);
  if (!n) return false;
  last_address = n->address;
  last_index = slot;
  value = n->pairs[static_cast<std::size_t>(slot)].value;
  return true;
}

template <class K, class V, class H>
bool d_map<K, V, H>::update_pair(K const& key, V const& value) {
  // Start from the root's record: the cached objects below it are dropped
  // with it.
  refresh_cache();
  int slot = -1;
  node_type* n = locate(key, slot);
  if (!n) return false;
  n->pairs[static_cast<std::size_t>(slot)].value = value;
  n->store(*stream);
  return true;
}

template <class K, class V, class H>
bool d_map<K, V, H>::replace_value(K const& key, V const& value, V& old) {
  return changing([&] {
    int slot = -1;
    node_type* n = locate(key, slot);
    if (!n) return false;
    V& held = n->pairs[static_cast<std::size_t>(slot)].value;
    old = held;
    held = value;
    n->store(*stream);
    // The root object is its own node, not the cached child of another.
    if (n != &root && n->address == root.address) root.load(*stream);
    return true;
  });
}

template <class K, class V, class H>
bool d_map<K, V, H>::put_or_replace_within(K const& key, V const& value, V& old) {
  checked();
  return link_.own_change_within(handle_, [&] { return insert_pair(key, value, &old); });
}

template <class K, class V, class H>
d_map_assign<K, V, H> d_map<K, V, H>::operator[](K const& key) {
  V found{};
  if (!get(key, found)) {
    // The default value gets its block only when the key is really missing,
    // so reading present keys never grows the file.
    bool const added = changing([&] {
      // Another opening may have added it since the look above.
      if (get_pair(key, found)) return true;
      put_pair(key, map_default_value<V>::make(env_));
      return get_pair(key, found);
    });
    if (!added) return d_map_assign<K, V, H>();
  }
  return d_map_assign<K, V, H>(last_address, last_index, stream, this);
}

template <class K, class V, class H>
std::size_t d_map<K, V, H>::size() {
  auto const op = reading();
  return static_cast<std::size_t>(size_);
}

// ---------------------------------------------------------------------------
// Walks in key order

template <class K, class V, class H>
typename d_map<K, V, H>::iterator d_map<K, V, H>::end() {
  return iterator(&checked(), stream, header_address, handle_);
}

template <class K, class V, class H>
typename d_map<K, V, H>::iterator d_map<K, V, H>::begin() {
  auto const op = reading();
  iterator it = end();
  if (size_ > 0) it.stand_on(it.edge_below(root.address, true), true);
  return it;
}

template <class K, class V, class H>
template <class Key>
typename d_map<K, V, H>::node_type* d_map<K, V, H>::find_bound(Key const& key, bool after,
                                                               int& slot) {
  // A node whose first key qualifies is the answer unless its left subtree
  // holds a smaller key that does; one whose last key does not qualify hands
  // on to its right; otherwise the answer is inside it.
  auto const qualifies = [&](K const& k) { return after ? key < k : !(k < key); };
  word_t const limit = max_node_count();
  node_type* candidate = nullptr;
  node_type* n = &root;
  for (word_t depth = 0; n && n->count > 0; ++depth) {
    if (depth > limit) throw io_tools::corrupt_file(*stream);
    if (qualifies(n->first_key())) {
      candidate = n;
      slot = 0;
      n = n->left == no_address ? nullptr : &n->left_child(*stream);
    } else if (!qualifies(n->last_key())) {
      n = n->right == no_address ? nullptr : &n->right_child(*stream);
    } else {
      auto const first = n->pairs.begin();
      slot = static_cast<int>(std::partition_point(first + 1, first + n->count,
                                                   [&](pair_type const& p) {
                                                     return !qualifies(p.key);
                                                   }) -
                              first);
      return n;
    }
  }
  return candidate;
}

template <class K, class V, class H>
template <class Key>
typename d_map<K, V, H>::iterator d_map<K, V, H>::bound_at(Key const& key, bool after) {
  auto const op = reading();
  iterator it = end();
  int slot = 0;
  if (node_type const* n = find_bound(key, after, slot)) it.stand_on(*n, slot);
  return it;
}

template <class K, class V, class H>
template <class Key>
typename d_map<K, V, H>::iterator d_map<K, V, H>::found_at(Key const& key) {
  auto const op = reading();
  iterator it = end();
  int slot = 0;
  if (node_type const* n = locate(key, slot)) it.stand_on(*n, slot);
  return it;
}

template <class K, class V, class H>
template <class Key>
typename d_map<K, V, H>::key_range d_map<K, V, H>::range_of(Key const& from, Key const& to) {
  auto const op = reading();  // both ends from one commit
  iterator const first = bound_at(from, false);
  // An empty range must not walk from `from` to the end looking for `to`.
  if (!(from < to)) return {first, first};
  return {first, bound_at(to, false)};
}

template <class K, class V, class H>
typename d_map<K, V, H>::iterator d_map<K, V, H>::find(K const& key) {
  return found_at(key);
}

template <class K, class V, class H>
typename d_map<K, V, H>::iterator d_map<K, V, H>::lower_bound(K const& key) {
  return bound_at(key, false);
}

template <class K, class V, class H>
typename d_map<K, V, H>::iterator d_map<K, V, H>::upper_bound(K const& key) {
  return bound_at(key, true);
}

template <class K, class V, class H>
typename d_map<K, V, H>::key_range d_map<K, V, H>::range(K const& from, K const& to) {
  return range_of(from, to);
}

// ---------------------------------------------------------------------------
// Adding pairs

template <class K, class V, class H>
bool d_map<K, V, H>::put_pair(K const& key, V const& value) {
  if (size_ != 0) {
    if (update_pair(key, value)) return false;
    return insert_pair(key, value);
  }
  // An empty map gets a new root; the node made by grab stays on the chain
  // behind it with no pairs.
  clear_node_list();
  shape_.clear();
  word_t const node = reserve_node();
  root.address = node;
  root.left = root.right = root.parent = no_address;
  root.next = chain_head;
  root.count = 0;
  root.add_sorted(pair_type{key, value});
  root.store(*stream);
  chain_head = last_address = node;
  last_index = 0;
  size_ = 1;
  map_header const header{size_, node, chain_head};
  header.write(*stream, header_address);
  return true;
}

template <class K, class V, class H>
bool d_map<K, V, H>::insert_pair(K const& key, V const& value, V* old) {
  // The count of nodes filled since the last balance is memory only; an
  // insert that is rolled back must not leave it moved on. (Caught rather
  // than told by a guard's destructor, which asks the runtime for the
  // exceptions under way twice an insert.)
  int const filled = full_nodes;
  try {
    return insert_rounds(key, value, old);
  } catch (...) {
    full_nodes = filled;
    throw;
  }
}

template <class K, class V, class H>
bool d_map<K, V, H>::insert_rounds(K const& key, V const& value, V* old) {
  pair_type pending{key, value};
  // Each spill hands on a strictly smaller key, so the pairs to place run out;
  // the bound only guards against a damaged tree.
  word_t const spill_limit = size_ + 2;
  node_type* start = &root;
  bool given_up = false;  // pending is the smallest pair of `start`, given up
  for (word_t round = 0;; ++round) {
    if (round > spill_limit) throw io_tools::corrupt_file(*stream);
    pair_type spilled{};
    bool has_spilled = false, replaced = false;
    word_t const limit = max_node_count();
    node_type* n = start;
    node_type* last = n;
    if (given_up) {
      place_given_up(*start, pending);
      n = nullptr;
    }
    for (word_t depth = 0; n; ++depth) {
      if (depth > limit) throw io_tools::corrupt_file(*stream);
      last = n;
      n = insert_step(*n, pending, spilled, has_spilled, replaced, round == 0 ? old : nullptr);
    }
    if (replaced) return false;
    bool balanced = false;
    if (full_nodes == 2) {
      full_nodes = 0;
      rebalance();
      balanced = true;
      if (!(quiet_balance_ && keep_cache_when_quiet)) clear_node_list();
    }
    if (!has_spilled) return true;
    pending = spilled;
    // The pair pushed out of `last` orders before every pair left there and
    // after all of last's left subtree, so every node above routes it to
    // `last` as it routed the key that pushed it out: it is placed from
    // there (place_given_up), not by a descent from the root. A balance run
    // may have moved the nodes meanwhile; then it descends from the root.
    given_up = !balanced;
    start = balanced ? &root : last;
  }
}

template <class K, class V, class H>
typename d_map<K, V, H>::node_type* d_map<K, V, H>::insert_step(node_type& n, pair_type const& pair,
                                                                pair_type& spilled,
                                                                bool& has_spilled, bool& replaced,
                                                                V* old) {
  K const& key = pair.key;
  if (n.count == 0) {
    place(n, pair);
    return nullptr;
  }
  int const from_first = key_order(key, n.first_key());
  if (from_first < 0 && n.full()) {
    // Below a full node, as about half the steps of a descent are: the last
    // key (most of a node object away from the first) is not needed.
    if (n.left != no_address) return &n.left_child(*stream);
    add_leaf(n, pair, true);
    return nullptr;
  }
  int const from_last = key_order(key, n.last_key());
  bool const above_min = from_first > 0;
  bool const below_max = from_last < 0;
  bool const below_min = from_first < 0;
  bool const above_max = from_last > 0;
  // Where an absent key inside this node's range goes, once a search of the
  // typed map's node found it: the insert below needs no second search.
  int known_place = -1;
  if (!below_min && !above_max) {
    // Inside this node's range: the key can only be here.
    int slot = from_first == 0 ? 0 : static_cast<int>(n.count - 1);
    if (from_first != 0 && from_last != 0) {
      if constexpr (layout::writes_used_only) {
        int const at = n.first_not_below(key);
        bool const present = key_order(n.pairs[static_cast<std::size_t>(at)].key, key) == 0;
        slot = present ? at : -1;
        if (!present) known_place = at;
      } else {
        slot = n.find(key);
      }
    }
    if (slot >= 0) {
      V& held = n.pairs[static_cast<std::size_t>(slot)].value;
      if (old) *old = held;
      held = pair.value;
      if constexpr (layout::writes_used_only) {
        n.store_slots(*stream, slot, slot + 1);
      } else {
        n.store(*stream);
      }
      replaced = true;
      return nullptr;
    }
  }
  if (!n.full()) {
    // The neighbour values are needed only where the node's own range does not
    // decide: below its first key with a left subtree, above its last with a
    // right one.
    bool const fits = (above_min && n.right == no_address) || (below_max && n.left == no_address) ||
                      (above_min && below_max) ||
                      (below_min && n.left != no_address && n.get_left_most_value(*stream) < key) ||
                      (above_max && n.right != no_address && key < n.get_right_most_value(*stream));
    if (fits) {
      place(n, pair, known_place);
      return nullptr;
    }
    return above_max ? &n.right_child(*stream) : &n.left_child(*stream);
  }
  if (above_min && below_max) {
    // Full and bounding the key: the smallest pair makes room and is inserted
    // anew from the root.
    int placed = 0;
    spilled = known_place >= 0
                  ? n.exchange_smallest_at(pair, static_cast<std::size_t>(known_place), placed)
                  : n.exchange_smallest(pair, placed);
    // Count and links stay: only the slots up to pair's place changed.
    n.store_exchanged(*stream, placed);
    has_spilled = true;
    return nullptr;
  }
  if (below_min) {
    if (n.left != no_address) return &n.left_child(*stream);
    add_leaf(n, pair, true);
    return nullptr;
  }
  if (n.right != no_address) return &n.right_child(*stream);
  add_leaf(n, pair, false);
  return nullptr;
}

template <class K, class V, class H>
void d_map<K, V, H>::place_given_up(node_type& from, pair_type const& pair) {
  // The pair orders before every pair left in `from` and after all of its
  // left subtree: it goes at the end of the last node down the right links
  // from the left child, or in a new leaf there, where a descent comparing
  // keys would take it too. Placed without a comparison, it is never lost
  // between the two places: with the journal off nothing gives the pair
  // back to `from`, and a key whose codec would not decode it on the way
  // down lost it, the new pair holding its slot.
  if (from.left == no_address) {
    add_leaf(from, pair, true);
    return;
  }
  word_t const limit = max_node_count();
  node_type* n = &from.left_child(*stream);
  for (word_t depth = 0; n->right != no_address; ++depth) {
    if (depth > limit) throw io_tools::corrupt_file(*stream);
    n = &n->right_child(*stream);
  }
  if (n->full()) {
    add_leaf(*n, pair, false);
  } else {
    place(*n, pair, static_cast<int>(n->count));
  }
}

template <class K, class V, class H>
void d_map<K, V, H>::place(node_type& n, pair_type const& pair, int known) {
  int const at =
      known >= 0 ? n.add_sorted_at(pair, static_cast<std::size_t>(known)) : n.add_sorted(pair);
  // The links stay: the count and the slots from the new pair on change.
  n.store_added(*stream, at);
  ++size_;
  write_header_word(map_header::size_offset, size_);
  if (n.full()) ++full_nodes;
}

template <class K, class V, class H>
void d_map<K, V, H>::add_leaf(node_type& n, pair_type const& pair, bool on_left) {
  // The leaf is written and put on the chain before its parent names it; the
  // chain head goes to the header at once so that no node is ever missing
  // from the chain on disk.
  word_t const address = reserve_node();
  // The new leaf's object holds what loading its record would give (blank
  // slots past its pair), so it stays cached as n's child: the next insert
  // there needs no load, and its record's blank slots need no rewriting.
  auto leaf = std::make_unique<node_type>(&node_list);
  leaf->address = address;
  leaf->parent = n.address;
  leaf->next = chain_head;
  leaf->add_sorted(pair);
  leaf->store(*stream);
  chain_head = address;
  write_header_word(map_header::chain_head_offset, chain_head);
  if (on_left) {
    n.left = address;
  } else {
    n.right = address;
  }
  (on_left ? n.left_node : n.right_node) = leaf.get();
  node_list.push_back(leaf.release());
  // Only a link changed; the used slots hold what the record does.
  n.store_links(*stream);
  ++size_;
  write_header_word(map_header::size_offset, size_);
  // A shape that does not know n is stale; the next balance reads it afresh.
  if (shape_.built() && !shape_.add_leaf(n.address, address, on_left)) shape_.clear();
}

// ---------------------------------------------------------------------------
// Erasing pairs

template <class K, class V, class H>
bool d_map<K, V, H>::erase(K const& key) {
  return changing([&] { return erase_pair(key); });
}

template <class K, class V, class H>
bool d_map<K, V, H>::erase_pair(K const& key) {
  int slot = -1;
  node_type* n = locate(key, slot);
  if (!n) return false;
  pair_type const gone = n->pairs[static_cast<std::size_t>(slot)];
  n->remove_at(slot);
  n->store(*stream);
  --size_;
  write_header_word(map_header::size_offset, size_);
  if (n->count == 0) {
    word_t const emptied = n->address;
    clear_node_list();
    if (size_ == 0) {
      reset_to_empty(emptied);
    } else {
      drop_node(emptied);
    }
    root.load(*stream);
  }
  word_t const key_block = map_owned_block<K>::of(gone.key);
  word_t const value_block = map_owned_block<V>::of(gone.value);
  if (value_block != no_address && value_block != key_block) alloc->deallocate(value_block);
  if (key_block != no_address) alloc->deallocate(key_block);
  return true;
}

template <class K, class V, class H>
void d_map<K, V, H>::reset_to_empty(word_t at) {
  // The last pair was in the root, the only node of the tree; every other
  // node on the chain is empty (the node grab made, behind a root that put
  // made) and goes, so the map is as a new one and fills up the same way.
  if (at != root.address) throw io_tools::corrupt_file(*stream);
  std::vector<word_t> others;
  word_t const limit = max_node_count();
  for (word_t n = chain_head, steps = 0; n != no_address; n = head_at(n).next, ++steps) {
    if (steps > limit) throw io_tools::corrupt_file(*stream);
    if (n == at) continue;
    if (head_at(n).count != 0) throw io_tools::corrupt_file(*stream);
    others.push_back(n);
  }
  auto const empty = std::make_unique<node_type>();
  empty->address = at;
  empty->load(*stream);
  if (empty->left != no_address || empty->right != no_address) {
    throw io_tools::corrupt_file(*stream);
  }
  empty->next = no_address;
  empty->store(*stream);
  chain_head = at;
  map_header const header{0, at, at};
  header.write(*stream, header_address);
  for (word_t n : others) alloc->deallocate(n);
  shape_.clear();
}

template <class K, class V, class H>
void d_map<K, V, H>::drop_node(word_t at) {
  auto const x = std::make_unique<node_type>();
  x->address = at;
  x->load(*stream);
  word_t leaving = at;
  if (x->left != no_address && x->right != no_address) {
    // The next node in key order, the leftmost of the right subtree, has no
    // left child: its pairs fit x's place in the order, and it leaves.
    word_t const limit = max_node_count();
    leaving = x->right;
    for (word_t steps = 0;; ++steps) {
      if (steps > limit) throw io_tools::corrupt_file(*stream);
      word_t const further = head_at(leaving).left;
      if (further == no_address) break;
      leaving = further;
    }
    auto const next = std::make_unique<node_type>();
    next->address = leaving;
    next->load(*stream);
    x->pairs = next->pairs;
    x->count = next->count;
    x->note_edges();
    x->store(*stream);
  }
  unlink_from_tree(leaving);
  unchain(leaving);
}

template <class K, class V, class H>
void d_map<K, V, H>::unlink_from_tree(word_t at) {
  map_node_head const h = head_at(at);
  if (h.left != no_address && h.right != no_address) throw io_tools::corrupt_file(*stream);
  word_t const child = h.left != no_address ? h.left : h.right;
  if (child != no_address) write_link(child, map_node_head::parent_offset, h.parent);
  if (h.parent == no_address) {
    // The root leaves only for its child: the map still holds pairs.
    if (at != root.address || child == no_address) throw io_tools::corrupt_file(*stream);
    root.address = child;
    write_header_word(map_header::root_offset, child);
  } else {
    relink_child(h.parent, at, child);
  }
  // The cache follows the unlinking, or is dropped and read afresh by the
  // next balance when it does not know the node.
  if (shape_.built() && !shape_.remove(at)) shape_.clear();
}

template <class K, class V, class H>
void d_map<K, V, H>::unchain(word_t at) {
  word_t const next = head_at(at).next;
  if (next != no_address) {
    // The chain then reads ... -> at (next's record) -> next's successor.
    move_record(next, at, head_at(next).next);
    return;
  }
  // At the tail, the chain's head moves to the tail instead.
  word_t const head = chain_head;
  if (head == at) throw io_tools::corrupt_file(*stream);  // the other nodes are off the chain
  chain_head = head_at(head).next;
  write_header_word(map_header::chain_head_offset, chain_head);
  move_record(head, at, no_address);
}

template <class K, class V, class H>
void d_map<K, V, H>::move_record(word_t from, word_t to, word_t next) {
  auto const moved = std::make_unique<node_type>();
  moved->address = from;
  moved->load(*stream);
  moved->address = to;
  moved->next = next;
  moved->store(*stream);
  // A node outside the tree (the empty one grab made) has no neighbours.
  bool const in_tree = from == root.address || moved->parent != no_address;
  if (in_tree) {
    if (from == root.address) {
      root.address = to;
      write_header_word(map_header::root_offset, to);
    } else {
      relink_child(moved->parent, from, to);
    }
    if (moved->left != no_address) write_link(moved->left, map_node_head::parent_offset, to);
    if (moved->right != no_address) write_link(moved->right, map_node_head::parent_offset, to);
    if (shape_.built() && !shape_.rename(from, to)) shape_.clear();
  }
  alloc->deallocate(from);
}

template <class K, class V, class H>
void d_map<K, V, H>::relink_child(word_t parent, word_t from, word_t to) {
  map_node_head const p = head_at(parent);
  if (p.left == from) {
    write_link(parent, map_node_head::left_offset, to);
  } else if (p.right == from) {
    write_link(parent, map_node_head::right_offset, to);
  } else {
    throw io_tools::corrupt_file(*stream);  // the parent does not know the node
  }
}

// ---------------------------------------------------------------------------
// Balancing and printing

template <class K, class V, class H>
void d_map<K, V, H>::use_shape(bool on) {
  use_shape_ = on;
  shape_.clear();
}

template <class K, class V, class H>
void d_map<K, V, H>::rebalance() {
  auto const started = std::chrono::steady_clock::now();
  word_t const old_root = root.address;
  long const shifts_before = stats.shifts + stats.shifts4;
  ++stats.runs;
  if (use_shape_ && (!shape_.built() || shape_.root() != root.address)) {
    shape_.build(*stream, root.address, layout::record_size);
  }
  bool settled = false;
  for (int pass = 0; pass < max_balance_passes && !settled; ++pass) {
    settled = !(use_shape_ ? balance_pass_with_shape() : balance_pass());
  }
  if (!settled) ++stats.cut_short;
  if (root.address != old_root) write_header_word(map_header::root_offset, root.address);
  // A run that rotated nothing changed no record; the cached nodes still
  // hold what the file does, and a map that may keep them saves reading
  // them all again (most runs are such).
  quiet_balance_ = use_shape_ && stats.shifts + stats.shifts4 == shifts_before;
  if (!(quiet_balance_ && keep_cache_when_quiet)) clear_node_list();
  stats.seconds +=
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

template <class K, class V, class H>
bool d_map<K, V, H>::balance_pass() {
  ++stats.passes;
  bool changed = false;
  auto x = std::make_unique<node_type>(&node_list);
  std::vector<word_t> pending{root.address};
  word_t const limit = max_node_count();
  for (word_t visits = 0; !pending.empty(); ++visits) {
    if (visits > limit) throw io_tools::corrupt_file(*stream);
    x->address = pending.back();
    pending.pop_back();
    x->load(*stream);
    balance_node(*x, changed);
    if (x->left != no_address) pending.push_back(x->left);
    if (x->right != no_address) pending.push_back(x->right);
  }
  return changed;
}

template <class K, class V, class H>
bool d_map<K, V, H>::balance_pass_with_shape() {
  // Visits the nodes in the order of balance_pass, but rotates only where the
  // shape shows uneven spines and passes over subtrees that hold none.
  ++stats.passes;
  bool changed = false;
  auto x = std::make_unique<node_type>(&node_list);
  std::vector<unloaded_visit> unloaded;
  std::vector<word_t> pending{root.address};
  word_t const limit = max_node_count();
  for (word_t visits = 0; !pending.empty(); ++visits) {
    if (visits > limit) throw io_tools::corrupt_file(*stream);
    word_t const at = pending.back();
    pending.pop_back();
    if (!shape_.uneven_below(at)) {
      unloaded.push_back({at, true});
      continue;
    }
    if (!shape_.uneven(at)) {
      unloaded.push_back({at, false});
      if (shape_.left(at) != no_address) pending.push_back(shape_.left(at));
      if (shape_.right(at) != no_address) pending.push_back(shape_.right(at));
      continue;
    }
    load_as_reading_pass(*x, unloaded, at);
    unloaded.clear();
    balance_node(*x, changed);
    if (x->left != no_address) pending.push_back(x->left);
    if (x->right != no_address) pending.push_back(x->right);
  }
  return changed;
}

template <class K, class V, class H>
void d_map<K, V, H>::load_as_reading_pass(node_type& x, std::vector<unloaded_visit> const& unloaded,
                                          word_t at) {
  // A load fills slots 0 to count-1 and leaves the rest as they were, and a
  // rotation stores all 64 slots of x. So slot i of x holds the pair of the
  // latest node loaded into it with more than i pairs. Going back from `at`,
  // every node with more pairs than all later ones supplies the slots between
  // its count and theirs; loading those nodes oldest first, then `at`,
  // leaves exactly those pairs in x.
  word_t filled = map_node_head::read(*stream, at, layout::record_size).count;
  std::vector<word_t> sources;
  auto const consider = [&](word_t n) {
    word_t const count = map_node_head::read(*stream, n, layout::record_size).count;
    if (count > filled) {
      sources.push_back(n);
      filled = count;
    }
    return filled < node_type::max_pairs;
  };
  for (auto it = unloaded.rbegin(); it != unloaded.rend() && filled < node_type::max_pairs; ++it) {
    if (it->whole_subtree) {
      shape_.for_each_in_reverse_visit(it->address, consider);
    } else {
      consider(it->address);
    }
  }
  for (auto it = sources.rbegin(); it != sources.rend(); ++it) {
    x.address = *it;
    x.load(*stream);
  }
  x.address = at;
  x.load(*stream);
}

template <class K, class V, class H>
void d_map<K, V, H>::balance_node(node_type& x, bool& changed) {
  // Each shift lowers the spine difference by exactly 2 or 4, so the loops
  // end; the bound only guards against a damaged tree.
  word_t const limit = max_node_count();
  word_t steps = 0;
  // The spine lengths, from the shape when there is one (it is kept equal to
  // the file's), otherwise by following the links in the file.
  int lc = 0, rc = 0;
  auto const count_spines = [&] {
    lc = shape_.built() ? shape_.left_count(x.address) : x.get_left_count(*stream);
    rc = shape_.built() ? shape_.right_count(x.address) : x.get_right_count(*stream);
  };
  count_spines();
  enum class turn { left, right, left4, right4 };
  auto const shift = [&](turn t) {
    // The shape makes the same rotation in memory afterwards.
    bool const from_left = t == turn::left || t == turn::left4;
    bool const twice = t == turn::left4 || t == turn::right4;
    word_t const rotated_at = x.address;
    switch (t) {
      case turn::left:
        x.shift_left(*stream, root);
        break;
      case turn::right:
        x.shift_right(*stream, root);
        break;
      case turn::left4:
        x.shift_left4(*stream, root);
        break;
      case turn::right4:
        x.shift_right4(*stream, root);
        break;
    }
    ++(twice ? stats.shifts4 : stats.shifts);
    if (++steps > limit) throw io_tools::corrupt_file(*stream);
    changed = true;
    // The node objects the shift made are stale now and nothing refers to
    // them (x and root were reloaded): free them, so a long run does not
    // pile them up.
    clear_node_list();
    if (shape_.built()) shape_.rotate(rotated_at, from_left, twice);
    count_spines();
  };
  if (lc > rc) {
    while (lc - rc > 2) shift(turn::left4);
    while (lc - rc > 1) shift(turn::left);
  } else if (rc > lc) {
    while (rc - lc > 2) shift(turn::right4);
    while (rc - lc > 1) shift(turn::right);
  }
}

template <class K, class V, class H>
void d_map<K, V, H>::print_tree_node(node_type* node, std::ostream& out, int depth) {
  checked();
  struct item {
    word_t address;
    int depth;
  };
  auto const print = [&out](node_type const& n, int level) {
    out << std::string(static_cast<std::size_t>(level) * 3, ' ');
    // A node without pairs (the root of an empty map) has no first key.
    if (n.count > 0) out << plain_key(n.first_key());
    out << '\n';
    out.flush();
  };
  // Pre-order with an explicit stack (right pushed first, so left comes
  // first): a deep tree cannot exhaust the call stack.
  std::vector<item> pending;
  auto const push_children = [&pending](node_type const& n, int level) {
    if (n.right != no_address) pending.push_back({n.right, level + 1});
    if (n.left != no_address) pending.push_back({n.left, level + 1});
  };
  print(*node, depth);
  push_children(*node, depth);
  auto n = std::make_unique<node_type>();
  word_t const limit = max_node_count();
  for (word_t visits = 0; !pending.empty(); ++visits) {
    if (visits > limit) throw io_tools::corrupt_file(*stream);
    item const at = pending.back();
    pending.pop_back();
    n->address = at.address;
    n->load(*stream);
    print(*n, at.depth);
    push_children(*n, at.depth);
  }
}

// The two maps of the system are compiled once, in the library.
extern template class d_map_node<unsigned, unsigned>;
extern template class d_map_node<d_ref<std::string>, d_ref<std::string>>;
extern template class d_map<unsigned, unsigned, unsigned>;
extern template class d_map<d_ref<std::string>, d_ref<std::string>, std::string>;
extern template class d_map_assign<unsigned, unsigned, unsigned>;
extern template class d_map_assign<d_ref<std::string>, d_ref<std::string>, std::string>;
extern template class d_map_iterator<unsigned, unsigned, unsigned>;
extern template class d_map_iterator<d_ref<std::string>, d_ref<std::string>, std::string>;

}  // namespace disk_tools

#include "disk_tools/d_typed_map.h"
