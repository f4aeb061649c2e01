// A hash table from file addresses to small values, kept in one flat array:
// a lookup reads one or two neighbouring slots instead of following a chain of
// separately allocated nodes, filling it costs no allocation per entry, and
// dropping it frees one block. The allocator's mirror of its lists (which
// every opening of a database builds anew) keeps its records in these.
//
// Keys are addresses, never -1, which marks an empty slot. Open addressing
// with linear probing; erasing shifts the following entries back, so no
// tombstones pile up. Pointers to values stay valid until the next insertion.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "disk_tools/detail/coding.h"
#include "disk_tools/error.h"

namespace disk_tools {

template <class V>
class address_table {
 public:
  std::size_t size() const { return size_; }

  // Removes every entry.
  void clear() {
    slots_.clear();
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
  }

  // Room for n entries without growing.
  void reserve(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity / 2 < n) capacity *= 2;  // at most half full
    if (capacity > slots_.size()) rehash(capacity);
  }

  V* find(word_t key) {
    if (key == no_address || slots_.empty()) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].value;
      if (slots_[i].key == no_address) return nullptr;
    }
  }
  V const* find(word_t key) const { return const_cast<address_table*>(this)->find(key); }
  bool contains(word_t key) const { return find(key) != nullptr; }

  V& at(word_t key) {
    V* v = find(key);
    if (!v) throw error(errc::out_of_range, "address_table::at");
    return *v;
  }
  V const& at(word_t key) const { return const_cast<address_table*>(this)->at(key); }

  // Inserts key with value unless key is present; the entry's value and
  // whether it was inserted.
  std::pair<V*, bool> emplace(word_t key, V const& value) {
    if (key == no_address) throw error(errc::out_of_range, "address_table: -1 is no key");
    if (V* present = find(key)) return {present, false};
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
    std::size_t i = home(key);
    while (slots_[i].key != no_address) i = (i + 1) & mask_;
    slots_[i] = slot{key, value};
    ++size_;
    return {&slots_[i].value, true};
  }

  // The value of key, inserted value-initialised when absent.
  V& operator[](word_t key) { return *emplace(key, V{}).first; }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void for_each(F f) const {
    for (slot const& s : slots_) {
      if (s.key != no_address) f(s.key, s.value);
    }
  }

  // Removes key; false when it was absent.
  bool erase(word_t key) {
    if (key == no_address || slots_.empty()) return false;
    std::size_t i = home(key);
    while (slots_[i].key != key) {
      if (slots_[i].key == no_address) return false;
      i = (i + 1) & mask_;
    }
    // Backward shift: every later entry of the run whose home does not lie
    // between the hole and itself moves into the hole.
    for (std::size_t j = (i + 1) & mask_; slots_[j].key != no_address; j = (j + 1) & mask_) {
      std::size_t const h = home(slots_[j].key);
      bool const stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = slot{};
    --size_;
    return true;
  }

 private:
  struct slot {
    word_t key = no_address;
    V value{};
  };

  std::size_t home(word_t key) const {
    // Fibonacci hashing: addresses share their low bits (records are
    // aligned alike), the high bits of the product do not.
    return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull) >>
                                    shift_) &
           mask_;
  }

  void rehash(std::size_t capacity) {
    std::vector<slot> old = std::move(slots_);
    slots_.assign(capacity, slot{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c /= 2) --shift_;
    size_ = 0;
    for (slot const& s : old) {
      if (s.key == no_address) continue;
      std::size_t i = home(s.key);
      while (slots_[i].key != no_address) i = (i + 1) & mask_;
      slots_[i] = s;
      ++size_;
    }
  }

  std::vector<slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace disk_tools
