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

// -1, 0 or 1 as a orders before, with or after b, by operator<. A key type
// that can tell all three apart in one go gives an overload, found by
// argument-dependent lookup.
template <class A, class B>
int key_order(A const& a, B const& b) {
  if (a < b) return -1;
  return b < a ? 1 : 0;
}

}  // namespace disk_tools
