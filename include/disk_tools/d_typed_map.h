// The typed ordered map d_map<K, V>: keys and values of std::string, any
// trivially copyable type, a type with a codec (codec.h), and as values lists
// (d_list<U>) and vectors (d_vector<U>). It is the tree of d_map.h over the slots of
// typed_map_records.h, and it owns what it stores: put, update, erase and
// assignment through operator[] free the blocks they replace or take out, and
// no operation asks the caller for a block. Lookups make a probe key in
// memory only, so reading never writes to the file.
//
// Included by d_map.h; the two maps the drivers use (d_map<unsigned,
// unsigned, unsigned> and the d_ref<std::string> map) are other kinds, with
// their own records.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "disk_tools/d_map.h"
#include "disk_tools/detail/compares_as.h"
#include "disk_tools/detail/nested_container.h"
#include "disk_tools/detail/typed_map_records.h"

namespace disk_tools {

// A pair as the typed map's iterators show it: copies of the key and value
// (a string key may live in its node's slot or in a block of its own). A list
// value shows as the address of the list's handle block (m[key] opens it).
template <class K, class V>
struct typed_map_entry {
  using value_view = std::conditional_t<is_nested_container<V>::value, word_t, V>;
  K key;
  value_view value;
};

// A slot to look v up with: it refers to v itself, so it lives no longer.
template <class T>
typename map_slot_of<T>::type map_probe(T const& v) {
  if constexpr (std::is_same<T, std::string>::value) {
    return map_text_slot::probe(v);
  } else {
    typename map_slot_of<T>::type slot;
    slot.value = v;
    return slot;
  }
}

// An iterator stands on a key, as a std::map iterator does: it keeps a copy
// of that key, and when the map changed through this opening since it came
// there (a put of a long value frees blocks and moves pairs between nodes),
// it finds its place again by that key before it reads or moves. So a walk
// that updates or erases other keys as it goes reads what the map holds now,
// and ++ goes on to the first key above the one it stood on even when that
// one was erased meanwhile. Other openings' commits make it stale instead
// ("iterator is stale..."), as the other containers' iterators are.
template <class K, class V>
class typed_map_iterator {
  using key_slot = typename map_slot_of<K>::type;
  using value_slot = typename map_slot_of<V>::type;
  using base = d_map_iterator<key_slot, value_slot, value_slot>;

 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = typed_map_entry<K, V>;
  using difference_type = std::ptrdiff_t;
  using reference = value_type const;
  struct pointer {
    value_type entry;
    value_type const* operator->() const { return &entry; }
  };

  typed_map_iterator() = default;
  explicit typed_map_iterator(base it) : it_(std::move(it)) { note_key(); }

  reference operator*() const {
    auto const op = it_.operation();
    if (it_.changed_under()) {
      // Moved only onto its own key: ++ after a refusal goes on above it.
      base found = it_;
      found.seek(map_probe(key_), false);
      if (found.at_end() || key_ < (*found).key.get()) {
        throw error(errc::out_of_range,
                    "map iterator's pair was erased: take the iterator again...");
      }
      it_ = std::move(found);
    }
    auto const& pair = *it_;
    if constexpr (is_nested_container<V>::value) {
      return {key_, pair.value.handle};
    } else {
      return {key_, pair.value.get()};
    }
  }
  pointer operator->() const { return {**this}; }
  typed_map_iterator& operator++() {
    auto const op = it_.operation();
    if (it_.changed_under()) {
      it_.seek(map_probe(key_), true);
    } else {
      ++it_;
    }
    note_key();
    return *this;
  }
  typed_map_iterator operator++(int) {
    typed_map_iterator before = *this;
    ++*this;
    return before;
  }
  typed_map_iterator& operator--() {
    auto const op = it_.operation();
    if (it_.changed_under()) it_.seek(map_probe(key_), false);
    --it_;
    note_key();
    return *this;
  }
  typed_map_iterator operator--(int) {
    typed_map_iterator before = *this;
    --*this;
    return before;
  }
  // Two iterators are equal when they stand on the same key, or both at the
  // end. While the map is as both found it, their places tell.
  bool operator==(typed_map_iterator const& o) const {
    if (it_.at_end() || o.it_.at_end()) return it_.at_end() == o.it_.at_end();
    if (!it_.changed_under() && !o.it_.changed_under()) return it_ == o.it_;
    return !(key_ < o.key_) && !(o.key_ < key_);
  }
  bool operator!=(typed_map_iterator const& o) const { return !(*this == o); }
  // Whether this is a position of the map whose handle slot is handle in the
  // database stream belongs to.
  bool of_map(io_tools::bfstream const* stream, word_t handle) const {
    return it_.of_map(stream, handle);
  }

 private:
  void note_key() {
    if (!it_.at_end()) key_ = (*it_).key.get();
  }

  // Where key_ was found; moved back to it after a change (hence mutable:
  // reading the pair does not move the iterator).
  mutable base it_;
  K key_{};
};

template <class K, class V>
class d_map<K, V, typed_map_tag> {
  static_assert(!is_nested_container<K>::value, "a container cannot be a map key");
  using key_slot = typename map_slot_of<K>::type;
  using value_slot = typename map_slot_of<V>::type;
  using tree = d_map<key_slot, value_slot, value_slot>;
  static constexpr bool nested = is_nested_container<V>::value;

  // The checker (d_map_check.h) looks at the tree of slots underneath.
  template <class K2, class V2>
  friend std::vector<std::string> check_map(d_map<K2, V2, typed_map_tag>& map);

 public:
  using iterator = typed_map_iterator<K, V>;
  using const_iterator = iterator;
  struct key_range {
    iterator first;
    iterator last;
    iterator begin() const { return first; }
    iterator end() const { return last; }
  };

  // Reads and replaces the value of one key, named by the key (so it stays
  // right whatever the tree does meanwhile).
  class reference : detail::compares_as<reference, V> {
   public:
    reference(d_map* map, K key) : map_(map), key_(std::move(key)) {}
    reference(reference const&) = default;
    operator V() const {
      V value{};
      if (!map_->get(key_, value)) throw error(errc::out_of_range, "map element out of range...");
      return value;
    }
    // Stores value as the key's value. A key erased since the proxy was
    // taken is not added back, as a std::map's element is gone with its
    // pair: "map element out of range...", and nothing is written.
    reference& operator=(V const& value) {
      if (!map_->update(key_, value)) {
        throw error(errc::out_of_range, "map element out of range...");
      }
      return *this;
    }
    // m[a] = m[b] stores b's value under a, as a std::map's element does; the
    // implicit copy would aim this proxy at b and store nothing.
    reference& operator=(reference const& other) { return *this = static_cast<V>(other); }
    // Read, add and store back, as counts[word] += 1 reads for std::map.
    reference& operator+=(V const& d) { return *this = static_cast<V>(static_cast<V>(*this) + d); }
    reference& operator-=(V const& d) { return *this = static_cast<V>(static_cast<V>(*this) - d); }
    reference& operator++() { return *this += V(1); }

   private:
    d_map* map_;
    K key_;
  };
  using subscript = std::conditional_t<nested, V, reference>;

  // The map kept in the root slot called name, made there when new; its kind
  // is recorded as "ordered<K,V>" (root_kind.h).
  d_map(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : tree_(name, env, root_kind<d_map>::get(), mode), env_(env), name_(name) {
    tree_.keep_cache_when_quiet = true;
  }

  // True and the value copied out when key is present; value untouched
  // otherwise. Reads only.
  bool get(K const& key, V& value) {
    auto const op = tree_.operation();  // a long value's block is read after the descent
    value_slot found;
    if (!tree_.get(probe(key), found)) return false;
    if constexpr (nested) {
      value = nested_container<V>::open(found.handle, env_, origin_of(key, found.handle));
    } else {
      value = found.get();
    }
    return true;
  }
  bool contains(K const& key) {
    value_slot found;
    return tree_.get(probe(key), found);
  }
  // 1 when key is present, 0 otherwise, as std::map counts.
  std::size_t count(K const& key) { return contains(key) ? 1 : 0; }
  // key's value (a list or vector value: the working container); "map
  // element out of range..." when key is absent.
  read_copy<V, is_nested_container<V>::value> at(K const& key) {
    V value{};
    if (!get(key, value)) throw error(errc::out_of_range, "map element out of range...");
    return value;
  }
  // The position of key's pair; end() when key is absent.
  iterator find(K const& key) { return iterator(tree_.find(probe(key))); }

  // Adds the pair, or replaces the value of a present key (freeing the old
  // value's block); true when a pair was added.
  bool put(K const& key, V const& value) {
    static_assert(!nested, "a container value (a list or a vector) is filled through m[key]");
    return in_change(tree_.checked(), [&] {
      // One descent places the pair or finds the key present; a long key's
      // block, made for a pair that is not added after all, goes back. The
      // tree's put checks its cache again inside this change: beginning it
      // may have caught up with other openings' commits.
      encoded_slot<K> k(ordered_key(key));
      encoded_slot<V> v(value);
      env_->allocator->make_room_for(k.block_bytes() + v.block_bytes(), 2);
      key_slot const stored_k = k.placed(env_);
      value_slot const stored_v = v.placed(env_);
      value_slot old;
      // A key that will not decode (its codec throws) stops the descent
      // before the tree writes anything: the blocks just made then go back,
      // which with the journal off nothing else would do.
      long long const writes = env_->stream->counts().writes;
      bool added;
      try {
        added = tree_.put_or_replace_within(stored_k, stored_v, old);
      } catch (...) {
        if (env_->stream->counts().writes == writes) {
          free_owned(stored_v);
          free_key(stored_k);
        }
        throw;
      }
      if (added) return true;
      free_owned(old);
      free_key(stored_k);
      return false;
    });
  }
  // Adds the pair unless key is present; a present key keeps its value.
  bool insert(K const& key, V const& value) {
    return in_change(tree_.checked(), [&] { return !contains(key) && put(key, value); });
  }
  // Replaces the value of a present key; false and no change when absent.
  bool update(K const& key, V const& value) {
    static_assert(!nested, "a container value (a list or a vector) is filled through m[key]");
    return in_change(tree_.checked(), [&] { return replace(key, value); });
  }
  // Takes key's pair out and frees its blocks (a list or vector value with
  // everything in it); false when key is absent.
  bool erase(K const& key) {
    return in_change(tree_.checked(), [&] {
      value_slot found;
      if (!tree_.get(probe(key), found)) return false;
      tree_.erase(probe(key));
      if constexpr (nested) nested_container<V>::free(found.handle, env_);
      return true;
    });
  }
  // Takes out the pair pos stands on and returns the position of the next
  // key, so that it = m.erase(it) walks on as with a std::map. "map iterator
  // out of range..." at end().
  iterator erase(iterator pos) {
    K const key = pos->key;
    // Another map's position would erase its key from this one.
    if (!pos.of_map(tree_.stream, tree_.handle()))
      throw error(errc::out_of_range, "iterator of another map: pass one this map made...");
    erase(key);
    return lower_bound(key);
  }

  // A plain value: a reference to it, the key added with a default value
  // first when missing. A list or vector value: the working container, made
  // on first use.
  subscript operator[](K const& key) {
    if constexpr (nested) {
      value_slot found;
      {
        // The container is read in the commit the look found it in: read after catching up
        // with another opening's removal of the map, its blocks are free, and its object
        // would never ask the map again.
        auto const op = tree_.operation();
        if (tree_.get(probe(key), found)) {
          return nested_container<V>::open(found.handle, env_, origin_of(key, found.handle));
        }
      }
      return in_change(tree_.checked(), [&] {
        // Another opening may have made it since the look above.
        if (!tree_.get(probe(key), found)) {
          encoded_slot<K> k(key);
          found.handle = nested_container<V>::make(env_);
          tree_.insert(k.placed(env_), found);
        }
        return nested_container<V>::open(found.handle, env_, origin_of(key, found.handle));
      });
    } else {
      if (!contains(key)) insert(key, V{});  // another opening may add it meanwhile
      return reference(this, key);
    }
  }

  // Erases every pair and frees what each owned, as one change.
  void clear() {
    in_change(tree_.checked(), [&] {
      while (!empty()) erase(begin()->key);
    });
  }

  std::size_t size() { return tree_.size(); }
  bool empty() { return size() == 0; }
  iterator begin() { return iterator(tree_.begin()); }
  iterator end() { return iterator(tree_.end()); }
  iterator lower_bound(K const& key) { return iterator(tree_.lower_bound(probe(key))); }
  iterator upper_bound(K const& key) { return iterator(tree_.upper_bound(probe(key))); }
  key_range range(K const& from, K const& to) {
    auto const r = tree_.range(probe(from), probe(to));
    return {iterator(r.first), iterator(r.last)};
  }
  void balance() { tree_.balance(); }

  // Node records on the map's chain (with the header, the blocks the tree
  // itself takes).
  std::size_t node_count() {
    tree_.checked();
    std::size_t n = 0;
    word_t const limit = tree_.max_node_count();
    for (word_t at = tree_.chain_head; at != no_address;
         at = map_node_head::read(*tree_.stream, at, tree::layout::record_size).next) {
      if (static_cast<word_t>(++n) > limit) throw io_tools::corrupt_file(*tree_.stream);
    }
    return n;
  }
  // The address of the map's header.
  word_t header_address() const { return tree_.header_address; }

 private:
  static key_slot probe(K const& key) { return map_probe(ordered_key(key)); }
  // A NaN is neither below, above nor equal to any key: a search for it
  // would stop at whichever key it met first, and a put would replace that
  // key's value. It is refused as a key, before anything is read or written.
  static K const& ordered_key(K const& key) {
    if constexpr (std::is_floating_point<K>::value) {
      if (key != key) {
        throw error(errc::out_of_range, "map key is NaN, which has no place in the order...");
      }
    }
    return key;
  }

  // A key or value laid out for its slot before its block (when its kind has
  // one) is made: put encodes the key and the value before it allocates
  // either, so that a codec that throws part way leaves no block behind (with
  // the journal off nothing would take it back).
  template <class T>
  class encoded_slot {
    using slot_type = typename map_slot_of<T>::type;
    static constexpr bool in_block = std::is_same<slot_type, map_block_slot<T>>::value;
    static constexpr bool text = std::is_same<slot_type, map_text_slot>::value;

   public:
    explicit encoded_slot(T const& v) : slot_(map_probe(v)) {
      if constexpr (in_block) {
        stored_value<T>::encode(bytes_, v);
      } else if constexpr (text) {
        if (!slot_.fits()) stored_value<T>::encode(bytes_, v);
      }
    }
    encoded_slot(encoded_slot const&) = delete;
    encoded_slot& operator=(encoded_slot const&) = delete;

    // The length of the block placed() makes; 0 when it makes none.
    long block_bytes() const { return static_cast<long>(bytes_.size()); }
    // The slot to store, its block made now.
    slot_type placed(d_env* env) {
      if constexpr (in_block) {
        slot_.address = env->allocator->allocate(static_cast<long>(bytes_.size()), bytes_);
        slot_.stream = env->stream;
      } else if constexpr (text) {
        slot_.stream = env->stream;
        if (!slot_.fits()) {
          slot_.set_block(env->allocator->allocate(static_cast<long>(bytes_.size()), bytes_));
        }
      }
      return slot_;
    }

   private:
    slot_type slot_;
    text_tools::bstringstream bytes_;
  };

  // Gives a present key its new value, freeing the old value's block.
  bool replace(K const& key, V const& value) {
    if (!contains(key)) return false;
    value_slot old;
    encoded_slot<V> v(value);
    tree_.replace_value(probe(key), v.placed(env_), old);
    free_owned(old);
    return true;
  }
  void free_owned(value_slot const& old) {
    word_t const freed = map_owned_block<value_slot>::of(old);
    if (freed != no_address) env_->allocator->deallocate(freed);
  }
  void free_key(key_slot const& unused) {
    word_t const freed = map_owned_block<key_slot>::of(unused);
    if (freed != no_address) env_->allocator->deallocate(freed);
  }

  // Whether the map called name still keeps key's container at handle, for
  // the container's object (db_handle::taken_from), which may outlive this
  // map object: the look opens the map afresh.
  // A root removed since this map's object found the container is told as removed, as the
  // map's object would tell it.
  std::shared_ptr<inner_origin const> origin_of(K const& key, word_t handle) const {
    return std::make_shared<inner_origin const>([env = env_, name = name_, key, handle,
                                                 link = tree_.link(), root = tree_.handle()] {
      link.require_not_gone(root);
      d_map map(name, env, d_root::existing);
      value_slot found;
      return map.tree_.get(probe(key), found) && found.handle == handle;
    });
  }

  tree tree_;
  d_env* env_;
  std::string name_;
};

}  // namespace disk_tools
