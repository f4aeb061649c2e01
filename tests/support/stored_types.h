// Values of the tests' own types: a struct that needs a codec (it holds a
// string and a vector), with the ordering and equality the models use.
#pragma once

#include <disk_tools/codec.h>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace test_support {

struct package {
  std::string name;
  std::uint64_t size = 0;
  std::vector<std::string> depends;

  bool operator==(package const& o) const {
    return std::tie(name, size, depends) == std::tie(o.name, o.size, o.depends);
  }
  bool operator!=(package const& o) const { return !(*this == o); }
  bool operator<(package const& o) const {
    return std::tie(name, size, depends) < std::tie(o.name, o.size, o.depends);
  }
};

// Packages of a few names, sizes and dependency lists (the empty ones too).
inline package random_package(std::mt19937& rng) {
  static char const* const names[] = {"", "libc6", "zlib1g", "a", "\xff\x00z"};
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  package p{names[pick(5)], static_cast<std::uint64_t>(pick(3)) << 40, {}};
  for (int i = pick(4); i > 0; --i) p.depends.push_back(names[pick(5)]);
  return p;
}

}  // namespace test_support

template <>
struct disk_tools::codec<test_support::package> {
  static void encode(test_support::package const& p, std::string& out) {
    put(out, p.name);
    put(out, p.size);
    put(out, p.depends);
  }
  static test_support::package decode(std::string_view in) {
    test_support::package p;
    get(in, p.name);
    get(in, p.size);
    get(in, p.depends);
    if (!in.empty()) throw decoding_error();
    return p;
  }
};
