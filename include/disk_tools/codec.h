// Teaching the containers a type of your own.
//
// A container keeps each value in a block of the file: a std::string as its
// characters, a trivially copyable type (an integer, a double, a plain struct)
// as its bytes. Any other type needs a codec: specialise disk_tools::codec for
// it, and lists, vectors, variables, pointers and references hold it like any
// other value.
//
//   struct package {
//     std::string name;
//     std::uint64_t size;
//     std::vector<std::string> depends;
//   };
//
//   template <>
//   struct disk_tools::codec<package> {
//     static void encode(package const& p, std::string& out) {
//       disk_tools::put(out, p.name);
//       disk_tools::put(out, p.size);
//       disk_tools::put(out, p.depends);
//     }
//     static package decode(std::string_view in) {
//       package p;
//       disk_tools::get(in, p.name);
//       disk_tools::get(in, p.size);
//       disk_tools::get(in, p.depends);
//       return p;
//     }
//   };
//
// encode appends the value's bytes to out; decode makes the value from exactly
// the bytes encode gave, and throws (decoding_error, for example) when they
// cannot be right. put and get lay out strings, vectors and trivially copyable
// values with their lengths, so that a codec reads like the struct it stores.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "disk_tools/error.h"

namespace disk_tools {

// Specialised by the user for each type of their own; never defined here.
template <class T>
struct codec;

// True when codec<T> has been specialised with encode and decode.
template <class T, class = void>
struct has_codec : std::false_type {};
template <class T>
struct has_codec<T, std::void_t<decltype(codec<T>::decode(std::string_view{})),
                                decltype(codec<T>::encode(std::declval<T const&>(),
                                                          std::declval<std::string&>()))>>
    : std::true_type {};
template <class T>
inline constexpr bool has_codec_v = has_codec<T>::value;

// Thrown by get when the bytes end before the value does, and by a codec's
// decode for bytes it cannot make a value of.
struct decoding_error : error {
  decoding_error() : error(errc::corrupt, "stored value cannot be decoded...") {}
};

inline void put(std::string& out, std::string_view value);

// Appends value to out: trivially copyable values as their bytes, strings and
// vectors as an 8-byte count and then their contents. A C string (a char
// pointer, c_str()) is a string too: its own bytes are only an address, which
// names nothing once read back.
template <class T>
void put(std::string& out, T const& value) {
  static_assert(std::is_trivially_copyable<T>::value,
                "put lays out trivially copyable values, std::string and std::vector");
  if constexpr (std::is_pointer<T>::value &&
                std::is_same<std::remove_cv_t<std::remove_pointer_t<T>>, char>::value) {
    put(out, value ? std::string_view(value) : std::string_view());
  } else {
    out.append(reinterpret_cast<char const*>(&value), sizeof value);
  }
}
inline void put(std::string& out, std::string_view value) {
  put(out, static_cast<std::uint64_t>(value.size()));
  out.append(value.data(), value.size());
}
inline void put(std::string& out, std::string const& value) {
  put(out, std::string_view(value));
}
template <class T>
void put(std::string& out, std::vector<T> const& values) {
  put(out, static_cast<std::uint64_t>(values.size()));
  for (auto const& v : values) put(out, v);
}

// Takes from the front of in what put appended, and moves in past it.
template <class T>
void get(std::string_view& in, T& value) {
  static_assert(std::is_trivially_copyable<T>::value,
                "get reads trivially copyable values, std::string and std::vector");
  if (in.size() < sizeof value) throw decoding_error();
  std::memcpy(&value, in.data(), sizeof value);
  in.remove_prefix(sizeof value);
}
inline void get(std::string_view& in, std::string& value) {
  std::uint64_t n = 0;
  get(in, n);
  if (n > in.size()) throw decoding_error();
  value.assign(in.data(), static_cast<std::size_t>(n));
  in.remove_prefix(static_cast<std::size_t>(n));
}
template <class T>
void get(std::string_view& in, std::vector<T>& values) {
  std::uint64_t n = 0;
  get(in, n);
  // Every element takes at least a byte, so a count beyond what is left is
  // damage, not a reason to reserve gigabytes.
  if (n > in.size()) throw decoding_error();
  values.clear();
  values.reserve(static_cast<std::size_t>(n));
  for (std::uint64_t i = 0; i < n; ++i) {
    values.emplace_back();
    get(in, values.back());
  }
}

}  // namespace disk_tools
