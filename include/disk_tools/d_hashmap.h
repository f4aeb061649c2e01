// The persistent hash map of keys to values of any storable type (std::string,
// a trivially copyable type, a type with a codec): a header block with the key
// count and a table of buckets, each heading a singly linked chain of entry
// records that hold their key and value inline, as the bytes of their encoding
// (records in hashmap_records.h). The map owns what it stores: put and erase
// free the entry they replace or remove, and no read allocates or writes.
//
// Lookups and insertions go straight to the file. A new key's entry heads its
// chain; replacing a value writes a whole new entry in the old one's place in
// the chain; erasing unlinks the entry and frees its block. The count of
// distinct keys is written to the header whenever it changes, so a reopened
// map finds it even when its object was never destroyed.
//
// The bucket table can be replaced by a larger or smaller one (rehash,
// reserve, or a put past the maximum load factor when one is set): the
// entries stay where they are and only their next words are relinked.
//
// The hash that places the keys is chosen when the map is made and recorded
// in its header; a map object whose hash is another refuses to open it. The
// growth policy (the maximum load factor) is recorded there too once one is
// set, so that it holds in the next run.
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "disk_tools/codec.h"
#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/compares_as.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/factories.h"
#include "disk_tools/detail/hashmap_hashes.h"
#include "disk_tools/detail/hashmap_records.h"
#include "disk_tools/detail/nested_container.h"
#include "disk_tools/detail/slot_map.h"

namespace disk_tools {

// The bucket of a key whose hash is h among n buckets: (2^63 - 1 - h) mod n.
// The difference is taken without sign, so that it is exact for a negative h
// too (where it exceeds the largest signed word); for h >= 0 this is the same
// as the signed remainder.
inline word_t bucket_of(long h, word_t n) {
  std::uint64_t const top = static_cast<std::uint64_t>(INT64_MAX);
  std::uint64_t const diff = top - static_cast<std::uint64_t>(h);
  return static_cast<word_t>(diff % static_cast<std::uint64_t>(n));
}

namespace hashmap_detail {

// The bytes an entry keeps for a key or value of type T, and T made back from
// them. A trivially copyable type is its raw bytes; a type with a codec is
// what the codec gives; a string is its characters.
template <class T, class Enable = void>
struct entry_bytes {
  static_assert(std::is_trivially_copyable<T>::value,
                "a container keeps std::string, trivially copyable types and types with a codec: "
                "specialise disk_tools::codec<T> with static void encode(T const&, std::string&) "
                "and static T decode(std::string_view) (see <disk_tools/codec.h>)");
  static std::string encode(T const& value) {
    return std::string(reinterpret_cast<char const*>(&value), sizeof value);
  }
  static T decode(io_tools::bfstream& s, std::string const& bytes) {
    if (bytes.size() != sizeof(T)) throw io_tools::corrupt_file(s);
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  }
};

template <>
struct entry_bytes<std::string> {
  static std::string const& encode(std::string const& value) { return value; }
  static std::string decode(io_tools::bfstream&, std::string bytes) { return bytes; }
};

template <class T>
struct entry_bytes<T, std::enable_if_t<has_codec_v<T>>> {
  static std::string encode(T const& value) {
    std::string bytes;
    codec<T>::encode(value, bytes);
    return bytes;
  }
  static T decode(io_tools::bfstream&, std::string const& bytes) {
    return codec<T>::decode(std::string_view(bytes));
  }
};

// Keys are matched and hashed by their bytes, so a key type's equal values
// must have equal bytes: a struct with padding (whose bytes are undefined)
// needs a codec to be a key. So does the 80-bit long double (64 digits),
// which sits in 12 or 16 bytes whose last ones hold whatever was there.
template <class K>
constexpr bool bytes_make_key_v =
    std::is_same<K, std::string>::value || has_codec_v<K> ||
    std::has_unique_object_representations<K>::value ||
    (std::is_floating_point<K>::value &&
     (std::numeric_limits<K>::digits != 64 || sizeof(K) * CHAR_BIT == 80));

// The map of string keys and values reads a value up to its first 0 byte, as
// it always has; every other map reads all of a value's bytes.
template <class K, class V>
constexpr hashmap_entry::part value_part =
    std::is_same<K, std::string>::value && std::is_same<V, std::string>::value
        ? hashmap_entry::part::whole
        : hashmap_entry::part::exact;

// Where a key was found: its entry, the word that links to it, and the entry
// as read. entry is 0 when the key is absent.
struct found_entry {
  word_t entry = 0;
  word_t link = no_address;
  hashmap_entry record;
};

// No file holds more entries than fit in it, so a walk that takes more steps
// has met a cycle.
inline void count_step(io_tools::bfstream& s, word_t& steps) {
  if (++steps > s.size() / static_cast<word_t>(hashmap_entry::min_size)) {
    throw io_tools::corrupt_file(s);
  }
}

// Walks the chain whose head is in the bucket word at bucket looking for the
// key of those bytes; reads the found entry's value as wanted.
inline found_entry find_in_chain(io_tools::bfstream& s, word_t bucket, std::string const& key,
                                 hashmap_entry::part wanted = hashmap_entry::part::whole) {
  found_entry found;
  word_t link = bucket;
  word_t at = s.read_word(bucket);
  for (word_t steps = 0; at != no_address;) {
    count_step(s, steps);
    hashmap_entry const record = hashmap_entry::read(s, at, hashmap_entry::part::key_only);
    if (record.key == key) {
      found.entry = at;
      found.link = link;
      found.record = hashmap_entry::read(s, at, wanted);
      return found;
    }
    link = at + static_cast<word_t>(hashmap_entry::next_offset);
    at = record.next;
  }
  return found;
}

// Writes the entry (its next, key and value) in a new block in place of the
// old one at old_entry, rewriting link; returns the new block's address.
inline word_t replace_entry(io_tools::bfstream& s, d_alloc& allocator, word_t link,
                            word_t old_entry, hashmap_entry const& record) {
  text_tools::bstringstream block;
  record.encode(block);
  allocator.make_room_for(static_cast<long>(block.size()));
  allocator.deallocate(old_entry);
  word_t const entry = allocator.allocate(static_cast<long>(block.size()), block);
  s.write_word(link, entry);
  return entry;
}

}  // namespace hashmap_detail

// Names the entry of one key. The entry and its link can move while the
// proxy lives (a new key heads the chain, a replacement writes a new entry
// before or at this one, an erase unlinks a neighbour, a rehash moves the
// bucket table), so every use finds the table through the map's handle slot
// and the key's entry again by walking its chain.
template <class K, class V>
class d_hashmap_assign : detail::compares_as<d_hashmap_assign<K, V>, V> {
 public:
  // key is the bytes of the key as stored.
  d_hashmap_assign(word_t entry, word_t link, io_tools::bfstream* stream, d_alloc* allocator,
                   d_database* database, word_t handle, long hash, std::string key)
      : entry_(entry),
        link_(link),
        stream_(stream),
        allocator_(allocator),
        database_(database),
        handle_(handle),
        hash_(hash),
        key_(std::move(key)),
        db_(database) {}
  d_hashmap_assign(d_hashmap_assign const&) = default;

  V get_data() const {
    auto const op = db_.operation();
    return hashmap_detail::entry_bytes<V>::decode(*stream_, current().value);
  }
  operator V() const { return get_data(); }

  // Stores value as the key's value; the entry keeps its place in the chain.
  d_hashmap_assign& operator=(V const& value) {
    entry_ = db_.change(db_.db(), handle_, [&] {
      hashmap_entry record = current();
      record.value = hashmap_detail::entry_bytes<V>::encode(value);
      return hashmap_detail::replace_entry(*stream_, *allocator_, link_, entry_, record);
    });
    return *this;
  }
  // m[a] = m[b] stores b's value under a; the implicit copy would aim this
  // proxy at b's entry and store nothing.
  d_hashmap_assign& operator=(d_hashmap_assign const& other) { return *this = other.get_data(); }

  long entry() const { return entry_; }
  long link() const { return link_; }

 private:
  hashmap_entry current() const {
    word_t const header = hashmap_detail::header_of(*stream_, handle_);
    hashmap_header const h = hashmap_header::read(*stream_, header);
    word_t const bucket = hashmap_header::bucket_address(header, bucket_of(hash_, h.buckets));
    hashmap_detail::found_entry found = hashmap_detail::find_in_chain(
        *stream_, bucket, key_, hashmap_detail::value_part<K, V>);
    if (found.entry == 0) throw error(errc::out_of_range, "hash map entry no longer exists...");
    entry_ = found.entry;
    link_ = found.link;
    return found.record;
  }

  // Where the key was last found: current() finds it again at every use.
  mutable word_t entry_;
  mutable word_t link_;
  io_tools::bfstream* stream_;
  d_alloc* allocator_;
  d_database* database_;
  word_t handle_;
  long hash_;
  std::string key_;
  db_handle db_;
};

// A position among a map's entries, in bucket order and, within a bucket,
// chain order. It holds a copy of the pair it stands on and reads nothing
// else until it moves; moving reads the next entry of the chain, or the
// bucket words up to the next chain that is not empty. When this opening
// changed the map since it landed (a put of its key writes a new entry in
// place of the one it copied), it finds its key in its chain again before it
// reads or moves, as a std::unordered_map iterator stays valid. A put of a
// new key may or may not be visited by a walk under way. An erase of its own
// key leaves it nothing to stand on ("hash map entry no longer exists...":
// it = m.erase(it) walks on), and a rehash, which a put makes under a growth
// policy, moves every chain ("iterator is stale: the hash map was
// rehashed..."). Once other openings' commits have been followed since it
// landed, or a rollback took back the change it landed after, it throws
// "iterator is stale..." instead.
template <class K, class V>
class basic_hashmap_iterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = std::pair<K, V>;
  using difference_type = std::ptrdiff_t;
  using pointer = value_type const*;
  using reference = value_type const&;

  // The end of every map.
  basic_hashmap_iterator() = default;
  // The entry at entry, in bucket bucket of the table at header, of the map
  // whose handle slot is at handle; the first entry from bucket on when entry
  // is -1.
  basic_hashmap_iterator(io_tools::bfstream* stream, d_database* database, word_t header,
                         word_t buckets, word_t bucket, word_t entry, word_t handle)
      : stream_(stream),
        header_(header),
        buckets_(buckets),
        bucket_(bucket),
        handle_(handle),
        link_(database) {
    if (entry != no_address) {
      land(entry);
    } else {
      seek_chain(bucket);
    }
  }

  // Whether this is a position of the map whose handle slot is handle in the
  // database stream belongs to; the end, of every map, cannot tell.
  bool of_map(io_tools::bfstream const* stream, word_t handle) const {
    return handle_ == no_address || (stream_ == stream && handle_ == handle);
  }

  // The pair is a copy, but a use after its database closed is a mistake all
  // the same, and is told as one.
  reference operator*() const {
    auto const op = standing();
    return pair_;
  }
  pointer operator->() const {
    auto const op = standing();
    return &pair_;
  }

  basic_hashmap_iterator& operator++() {
    auto const op = standing();
    if (next_ != no_address) {
      land(next_);
    } else {
      seek_chain(bucket_ + 1);
    }
    return *this;
  }
  basic_hashmap_iterator operator++(int) {
    basic_hashmap_iterator before = *this;
    ++*this;
    return before;
  }

  bool operator==(basic_hashmap_iterator const& other) const { return entry_ == other.entry_; }
  bool operator!=(basic_hashmap_iterator const& other) const { return !(*this == other); }

  // The address of the entry it stands on; -1 at the end.
  long entry() const { return entry_; }

 private:
  db_operation standing() const {
    if (entry_ == no_address) throw error(errc::out_of_range, "no entry at the end position...");
    db_operation op = link_.operation();
    // A map removed since: its blocks may serve another container by now.
    link_.require_not_gone(handle_);
    link_.check_copy(handle_, copied_);
    if (link_.changed_since(handle_, copied_.changes)) find_again();
    return op;
  }

  // Lands again on the entry of the key it stands on, in its chain as this
  // opening's changes left it.
  void find_again() const {
    if (hashmap_detail::header_of(*stream_, handle_) != header_) {
      throw error(errc::out_of_range,
                  "iterator is stale: the hash map was rehashed since it was made; begin the walk "
                  "again...");
    }
    hashmap_detail::found_entry const found = hashmap_detail::find_in_chain(
        *stream_, hashmap_header::bucket_address(header_, bucket_),
        hashmap_detail::entry_bytes<K>::encode(pair_.first), hashmap_detail::value_part<K, V>);
    if (found.entry == 0) throw error(errc::out_of_range, "hash map entry no longer exists...");
    land(found.entry);
  }

  void land(word_t entry) const {
    hashmap_detail::count_step(*stream_, steps_);
    hashmap_entry e = hashmap_entry::read(*stream_, entry, hashmap_detail::value_part<K, V>);
    entry_ = entry;
    next_ = e.next;
    copied_ = link_.stamp();
    pair_.first = hashmap_detail::entry_bytes<K>::decode(*stream_, e.key);
    pair_.second = hashmap_detail::entry_bytes<V>::decode(*stream_, e.value);
  }

  // Lands on the head of the first chain from bucket from on that is not
  // empty, reading the bucket words a few hundred at a time; at the end when
  // there is none.
  void seek_chain(word_t from) {
    link_.db();
    constexpr word_t batch = 256;
    for (word_t b = from; b < buckets_; b += batch) {
      std::vector<word_t> const heads =
          hashmap_header::read_heads(*stream_, header_, b, std::min(batch, buckets_ - b));
      for (std::size_t i = 0; i < heads.size(); ++i) {
        if (heads[i] == no_address) continue;
        bucket_ = b + static_cast<word_t>(i);
        land(heads[i]);
        return;
      }
    }
    entry_ = no_address;
  }

  io_tools::bfstream* stream_ = nullptr;
  word_t header_ = no_address;
  word_t buckets_ = 0;
  word_t bucket_ = 0;
  // Where it landed, and what it copied there: landed again, by the same
  // key, after a change (hence mutable: reading the pair does not move it).
  mutable word_t entry_ = no_address;
  mutable word_t next_ = no_address;
  mutable word_t steps_ = 0;
  word_t handle_ = no_address;
  mutable value_type pair_;
  db_handle link_;
  mutable db_handle::copy_stamp copied_;  // as it landed
};

// The iterator of the map of string keys and values.
using d_hashmap_iterator = basic_hashmap_iterator<std::string, std::string>;

// The hash a map of K to V places its keys by unless told otherwise: the
// strong hash, except for the map of strings to strings, whose maps were all
// built by the weighted sum.
template <class K, class V>
struct default_hash {
  using type = strong_string_hash;
};
template <>
struct default_hash<std::string, std::string> {
  using type = string_hash;
};

template <class K, class V, class H = typename default_hash<K, V>::type>
class d_hashmap;

namespace hashmap_detail {

// The map whose keys and values live in entry records, one block per key,
// chained from the buckets of its table. Kind is the map whose kind its root
// records (another than d_hashmap<K, V, H> when V stands for a container).
template <class K, class V, class H, class Kind = d_hashmap<K, V, H>>
class chained_map {
 public:
  using iterator = basic_hashmap_iterator<K, V>;
  using value_type = typename iterator::value_type;
  using size_type = std::size_t;

  // The map kept in the root slot called name; created with buckets buckets
  // when new, otherwise buckets is ignored. Throws "hash map was built with
  // another hash..." when the map in the slot was built with a hash other
  // than H.
  chained_map(std::string const& name, long buckets, d_env* env,
              d_root mode = d_root::open_or_create)
      : allocator_(env->allocator), database_(env->database), buckets_(buckets) {
    attach_at_root(database_, name, root_kind<Kind>::get(), mode, [&](word_t slot) {
      grab(database_->stream(), slot, database_->allocator(), database_);
    });
  }
  // The map kept in the root slot called name, with the bucket count and
  // growth policy it has; when new, made with default_buckets buckets and a
  // maximum load factor of 1, so that it grows as keys come.
  chained_map(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : allocator_(env->allocator), database_(env->database), buckets_(default_buckets) {
    max_load_ = 1.0;
    attach_at_root(database_, name, root_kind<Kind>::get(), mode, [&](word_t slot) {
      grab(database_->stream(), slot, database_->allocator(), database_);
    });
  }
  static constexpr long default_buckets = 8;

  // The count goes to the file whenever it changes, so the object has nothing
  // to write back and may outlive its database.
  chained_map(chained_map const&) = delete;
  chained_map& operator=(chained_map const&) = delete;

  // Attaches to the map whose handle slot is at address, creating it when the
  // slot holds -1.
  void grab(io_tools::bfstream* stream, long address, d_alloc* allocator, d_database* database) {
    stream_ = stream;
    allocator_ = allocator;
    database_ = database;
    link_ = db_handle(database);
    handle_ = address;
    // The look holds an operation: beside other openings, what the file
    // shows may have moved on since the root was attached.
    if (auto const op = link_.attaching(handle_); stream_->read_word(handle_) != no_address) {
      load_header();
      link_.up_to_date();
      return;
    }
    // A bucket is a remainder modulo the bucket count.
    if (buckets_ < 1) throw error(errc::bad_size, "invalid container size...");
    link_.own_change(link_.db(), handle_, [&] {
      // Another opening may have made it since the look above.
      if (stream_->read_word(handle_) != no_address) return load_header();
      has_policy_ = max_load_ > 0;
      header_ = has_policy_ ? create_hashmap(buckets_, H::kind, max_load_, database_)
                            : create_hashmap(buckets_, H::kind, database_);
      count_ = 0;
      stream_->write_word(handle_, header_);
    });
  }

  // True, with the key's value in value, when the key is present; false,
  // with value left as it was, when it is absent.
  bool get(K const& key, V& value) {
    auto const op = reading();
    hashmap_detail::found_entry const found = lookup(key_bytes(key));
    if (found.entry == 0) return false;
    value = hashmap_detail::entry_bytes<V>::decode(*stream_, found.record.value);
    last_link_ = found.link;
    return true;
  }
  // Whether the key is present.
  bool contains(K const& key) {
    auto const op = reading();
    return lookup(key_bytes(key)).entry != 0;
  }

  // Stores the pair, replacing the value of a present key in its place in the
  // chain; a new key heads its chain (after the table has grown, when the
  // growth policy asks for it). Returns the entry now holding the pair.
  long put(K const& key, V const& value) {
    return changing([&] {
      return put_pair(key_bytes(key), hashmap_detail::entry_bytes<V>::encode(value));
    });
  }

  // The entry of key, created with a value-initialised value when absent.
  d_hashmap_assign<K, V> operator[](K const& key) {
    std::string const bytes = key_bytes(key);
    auto const op = reading();
    hashmap_detail::found_entry const found = lookup(bytes);
    word_t entry = found.entry;
    last_link_ = found.link;
    if (entry == 0) {
      // Added unless another opening added it since the look above.
      entry = changing([&] {
        hashmap_detail::found_entry const again = lookup(bytes);
        if (again.entry != 0) return again.entry;
        return put_pair(bytes, hashmap_detail::entry_bytes<V>::encode(V()));
      });
    }
    return d_hashmap_assign<K, V>(entry, last_link_, stream_, allocator_, database_, handle_,
                                  H()(bytes), bytes);
  }

  // Removes key's pair: its entry is unlinked from its chain and its block
  // freed. False, with nothing changed, when the key is absent.
  bool erase(K const& key) {
    return changing([&] { return erase_key(key_bytes(key)); });
  }
  // Removes the pair pos stands on and returns the position after it, so
  // that it = m.erase(it) walks on as with a std::unordered_map (the erase
  // only unlinks pos's entry). "no entry at the end position..." at end().
  iterator erase(iterator pos) {
    check_position(pos);
    iterator next = pos;
    ++next;
    erase(pos->first);
    return next;
  }
  // Another map's position would erase its key from this one.
  void check_position(iterator const& pos) const {
    if (!pos.of_map(stream_, handle_)) {
      throw error(errc::out_of_range,
                  "iterator of another hash map: pass one this hash map made...");
    }
  }

  iterator begin() {
    auto const op = reading();
    return iterator(stream_, database_, header_, buckets_, 0, no_address, handle_);
  }
  iterator end() const { return iterator(); }
  // The position of key's pair; end() when the key is absent.
  iterator find(K const& key) {
    auto const op = reading();
    std::string const bytes = key_bytes(key);
    hashmap_detail::found_entry const found = lookup(bytes);
    if (found.entry == 0) return end();
    return iterator(stream_, database_, header_, buckets_, bucket_of(H()(bytes), buckets_),
                    found.entry, handle_);
  }

  // The number of keys.
  size_type size() const { return static_cast<size_type>(count()); }
  bool empty() const { return size() == 0; }

  // Gives the map a new table of n buckets (1 to max_buckets, as the map
  // was made with) and relinks every entry into it.
  void rehash(long n) {
    if (n < 1 || n > hashmap_header::max_buckets) {
      throw error(errc::bad_size, "invalid container size...");
    }
    changing([&] {
      if (n != buckets_) relink(n);
    });
  }
  // Makes room for keys keys: enough buckets that they stay within the
  // maximum load factor (one key per bucket when no growth policy is set).
  void reserve(long keys) {
    d_database& db = checked();  // first: another object may have set the policy
    double const load = max_load_ > 0 ? max_load_ : 1.0;
    double const needed = std::ceil(static_cast<double>(keys) / load);
    if (keys < 0 || needed > static_cast<double>(hashmap_header::max_buckets)) {
      throw error(errc::bad_size, "invalid container size...");
    }
    link_.own_change(db, handle_, [&] {
      if (static_cast<word_t>(needed) > buckets_) relink(static_cast<word_t>(needed));
    });
  }

  // The growth policy, kept in the map's header: when f > 0, a put that
  // would leave more than f keys per bucket first doubles the bucket table.
  // 0 never grows it. A map made with a bucket count starts at 0, and has no
  // policy word until a policy is first set (the header then moves to a
  // block with room for it), so that its bytes are those of maps made before
  // policies were kept.
  void set_max_load_factor(double f) {
    double const load = hashmap_detail::checked_load_factor(f);
    changing([&] {
      if (has_policy_) {
        hashmap_header::write_policy(*stream_, header_, buckets_, load);
        max_load_ = load;
      } else if (load > 0) {
        max_load_ = load;
        relink(buckets_);
      }
    });
  }
  double max_load_factor() {
    auto const op = reading();
    return max_load_;
  }

  // These read the header afresh, as a rollback may have changed it.
  long count() const { return stored_header().count; }
  long buckets() const { return stored_header().buckets; }
  long header_address() const {
    link_.db();
    // A map removed since: its root's slot may name another root's header.
    link_.require_not_gone(handle_);
    return hashmap_detail::header_of(*stream_, handle_);
  }
  long last_link() const { return last_link_; }
  // The address of the bucket word of key.
  long bucket_word(K const& key) const { return bucket_of_bytes(key_bytes(key)); }

 protected:
  // The database, checked to be open, with the header (count, table) read
  // afresh when another object or a rollback changed the map since this
  // object's last operation. A read holds the operation until it ends; a
  // change reads under the writer's turn.
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
  // An operation held across reads of more than the map (an inner container's blocks).
  db_operation operation() const { return link_.operation(); }
  // The object's handle as it is now, and the root slot it names the map by.
  db_handle const& link() const { return link_; }
  word_t root_slot() const { return handle_; }

 private:
  void refresh() {
    if (link_.stale(handle_)) {
      load_header();
      link_.up_to_date();
    }
  }
  hashmap_header stored_header() const { return hashmap_header::read(*stream_, header_address()); }

  void load_header() {
    word_t const header = hashmap_detail::header_of(*stream_, handle_);
    hashmap_header const h = hashmap_header::read(*stream_, header);
    if (h.kind != H::kind) throw error(errc::wrong_kind, "hash map was built with another hash...");
    // A slot table's block holds no buckets: read as one, its entries would
    // be taken for chains.
    if (h.slots) {
      throw error(errc::wrong_kind,
                  "hash map is a slot table of fixed-width keys and values, not a map of chains...");
    }
    header_ = header;
    count_ = h.count;
    buckets_ = h.buckets;
    has_policy_ = h.has_policy;
    max_load_ = h.max_load;
  }

  static std::string key_bytes(K const& key) {
    return std::string(hashmap_detail::entry_bytes<K>::encode(key));
  }
  word_t bucket_of_bytes(std::string const& bytes) const {
    return hashmap_header::bucket_address(header_, bucket_of(H()(bytes), buckets_));
  }
  hashmap_detail::found_entry lookup(std::string const& bytes) const {
    return hashmap_detail::find_in_chain(*stream_, bucket_of_bytes(bytes), bytes,
                                         hashmap_detail::value_part<K, V>);
  }

  long put_pair(std::string const& key, std::string const& value) {
    hashmap_detail::found_entry found = lookup(key);
    if (found.entry != 0) {
      found.record.value = value;
      last_link_ = found.link;
      return hashmap_detail::replace_entry(*stream_, *allocator_, found.link, found.entry,
                                           found.record);
    }
    if (grows_for(count_ + 1)) relink(std::min(2 * buckets_, hashmap_header::max_buckets));
    word_t const bucket = bucket_of_bytes(key);
    hashmap_entry record;
    record.next = stream_->read_word(bucket);
    record.key = key;
    record.value = value;
    text_tools::bstringstream block;
    record.encode(block);
    word_t const entry = allocator_->allocate(static_cast<long>(block.size()), block);
    stream_->write_word(bucket, entry);
    last_link_ = bucket;
    ++count_;
    store_count();
    return entry;
  }

  bool erase_key(std::string const& key) {
    hashmap_detail::found_entry const found = lookup(key);
    if (found.entry == 0) return false;
    stream_->write_word(found.link, found.record.next);
    allocator_->deallocate(found.entry);
    --count_;
    store_count();
    return true;
  }

  bool grows_for(word_t keys) const {
    if (max_load_ <= 0 || buckets_ >= hashmap_header::max_buckets) return false;
    return static_cast<double>(keys) > max_load_ * static_cast<double>(buckets_);
  }

  // Moves the map to a new table of n buckets, as the vector moves to a larger
  // header: the new table is complete before the handle slot names it, and
  // the old one is freed last. The entries stay in their blocks and keep
  // their order, each appended to its new chain, so only the next words that
  // change are written: when the table doubles, a chain splits in two and an
  // entry's next changes only where its follower went to the other half.
  void relink(word_t n) {
    std::vector<word_t> heads(static_cast<std::size_t>(n), no_address);
    std::vector<word_t> tails(static_cast<std::size_t>(n), no_address);
    std::vector<std::pair<word_t, word_t>> entries;  // address, next as read
    std::vector<word_t> next;                        // next in the new table
    std::vector<word_t> const old_heads =
        hashmap_header::read_heads(*stream_, header_, 0, buckets_);
    word_t steps = 0;
    for (word_t at : old_heads) {
      while (at != no_address) {
        hashmap_detail::count_step(*stream_, steps);
        hashmap_entry const e = hashmap_entry::read(*stream_, at, hashmap_entry::part::key_only);
        auto const b = static_cast<std::size_t>(bucket_of(H()(e.key), n));
        if (tails[b] == no_address) {
          heads[b] = at;
        } else {
          next[static_cast<std::size_t>(tails[b])] = at;
        }
        tails[b] = static_cast<word_t>(entries.size());
        entries.emplace_back(at, e.next);
        next.push_back(no_address);
        at = e.next;
      }
    }
    // A map keeps its policy word once it has one.
    has_policy_ = has_policy_ || max_load_ > 0;
    word_t const table = has_policy_ ? create_hashmap(n, H::kind, max_load_, database_)
                                     : create_hashmap(n, H::kind, database_);
    if (count_ != 0) hashmap_header::write_count(*stream_, table, count_);
    hashmap_header::write_heads(*stream_, table, heads);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (next[i] == entries[i].second) continue;
      stream_->write_word(entries[i].first + static_cast<word_t>(hashmap_entry::next_offset),
                          next[i]);
    }
    stream_->write_word(handle_, table);
    allocator_->deallocate(header_);
    header_ = table;
    buckets_ = n;
  }

 public:
  // Everything wrong with the map's records, one sentence each: a map built
  // with another hash than this object's, an entry in the wrong bucket (by
  // the hash the file records), a key twice, a chain with a cycle, a count
  // that is not the number of keys, or a record that is not a block in use.
  std::vector<std::string> check() const {
    std::vector<std::string> problems;
    try {
      link_.db();
      std::set<word_t> in_use;
      for (auto const& r : allocator_->allocation_list()) in_use.insert(r.data);
      word_t const header = hashmap_detail::header_of(*stream_, handle_);
      hashmap_header const h = hashmap_header::read(*stream_, header);
      if (!in_use.count(header)) problems.push_back("map header is not a block in use");
      if (h.kind != H::kind)
        problems.push_back("map was built with another hash than this object's");
      std::set<std::string> keys;
      std::set<word_t> seen;
      for (word_t b = 0; b < h.buckets; ++b) {
        word_t at = stream_->read_word(hashmap_header::bucket_address(header, b));
        while (at != no_address) {
          std::string const where = "entry " + std::to_string(at);
          if (!seen.insert(at).second) {
            problems.push_back(where + " is reached twice");
            break;
          }
          if (!in_use.count(at)) problems.push_back(where + " is not a block in use");
          hashmap_entry const e =
              hashmap_entry::read(*stream_, at, hashmap_detail::value_part<K, V>);
          if (!decodes(e)) problems.push_back(where + " holds a key or value that cannot be decoded");
          if (bucket_of(hash_by_kind(h.kind, e.key), h.buckets) != b) {
            problems.push_back(where + " of key \"" + e.key + "\" is in bucket " +
                               std::to_string(b) + ", not its own");
          }
          if (!keys.insert(e.key).second) {
            problems.push_back("key \"" + e.key + "\" is stored twice");
          }
          at = e.next;
        }
      }
      if (h.count != static_cast<word_t>(keys.size())) {
        problems.push_back("header count " + std::to_string(h.count) + " but " +
                           std::to_string(keys.size()) + " keys");
      }
    } catch (error const& e) {
      problems.push_back(std::string("unreadable hash map record: ") + e.what());
    }
    return problems;
  }

 private:
  bool decodes(hashmap_entry const& e) const {
    try {
      hashmap_detail::entry_bytes<K>::decode(*stream_, e.key);
      hashmap_detail::entry_bytes<V>::decode(*stream_, e.value);
      return true;
    } catch (error const&) {
      return false;
    }
  }

  void store_count() { hashmap_header::write_count(*stream_, header_, count_); }

  io_tools::bfstream* stream_ = nullptr;
  d_alloc* allocator_ = nullptr;
  word_t header_ = no_address;
  word_t last_link_ = no_address;
  d_database* database_ = nullptr;
  word_t count_ = 0;
  word_t buckets_ = 0;
  word_t handle_ = no_address;
  double max_load_ = 0;
  bool has_policy_ = false;
  db_handle link_;
};

}  // namespace hashmap_detail

namespace hashmap_detail {

// The map whose values are containers (lists or vectors): an entry keeps the
// 8-byte address of its container's handle block as its value, and the map
// owns the container. m[key] gives the working container, made on first use;
// erase frees it with everything in it. A container value is never put or
// assigned whole.
template <class K, class V, class H>
class nested_value_map : private chained_map<K, word_t, H, d_hashmap<K, V, H>> {
  using base = chained_map<K, word_t, H, d_hashmap<K, V, H>>;

 public:
  // Iterators show a container value as its handle address (m[key] opens it).
  using iterator = typename base::iterator;

  nested_value_map(std::string const& name, long buckets, d_env* env,
                   d_root mode = d_root::open_or_create)
      : base(name, buckets, env, mode), env_(env), name_(name) {}
  nested_value_map(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : base(name, env, mode), env_(env), name_(name) {}

  // The working container of key, made (with its entry) on first use.
  V operator[](K const& key) {
    word_t handle = no_address;
    {
      // The container is read in the commit the look found it in: read after catching up
      // with another opening's removal of the map, its blocks are free, and its object
      // would never ask the map again.
      auto const op = base::operation();
      if (base::get(key, handle)) {
        return nested_container<V>::open(handle, env_, origin_of(key, handle));
      }
    }
    return in_change(base::checked(), [&] {
      // Another opening may have made it since the look above.
      if (!base::get(key, handle)) {
        handle = nested_container<V>::make(env_);
        base::put(key, handle);
      }
      return nested_container<V>::open(handle, env_, origin_of(key, handle));
    });
  }
  // True, with value the working container of key, when key is present.
  bool get(K const& key, V& value) {
    word_t handle = no_address;
    auto const op = base::operation();  // the container is read as the look found it
    if (!base::get(key, handle)) return false;
    value = nested_container<V>::open(handle, env_, origin_of(key, handle));
    return true;
  }
  // Takes key's entry out and frees its container with everything in it; false
  // when key is absent.
  bool erase(K const& key) {
    return in_change(base::checked(), [&] {
      word_t handle = no_address;
      if (!base::get(key, handle)) return false;
      base::erase(key);
      nested_container<V>::free(handle, env_);
      return true;
    });
  }
  iterator erase(iterator pos) {
    base::check_position(pos);
    iterator next = pos;
    ++next;
    erase(pos->first);
    return next;
  }
  template <class T>
  bool put(K const&, T const&) {
    static_assert(sizeof(T) == 0, "a container value (a list or a vector) is filled through m[key]");
    return false;
  }

  using base::begin;
  using base::buckets;
  using base::check;
  using base::contains;
  using base::count;
  using base::empty;
  using base::end;
  using base::find;
  using base::header_address;
  using base::max_load_factor;
  using base::rehash;
  using base::reserve;
  using base::set_max_load_factor;
  using base::size;

 private:
  // Whether the map called name still keeps key's container at handle, for
  // the container's object (db_handle::taken_from), which may outlive this
  // map object: the look opens the map afresh.
  // A root removed since this map's object found the container is told as removed, as the
  // map's object would tell it.
  std::shared_ptr<inner_origin const> origin_of(K const& key, word_t handle) const {
    return std::make_shared<inner_origin const>([env = env_, name = name_, key, handle,
                                                 link = base::link(), root = base::root_slot()] {
      link.require_not_gone(root);
      nested_value_map map(name, env, d_root::existing);
      word_t found = no_address;
      return map.base::get(key, found) && found == handle;
    });
  }

  d_env* env_;
  std::string name_;
};

// Keys and values of fixed width placed by the strong hash go in a slot
// table; a container value is named by its handle address in an entry; every
// other map chains entry records.
template <class K, class V, class H>
constexpr bool in_slots_v = std::is_same<H, strong_string_hash>::value &&
                            fixed_width_v<K> && fixed_width_v<V>;

template <class K, class V, class H>
using layout_of = std::conditional_t<
    is_nested_container<V>::value, nested_value_map<K, V, H>,
    std::conditional_t<in_slots_v<K, V, H>, slot_map<K, V>, chained_map<K, V, H>>>;

}  // namespace hashmap_detail

// The persistent hash map of K to V, placed by the hash H (see the top of
// this file and slot_map.h).
template <class K, class V, class H>
class d_hashmap : public hashmap_detail::layout_of<K, V, H> {
  static_assert(hashmap_detail::bytes_make_key_v<K>,
                "a hash map key is matched by its bytes: give a key type with padding a codec "
                "(specialise disk_tools::codec<K>, see <disk_tools/codec.h>)");
  static_assert(std::is_same<decltype(H::kind), hash_kind const>::value,
                "a hash names the kind the file records for it (static constexpr hash_kind kind)");

 public:
  using base = hashmap_detail::layout_of<K, V, H>;
  using base::base;

  // The number of pairs, as the header has it.
  using base::count;
  // 1 when key is present, 0 otherwise, as std::unordered_map counts.
  std::size_t count(K const& key) { return this->contains(key) ? 1 : 0; }
  // key's value (a list or vector value: the working container); "map
  // element out of range..." when key is absent.
  read_copy<V, is_nested_container<V>::value> at(K const& key) {
    V value{};
    if (!this->get(key, value)) throw error(errc::out_of_range, "map element out of range...");
    return value;
  }
};

}  // namespace disk_tools
