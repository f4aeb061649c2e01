// The hash map of keys and values of fixed width (trivially copyable, without
// a codec): one block holding a table of 8-byte slot words and, after it, the
// pairs packed in the order they were added (hashmap_slots in
// hashmap_records.h). A slot word keeps part of its key's hash and the number
// of its pair, and a key's word sits in the first slot from its home on that
// is empty or names it, so a lookup is a hash, a read in place of a slot word
// or two and of one pair, and a compare; it copies nothing but the value found
// and allocates nothing. A put writes its pair, one slot word and the count;
// only growing the table allocates.
//
// d_hashmap.h chooses this layout for the maps it suits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>
#include <set>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "disk_tools/codec.h"
#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/compares_as.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/hashmap_hashes.h"
#include "disk_tools/detail/hashmap_records.h"
#include "disk_tools/detail/root_kind.h"

namespace disk_tools {
namespace hashmap_detail {

// A growth policy as given to set_max_load_factor: 0 (never grow) or a
// positive, finite count of keys per bucket or slot. Anything else is a
// mistake, not a request to stop growing.
inline double checked_load_factor(double f) {
  if (!(f >= 0) || !std::isfinite(f)) {
    throw error(errc::bad_size, "invalid load factor: give 0 (never grow) or a positive number...");
  }
  return f;
}

// The header a map's handle slot names.
inline word_t header_of(io_tools::bfstream& s, word_t handle) {
  word_t const header = s.read_word(handle);
  if (header == no_address) throw error(errc::rolled_back, rolled_back_message);
  return header;
}

// Types kept as their own bytes in a slot.
template <class T>
constexpr bool fixed_width_v = std::is_trivially_copyable<T>::value && !has_codec_v<T> &&
                               !std::is_same<T, std::string>::value;

template <class K, class V>
class slot_map;

// The index of the lowest bit set in bits, which is not 0.
inline unsigned lowest_bit(unsigned bits) {
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctz(bits));
#else
  unsigned i = 0;
  while ((bits & 1u) == 0) bits >>= 1, ++i;
  return i;
#endif
}

// A position among a slot map's keys, in the order of their entries. It holds
// a copy of the pair it stands on. When this opening changed the map since,
// it reads its key's value again, and follows the erases, each of which
// moves the last entry into the erased one's place: an erase of its own key
// leaves an entry it has still to meet in its place, which ++ visits ("hash
// map entry no longer exists..." when it is read), and an entry it has still
// to meet moved behind it is kept by its key and visited once the walk has
// passed the last entry. So a walk meets every key that was there all along
// once, however many others it erases, as a std::unordered_map walk does.
// Once other openings' commits were followed since it landed, or a rollback
// took back the change it landed after, it throws "iterator is stale..."
// instead.
template <class K, class V>
class slot_iterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = std::pair<K, V>;
  using difference_type = std::ptrdiff_t;
  using pointer = value_type const*;
  using reference = value_type const&;

  // The end of every map.
  slot_iterator() = default;
  // The entry entry of the map; the end when there is none.
  slot_iterator(slot_map<K, V>* map, word_t entry)
      : map_(map), database_(map->database()), handle_(map->handle()), link_(map->database()) {
    land(entry);
  }

  reference operator*() const {
    auto const op = standing();
    if (gone_) throw error(errc::out_of_range, "hash map entry no longer exists...");
    return pair_;
  }
  pointer operator->() const { return &**this; }
  slot_iterator& operator++() {
    auto const op = standing();
    if (!in_later_) land(gone_ ? entry_ : entry_ + 1);
    if (in_later_ || entry_ == no_address) land_on_later();
    return *this;
  }
  slot_iterator operator++(int) {
    slot_iterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(slot_iterator const& other) const { return entry_ == other.entry_; }
  bool operator!=(slot_iterator const& other) const { return !(*this == other); }

  // The entry it stands on; -1 at the end.
  word_t entry() const { return entry_; }
  // Whether this is a position of the map whose handle slot is handle in
  // database; the end, of every map, cannot tell.
  bool of_map(d_database const* database, word_t handle) const {
    return handle_ == no_address || (database_ == database && handle_ == handle);
  }

 private:
  db_operation standing() const {
    if (entry_ == no_address) throw error(errc::out_of_range, "no entry at the end position...");
    db_operation op = link_.operation();
    // A map removed since: its blocks may serve another container by now.
    link_.require_not_gone(handle_);
    link_.check_copy(handle_, copied_);
    if (link_.changed_since(handle_, copied_.changes)) catch_up();
    return op;
  }
  // Follows the moves made since the copy, then reads its key again.
  void catch_up() const {
    if (!in_later_) follow_moves();
    if (!gone_) {
      word_t const at = map_->entry_of(pair_.first);
      if (at == no_address || !map_->read_entry(at, pair_)) {
        gone_ = true;
      } else if (in_later_) {
        entry_ = at;
      }
    }
    copied_ = link_.stamp();
  }
  // Replays the erases' moves since the copy. The entries from ahead on are
  // the ones it has still to meet in order; one moved from there (or from an
  // entry such a move filled before) to behind it is kept for later by its
  // key, as the table holds it now.
  void follow_moves() const {
    db_state::entry_moves const* moves = link_.moves_of(handle_);
    if (!moves) return;
    if (copied_.changes < moves->forgotten_until) {
      throw error(errc::out_of_range,
                  "iterator is stale: more erases since it was made than it can follow; begin the "
                  "walk again...");
    }
    std::vector<word_t> behind;
    auto const since = std::upper_bound(
        moves->latest.begin(), moves->latest.end(), copied_.changes,
        [](std::uint64_t copied, db_state::entry_move const& m) { return copied < m.at; });
    for (auto m = since; m != moves->latest.end(); ++m) {
      word_t const ahead = gone_ ? entry_ : entry_ + 1;
      auto const filled = std::find(behind.begin(), behind.end(), m->from);
      bool const unmet = m->from >= ahead || filled != behind.end();
      if (filled != behind.end()) behind.erase(filled);
      behind.erase(std::remove(behind.begin(), behind.end(), m->to), behind.end());
      if (!gone_ && m->to == entry_) {
        gone_ = true;  // its key went; the entry moved in is met next
      } else if (unmet && m->to < ahead) {
        behind.push_back(m->to);
      }
    }
    for (word_t at : behind) {
      value_type pair;
      if (map_->read_entry(at, pair)) later_.push_back(pair.first);
    }
  }
  void land(word_t entry) const {
    link_.db();
    entry_ = map_->read_entry(entry, pair_) ? entry : no_address;
    gone_ = false;
    copied_ = link_.stamp();
  }
  // Past the last entry: stands on the next key kept for later that is still
  // there; at the end when none is.
  void land_on_later() {
    in_later_ = false;
    entry_ = no_address;
    while (!later_.empty()) {
      word_t const at = map_->entry_of(later_.back());
      later_.pop_back();
      if (at == no_address) continue;
      land(at);
      in_later_ = entry_ != no_address;
      if (in_later_) return;
    }
  }

  slot_map<K, V>* map_ = nullptr;
  d_database const* database_ = nullptr;
  word_t handle_ = no_address;  // the map's handle slot
  // Where it stands, and what it copied there; brought up to date after a
  // change (hence mutable: reading the pair does not move the iterator).
  mutable word_t entry_ = no_address;
  mutable value_type pair_;
  mutable bool gone_ = false;  // its key was erased; an entry it has still to meet took its place
  mutable std::vector<K> later_;  // keys moved behind it that it has still to meet
  bool in_later_ = false;         // standing on one of them, past the last entry
  db_handle link_;
  mutable db_handle::copy_stamp copied_;  // as pair_ was copied
};

// The value of one key, as m[key] gives it: read and written through the map
// each time, since an erase may move the key's entry.
template <class K, class V>
class slot_assign : detail::compares_as<slot_assign<K, V>, V> {
 public:
  slot_assign(slot_map<K, V>* map, K const& key) : map_(map), key_(key) {}
  slot_assign(slot_assign const&) = default;
  V get_data() const {
    V value{};
    if (!map_->get(key_, value)) {
      throw error(errc::out_of_range, "hash map entry no longer exists...");
    }
    return value;
  }
  operator V() const { return get_data(); }
  // Stores value as the key's value; a key erased since the proxy was taken
  // is not added back (as with chains, "hash map entry no longer exists...").
  slot_assign& operator=(V const& value) {
    if (!map_->replace(key_, value)) {
      throw error(errc::out_of_range, "hash map entry no longer exists...");
    }
    return *this;
  }
  // m[a] = m[b] stores b's value under a; the implicit copy would aim this
  // proxy at b and store nothing.
  slot_assign& operator=(slot_assign const& other) { return *this = other.get_data(); }

 private:
  slot_map<K, V>* map_;
  K key_;
};

template <class K, class V>
class slot_map {
  static constexpr word_t key_width = static_cast<word_t>(sizeof(K));
  static constexpr word_t value_width = static_cast<word_t>(sizeof(V));
  static constexpr word_t width = key_width + value_width;

 public:
  using iterator = slot_iterator<K, V>;
  using value_type = typename iterator::value_type;
  using size_type = std::size_t;

  // The map kept in the root slot called name; made with room for buckets
  // keys (slots rounded up to a power of 2) when new, otherwise buckets is
  // ignored. The policy starts at 0: the table grows only when full.
  slot_map(std::string const& name, long buckets, d_env* env, d_root mode = d_root::open_or_create)
      : database_(env->database), link_(require_open(env->database)) {
    attach(name, buckets, 0, mode);
  }
  // The map kept in the root slot called name, with its table and policy;
  // when new, made with room for default_buckets keys and a maximum load
  // factor of 1.
  slot_map(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : database_(env->database), link_(require_open(env->database)) {
    attach(name, default_buckets, 1.0, mode);
  }
  static constexpr long default_buckets = 8;

  slot_map(slot_map const&) = delete;
  slot_map& operator=(slot_map const&) = delete;

  // True, with the key's value in value, when the key is present; false,
  // with value left as it was, when it is absent.
  bool get(K const& key, V& value) {
    auto const op = checked_read();
    char const* const entry = look_up(key, hash_of(key), placed_).entry;
    if (!entry) return false;
    std::memcpy(&value, entry + key_width, sizeof(V));
    return true;
  }
  bool contains(K const& key) {
    auto const op = checked_read();
    return look_up(key, hash_of(key), placed_).entry != nullptr;
  }

  // Stores the pair: writes the value of a present key in its entry, or a
  // new entry after the last and a slot naming it (after the table has
  // grown, when it must). Returns the entry's address.
  long put(K const& key, V const& value) {
    long const hash = hash_of(key);
    ask_for_home(hash);
    long const at = changing([&] { return put_pair(key, value, hash); });
    placed_ = table();
    return at;
  }

  slot_assign<K, V> operator[](K const& key) {
    auto const op = reading();
    if (find_slot(key, table()) == no_address) {
      // Added unless another opening added it since the look above.
      changing([&] {
        if (find_slot(key, table()) == no_address) put_pair(key, V(), hash_of(key));
      });
      placed_ = table();
    }
    return slot_assign<K, V>(this, key);
  }

  // Removes key. False, with nothing changed, when it is absent.
  bool erase(K const& key) {
    bool const erased = changing([&] { return erase_key(key); });
    placed_ = table();
    return erased;
  }
  // Removes the pair pos stands on and returns the position after it, so
  // that it = m.erase(it) walks on as with a std::unordered_map: the last
  // entry moves into the erased one's place, which the walk visits next.
  // "no entry at the end position..." at end().
  iterator erase(iterator pos) {
    // Another map's position would erase its key from this one.
    if (!pos.of_map(database_, handle_)) {
      throw error(errc::out_of_range,
                  "iterator of another hash map: pass one this hash map made...");
    }
    erase(K(pos->first));
    return ++pos;
  }

  iterator begin() {
    auto const op = reading();
    return iterator(this, 0);
  }
  iterator end() const { return iterator(); }
  iterator find(K const& key) {
    auto const op = reading();
    char const* base = table();
    word_t const slot = find_slot(key, base);
    if (slot == no_address) return end();
    return iterator(this, hashmap_slots::entry_of(slot_word(base, slot)));
  }

  size_type size() const { return static_cast<size_type>(stored_header().count); }
  bool empty() const { return size() == 0; }

  // Moves the keys to a new table of at least n slots, with room for them.
  void rehash(long n) {
    if (n < 1 || n > hashmap_header::max_buckets) {
      throw error(errc::bad_size, "invalid container size...");
    }
    changing([&] {
      word_t const slots = slots_with_room(slots_for(n), count_);
      if (slots != slots_) move_to(slots);
    });
    placed_ = table();
  }
  // Makes room for keys keys without growing.
  void reserve(long keys) {
    if (keys < 0 || keys > hashmap_slots::capacity(hashmap_header::max_buckets)) {
      throw error(errc::bad_size, "invalid container size...");
    }
    changing([&] {
      word_t slots = slots_;
      while (holds_more(slots, keys)) slots *= 2;
      if (slots != slots_) move_to(slots);
    });
    placed_ = table();
  }

  // The growth policy, kept in the table's header: past f keys per slot a
  // put first doubles the table. A full table grows whatever f is (0, which
  // grows no other table, included).
  void set_max_load_factor(double f) {
    double const load = hashmap_detail::checked_load_factor(f);
    changing([&] {
      hashmap_slots::write_policy(*stream_, header_, load);
      max_load_ = load;
    });
    placed_ = table();
  }
  double max_load_factor() {
    auto const op = reading();
    return max_load_;
  }

  long count() const { return stored_header().count; }
  long buckets() const { return stored_header().buckets; }
  long header_address() const {
    link_.db();
    // A map removed since: its root's slot may name another root's header.
    link_.require_not_gone(handle_);
    return header_of(*stream_, handle_);
  }

  // Everything wrong with the table, one sentence each: a header that is not
  // a block in use or not a slot table of this object's widths, a slot that
  // names no entry, an entry named twice or never, a slot whose hash is not
  // its key's, a key not reachable from its home, or a key twice.
  std::vector<std::string> check() const {
    std::vector<std::string> problems;
    try {
      link_.db();
      word_t const header = header_of(*stream_, handle_);
      bool in_use = false;
      for (auto const& r : database_->allocator()->allocation_list()) in_use |= r.data == header;
      if (!in_use) problems.push_back("map header is not a block in use");
      hashmap_header const h = hashmap_header::read(*stream_, header);
      if (!fits(h)) return {"map is not a slot table of this object's key and value widths"};
      check_slots(header, h, problems);
    } catch (error const& e) {
      problems.push_back(std::string("unreadable hash map record: ") + e.what());
    }
    return problems;
  }

  // For the iterator: the pair of entry entry; false when there is no such
  // entry.
  bool read_entry(word_t entry, std::pair<K, V>& pair) const {
    hashmap_header const h = stored_header();
    if (entry >= h.count) return false;
    char const* at = stream_->view(hashmap_slots::entry_address(header_, h.buckets, entry, width),
                                   static_cast<std::size_t>(width));
    if (!at) throw io_tools::corrupt_file(*stream_);
    std::memcpy(&pair.first, at, sizeof(K));
    std::memcpy(&pair.second, at + key_width, sizeof(V));
    return true;
  }
  // For the iterator: the entry of key in the table as it is now (this
  // object's cache read again first, when another object or a rollback
  // changed the map); -1 when it is absent.
  word_t entry_of(K const& key) {
    auto const op = reading();
    char const* base = table();
    word_t const slot = find_slot(key, base);
    return slot == no_address ? no_address : hashmap_slots::entry_of(slot_word(base, slot));
  }
  d_database* database() const { return database_; }
  word_t handle() const { return handle_; }

 private:
  // A proxy stores through replace.
  friend class slot_assign<K, V>;

  // Writes value over a present key's value, in its entry; false, with
  // nothing written, when the key is absent.
  bool replace(K const& key, V const& value) {
    bool const replaced = changing([&] {
      char const* const base = placed_;
      char const* const entry = look_up(key, hash_of(key), base).entry;
      if (!entry) return false;
      word_t const at = table_at_ + static_cast<word_t>(entry - base);
      stream_->write_at(at + key_width, &value, sizeof(V));
      return true;
    });
    placed_ = table();
    return replaced;
  }

  void attach(std::string const& name, long buckets, double max_load, d_root mode) {
    stream_ = database_->stream();
    attach_at_root(database_, name, root_kind<d_hashmap<K, V, strong_string_hash>>::get(), mode,
                   [&](word_t slot) { grab(slot, buckets, max_load); });
  }
  // Attaches to the table whose handle slot is slot, making it when the slot
  // holds -1.
  void grab(word_t slot, long buckets, double max_load) {
    handle_ = slot;
    // Counted from the root's finding on: a removal followed after it refuses the object.
    link_ = db_handle(database_);
    // The look holds an operation: beside other openings, what the file
    // shows may have moved on since the root was attached.
    if (auto const op = link_.attaching(handle_); stream_->read_word(handle_) != no_address) {
      load_header();
      link_.up_to_date();
      placed_ = table();
      return;
    }
    if (buckets < 1 || buckets > hashmap_header::max_buckets) {
      throw error(errc::bad_size, "invalid container size...");
    }
    link_.own_change(link_.db(), handle_, [&] {
      // Another opening may have made it since the look above.
      if (stream_->read_word(handle_) != no_address) return load_header();
      max_load_ = max_load;
      word_t const slots = slots_with_room(slots_for(buckets), buckets);
      word_t const table = make_table(slots, 0);
      stream_->write_word(handle_, table);
      adopt(table, slots, 0);
    });
    placed_ = table();
  }

  // The database, checked to be open, with the header read afresh when
  // another object or a rollback changed the map since this object's last
  // operation. A read holds the operation until it ends; a change reads
  // under the writer's turn.
  db_operation reading() {
    return link_.reading([this] { refresh(); });
  }
  d_database& checked() {
    return link_.checked([this] { refresh(); });
  }
  template <class Step>
  decltype(auto) changing(Step&& step) {
    return link_.changing(handle_, step, [this] { refresh(); });
  }
  // reading() for the lookups made by the million, which read the table
  // where placed_ keeps it. It too follows other openings' commits
  // (link_.operation()): a table another one moved would otherwise still be
  // read where this object last found it.
  //
  // While the handle is settled, nothing has written to the file since this
  // object last placed its table (every change, whatever it changes, counts
  // as one), so the mapping has not moved and the table lies where it was.
  db_operation checked_read() {
    if (link_.settled()) return db_operation(*database_, false);
    return reading();
  }
  // Asks the processor for the cache lines of the four slot words look_up
  // reads first for a key whose hash is hash, when the table lies where
  // placed_ keeps it. In a table larger than the caches, those words are a
  // miss in memory for nearly every put, and the put waited for them with
  // nothing else to do; asked for first, they come in while the change
  // begins. Only a hint: the put reads the table afresh all the same.
  void ask_for_home(long hash) const {
#if defined(__GNUC__)
    if (!link_.settled()) return;
    word_t const home = home_in_table(hash);
    if (home + 3 > mask_) return;
    char const* const at = placed_ + home * static_cast<word_t>(word_size);
    __builtin_prefetch(at);
    __builtin_prefetch(at + 4 * word_size - 1);
#else
    (void)hash;
#endif
  }
  void refresh() {
    if (link_.stale(handle_)) {
      load_header();
      link_.up_to_date();
    }
    placed_ = table();
  }

  hashmap_header stored_header() const {
    return hashmap_header::read(*stream_, header_address());
  }

  static bool fits(hashmap_header const& h) {
    return h.slots && h.kind == hash_kind::strong && h.key_width == key_width &&
           h.value_width == value_width;
  }

  void load_header() {
    word_t const header = header_of(*stream_, handle_);
    hashmap_header const h = hashmap_header::read(*stream_, header);
    if (!fits(h)) {
      throw error(errc::wrong_kind,
                  "hash map is not a slot table of this map's key and value widths...");
    }
    max_load_ = h.max_load;
    adopt(header, h.buckets, h.count);
  }
  void adopt(word_t header, word_t slots, word_t count) {
    header_ = header;
    slots_ = slots;
    count_ = count;
    bits_ = 0;
    while ((word_t{1} << bits_) < slots) ++bits_;
    home_shift_ = 64 - std::max(bits_, 1);
    mask_ = slots - 1;
    entries_at_ = slots * static_cast<word_t>(word_size);
    table_at_ = hashmap_slots::slot_address(header, 0);
    table_end_ = header + hashmap_slots::block_size(slots, width);
  }

  // The table (slots, then entries) in place, checked to lie in the file;
  // valid until the file next grows.
  char const* table() const {
    char const* base = stream_->view_range(table_at_, table_end_);
    if (!base) throw io_tools::corrupt_file(*stream_);
    return base;
  }
  std::uint64_t slot_word(char const* base, word_t slot) const {
    return static_cast<std::uint64_t>(decode_word(base + slot * static_cast<word_t>(word_size)));
  }
  // The entry a used slot word names in the table at base. An entry number
  // the header's count does not cover is damage.
  char const* entry_in(char const* base, std::uint64_t word) const {
    word_t const entry = hashmap_slots::entry_of(word);
    // One unsigned test for both ends: the count is never negative.
    if (static_cast<std::uint64_t>(entry) >= static_cast<std::uint64_t>(count_)) {
      throw io_tools::corrupt_file(*stream_);
    }
    return base + entries_at_ + entry * width;
  }
  static long hash_of(K const& key) {
    char bytes[sizeof(K)];
    std::memcpy(bytes, &key, sizeof(K));
    return strong_string_hash::of(bytes, sizeof(K));
  }

  // Where a lookup ended: the slot naming the key and its entry in place;
  // or, when the key is absent, entry null and slot the empty slot that ended
  // the walk from the key's home (no_address when a damaged table has none).
  struct spot {
    word_t slot;
    char const* entry;
  };

  // The home slot of a key whose hash is hash: home_of without its test for
  // a table of one slot, whose mask is 0.
  word_t home_in_table(long hash) const {
    return static_cast<word_t>(static_cast<std::uint64_t>(hash) >> home_shift_) & mask_;
  }
  // The spot of key, whose hash is hash, in the table at base.
  //
  // The four slots from home on are read together and their parts of the
  // hash compared with the key's at once, with no branch on any one slot's
  // bytes: such a branch is mispredicted whenever the key lies in another
  // slot than last time, and a mispredicted branch makes the processor wait
  // for the slot's cache line before it starts on the caller's next lookup.
  // A slot that matches names the key when its entry holds it (keys are
  // stored once, so no other slot can). The rest is left to the walk: a key
  // further on, a part of the hash that another key shares, an absent key, a
  // key whose part is 0 (as an empty slot's is), and the four slots running
  // past the table's end. A table never fills, so the walk meets an empty
  // slot; its bound stands guard against a damaged file all the same.
  spot look_up(K const& key, long hash, char const* base) const {
    std::uint64_t const tag = static_cast<std::uint64_t>(hash) >> hashmap_slots::tag_shift;
    word_t const home = home_in_table(hash);
    if (tag != 0 && home + 3 <= mask_) {
      unsigned const matches = matching_four(base, home, tag);
      if (matches != 0) {
        word_t const slot = home + lowest_bit(matches);
        char const* const at = entry_in(base, slot_word(base, slot));
        if (std::memcmp(at, &key, sizeof(K)) == 0) return {slot, at};
      } else {
        // No slot of the four keeps the key's part of the hash, so the walk
        // would pass each up to the first empty one, and end there: the key
        // is absent (a put of a new key, mostly).
        unsigned const empty = empty_four(base, home);
        if (empty != 0) return {home + lowest_bit(empty), nullptr};
        // All four are used by other keys: the walk goes on after them.
        return walk_to(key, tag, (home + 4) & mask_, base);
      }
    }
    return walk_to(key, tag, home, base);
  }
  // The slot naming key in the table at base, -1 when it is absent.
  word_t find_slot(K const& key, char const* base) const {
    spot const s = look_up(key, hash_of(key), base);
    return s.entry ? s.slot : no_address;
  }
  // Bit i set when slot home + i keeps tag as its part of the hash, for i
  // from 0 to 3.
  static unsigned matching_four(char const* base, word_t home, std::uint64_t tag) {
    char const* const at = base + home * static_cast<word_t>(word_size);
#if defined(__SSE2__)
    // The high halves of the four little-endian words, side by side.
    __m128 const low = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(at)));
    __m128 const high =
        _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(at + 16)));
    __m128i const tags = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
    __m128i const same = _mm_cmpeq_epi32(tags, _mm_set1_epi32(static_cast<int>(tag)));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(same)));
#else
    unsigned matches = 0;
    for (word_t i = 0; i < 4; ++i) {
      auto const word = static_cast<std::uint64_t>(decode_word(at + i * word_size));
      matches |= static_cast<unsigned>(hashmap_slots::tag_of(word) == tag) << i;
    }
    return matches;
#endif
  }
  // Bit i set when slot home + i is empty, for i from 0 to 3.
  static unsigned empty_four(char const* base, word_t home) {
    char const* const at = base + home * static_cast<word_t>(word_size);
#if defined(__SSE2__)
    // A word is empty when both its halves are 0.
    __m128i const zero = _mm_setzero_si128();
    __m128 const low = _mm_castsi128_ps(
        _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(at)), zero));
    __m128 const high = _mm_castsi128_ps(
        _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(at + 16)), zero));
    __m128 const both = _mm_and_ps(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)),
                                   _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
    return static_cast<unsigned>(_mm_movemask_ps(both));
#else
    unsigned empty = 0;
    for (word_t i = 0; i < 4; ++i) {
      empty |= static_cast<unsigned>(decode_word(at + i * word_size) == 0) << i;
    }
    return empty;
#endif
  }
  // look_up's walk from home, kept apart so that its window inlines.
  spot walk_to(K const& key, std::uint64_t tag, word_t home, char const* base) const {
    word_t i = home;
    for (word_t probes = 0; probes < slots_; ++probes, i = (i + 1) & mask_) {
      std::uint64_t const word = slot_word(base, i);
      if (word == 0) return {i, nullptr};
      if (hashmap_slots::tag_of(word) != tag) continue;
      char const* const at = entry_in(base, word);
      if (std::memcmp(at, &key, sizeof(K)) == 0) return {i, at};
    }
    return {no_address, nullptr};
  }
  // The empty slot of the first walk from home on.
  word_t free_slot(word_t home, char const* base) const {
    word_t const mask = slots_ - 1;
    word_t i = home;
    for (word_t probes = 0; probes < slots_; ++probes, i = (i + 1) & mask) {
      if (slot_word(base, i) == 0) return i;
    }
    throw io_tools::corrupt_file(*stream_);
  }

  word_t slot_address(word_t i) const { return hashmap_slots::slot_address(header_, i); }
  word_t entry_address(word_t e) const {
    return hashmap_slots::entry_address(header_, slots_, e, width);
  }

  // The walk of the key, whose hash is hash, is made once: when the key is
  // absent, the walk ends at the empty slot its new word goes to, unless the
  // table grows first.
  // Runs right after checked(), which placed the table.
  long put_pair(K const& key, V const& value, long hash) {
    char const* const base = placed_;
    spot s = look_up(key, hash, base);
    if (s.entry) {
      word_t const at = table_at_ + static_cast<word_t>(s.entry - base);
      stream_->write_at(at + key_width, &value, sizeof(V));
      return at;
    }
    if (holds_more(slots_, count_ + 1)) {
      move_to(slots_ * 2);
      s.slot = free_slot(hashmap_slots::home_of(static_cast<std::uint64_t>(hash), bits_), table());
    }
    if (count_ + 1 > hashmap_slots::capacity(slots_)) {
      throw error(errc::bad_size, "hash map has no room for another key...");
    }
    if (s.slot == no_address) throw io_tools::corrupt_file(*stream_);
    word_t const at = entry_address(count_);
    char bytes[width];
    std::memcpy(bytes, &key, sizeof(K));
    std::memcpy(bytes + key_width, &value, sizeof(V));
    stream_->write_at(at, bytes, sizeof bytes);
    stream_->write_word(slot_address(s.slot),
                        static_cast<word_t>(hashmap_slots::slot_word(hash, count_)));
    hashmap_header::write_count(*stream_, header_, ++count_);
    return at;
  }

  // Moves the last entry into the erased one's place (and its slot to name
  // it there), then empties the key's slot: the slots after it whose home
  // does not lie cyclically in (hole, their slot] would be cut off by the
  // hole, so each such moves into the hole, which moves to where it was.
  bool erase_key(K const& key) {
    char const* base = table();
    word_t hole = find_slot(key, base);
    if (hole == no_address) return false;
    word_t const erased = hashmap_slots::entry_of(slot_word(base, hole));
    word_t const last = count_ - 1;
    if (erased != last) {
      move_entry(last, erased);
      link_.note_move(handle_, last, erased);
    }
    word_t const mask = slots_ - 1;
    base = table();
    for (word_t j = (hole + 1) & mask; j != hole; j = (j + 1) & mask) {
      std::uint64_t const word = slot_word(base, j);
      if (word == 0) break;
      word_t const home = hashmap_slots::home_of(word, bits_);
      if (((j - home) & mask) < ((j - hole) & mask)) continue;
      stream_->write_word(slot_address(hole), static_cast<word_t>(word));
      hole = j;
    }
    stream_->write_word(slot_address(hole), 0);
    hashmap_header::write_count(*stream_, header_, --count_);
    return true;
  }
  // Copies entry from into entry to, and points from's slot at to.
  void move_entry(word_t from, word_t to) {
    char const* base = table();
    char bytes[width];
    std::memcpy(bytes, base + slots_ * static_cast<word_t>(word_size) + from * width, sizeof bytes);
    K moved;
    std::memcpy(&moved, bytes, sizeof(K));
    word_t const slot = find_slot(moved, base);
    if (slot == no_address) throw io_tools::corrupt_file(*stream_);
    stream_->write_at(entry_address(to), bytes, sizeof bytes);
    stream_->write_word(slot_address(slot),
                        static_cast<word_t>(hashmap_slots::slot_word(hash_of(moved), to)));
  }

  // Whether keys keys are more than a table of slots slots may hold: more
  // than its entries have room for, or than the policy allows.
  bool holds_more(word_t slots, word_t keys) const {
    if (keys > hashmap_slots::capacity(slots)) return slots < hashmap_header::max_buckets;
    return max_load_ > 0 && slots < hashmap_header::max_buckets &&
           static_cast<double>(keys) > max_load_ * static_cast<double>(slots);
  }
  // The power of 2 of slots at or above n.
  static word_t slots_for(word_t n) {
    word_t slots = 1;
    while (slots < n) slots *= 2;
    return slots;
  }
  // slots, doubled until its entries have room for keys keys or it is as
  // large as a table can be.
  static word_t slots_with_room(word_t slots, word_t keys) {
    while (hashmap_slots::capacity(slots) < keys && slots < hashmap_header::max_buckets) slots *= 2;
    return slots;
  }

  // A new table block of slots slots holding count entries, all its slots
  // and entries empty (the allocator fills a block with zeros past the
  // header given).
  word_t make_table(word_t slots, word_t count) {
    text_tools::bstringstream block;
    block.reserve(hashmap_slots::slots_offset);
    block.cpy_word(count);
    block.cpy_word(hashmap_slots::table_word(slots, hash_kind::strong));
    block.cpy_word(hashmap_slots::widths_word(key_width, value_width));
    block.cpy_word(hashmap_header::policy_word(max_load_));
    return database_->allocator()->allocate(
        static_cast<long>(hashmap_slots::block_size(slots, width)), block);
  }

  // Moves the map to a new table of slots slots, filled in place in the
  // file: the slots are placed again by the hash bits their words keep, in
  // one pass over the old ones (whose order by home the new table keeps, so
  // the writes go forward), and the entries copied as they are in one write.
  // Laying the table out in memory first and copying it over would touch
  // every byte twice, and most of the time growth takes goes to bringing
  // fresh pages in. The new table is complete before the handle slot names
  // it, and the old one is freed last.
  void move_to(word_t slots) {
    int bits = 0;
    while ((word_t{1} << bits) < slots) ++bits;
    word_t const mask = slots - 1;
    word_t const header = make_table(slots, count_);
    word_t const slots_at = hashmap_slots::slot_address(header, 0);
    // Looked at only now: making the new block may have moved the mapping.
    char const* const old = table();
    char const* const out =
        stream_->view_range(slots_at, header + hashmap_slots::block_size(slots, width));
    if (!out) throw io_tools::corrupt_file(*stream_);
    word_t placed = 0;
    for (word_t i = 0; i < slots_; ++i) {
      std::uint64_t const word = slot_word(old, i);
      if (word == 0) continue;
      // More used slots than keys is damage, and would fill the new table.
      if (++placed > count_) throw io_tools::corrupt_file(*stream_);
      word_t j = hashmap_slots::home_of(word, bits);
      while (slot_word(out, j) != 0) j = (j + 1) & mask;
      stream_->write_word(slots_at + j * static_cast<word_t>(word_size), static_cast<word_t>(word));
    }
    stream_->write_at(hashmap_slots::entry_address(header, slots, 0, width), old + entries_at_,
                      static_cast<std::size_t>(count_ * width));
    stream_->write_word(handle_, header);
    database_->allocator()->deallocate(header_);
    adopt(header, slots, count_);
  }

  void check_slots(word_t header, hashmap_header const& h, std::vector<std::string>& problems) const {
    char const* base = stream_->view(hashmap_slots::slot_address(header, 0),
                                     static_cast<std::size_t>(hashmap_slots::block_size(h.buckets, width) -
                                                              static_cast<word_t>(hashmap_slots::slots_offset)));
    char const* entries = base + h.buckets * static_cast<word_t>(word_size);
    int bits = 0;
    while ((word_t{1} << bits) < h.buckets) ++bits;
    word_t const mask = h.buckets - 1;
    std::vector<int> named(static_cast<std::size_t>(h.count), 0);
    std::set<std::string> keys;
    for (word_t i = 0; i < h.buckets; ++i) {
      std::uint64_t const word = slot_word(base, i);
      if (word == 0) continue;
      std::string const where = "slot " + std::to_string(i);
      word_t const entry = hashmap_slots::entry_of(word);
      if (entry < 0 || entry >= h.count) {
        problems.push_back(where + " names no entry");
        continue;
      }
      ++named[static_cast<std::size_t>(entry)];
      K key;
      std::memcpy(&key, entries + entry * width, sizeof(K));
      if (hashmap_slots::tag_of(word) !=
          static_cast<std::uint64_t>(hash_of(key)) >> hashmap_slots::tag_shift) {
        problems.push_back(where + " keeps a hash that is not its key's");
      }
      word_t const home = hashmap_slots::home_of(word, bits);
      for (word_t j = home; j != i; j = (j + 1) & mask) {
        if (slot_word(base, j) == 0) {
          problems.push_back(where + " cannot be reached from its home slot " + std::to_string(home));
          break;
        }
      }
      if (!keys.insert(std::string(entries + entry * width, sizeof(K))).second) {
        problems.push_back(where + " holds a key stored in another slot too");
      }
    }
    for (std::size_t e = 0; e < named.size(); ++e) {
      if (named[e] != 1) {
        problems.push_back("entry " + std::to_string(e) + " is named by " +
                           std::to_string(named[e]) + " slots");
      }
    }
  }

  io_tools::bfstream* stream_ = nullptr;
  d_database* database_ = nullptr;
  word_t handle_ = no_address;
  word_t header_ = no_address;
  word_t slots_ = 0;
  int bits_ = 0;
  int home_shift_ = 63;
  word_t mask_ = 0;  // slots_ - 1
  // Where the slots and entries that table() reads in place start and end
  // in the file, and where the entries start among them.
  word_t table_at_ = 0;
  word_t table_end_ = 0;
  // table() as it stood when the handle last agreed with the file: placed
  // again after every change this object makes and whenever the handle was
  // not settled.
  char const* placed_ = nullptr;
  word_t entries_at_ = 0;
  word_t count_ = 0;
  double max_load_ = 0;
  db_handle link_;
};

}  // namespace hashmap_detail
}  // namespace disk_tools
