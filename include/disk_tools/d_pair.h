// One key and its value, as held in a slot of a map node. Pairs are ordered by
// key alone; the value never takes part.
#pragma once

namespace disk_tools {

template <class K, class V>
struct d_pair {
  K key{};
  V value{};

  bool operator<(d_pair const& other) const { return key < other.key; }
};

// Keys are compared only with operator<, so equality is "neither orders first".
template <class K>
bool same_key(K const& a, K const& b) {
  return !(a < b) && !(b < a);
}

}  // namespace disk_tools
