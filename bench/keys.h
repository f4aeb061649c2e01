// The strings the container workloads store, made in one place so that every
// peer, and every hash of d_hashmap, is given exactly the same ones.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// "value <i>": the list and vector elements, and the hash-map values.
inline std::string element_text(long i) {
  return "value " + std::to_string(i);
}

// "user_0000042": keys that look alike, as generated identifiers usually do.
// d_hashmap's string_hash gives such keys only a few hundred distinct values,
// so its chains grow with the number of keys whatever the bucket count.
inline std::string user_key(long i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "user_%07ld", i);
  return buf;
}

// The inputs of one workload size, made before any clock starts.
struct container_inputs {
  explicit container_inputs(long n) {
    texts.reserve(static_cast<std::size_t>(n));
    keys.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
      texts.push_back(element_text(i));
      keys.push_back(user_key(i));
    }
  }
  long size() const { return static_cast<long>(texts.size()); }

  std::vector<std::string> texts;
  std::vector<std::string> keys;
};

}  // namespace bench
