// Comparisons for the objects that stand for one stored value (v[i], m[key],
// a d_var, *p): they compare as the value they read, as a std::vector's
// element does. A type's own comparisons see through the conversion to it
// when they are plain functions, but std::string's are templates, which look
// through no conversion: without these, v[i] == "apple" would not compile.
// Numbers compare through the conversion already, so only classes get them.
#pragma once

#include <type_traits>

namespace disk_tools {
namespace detail {

// The base of every such object's comparisons, by which one knows another.
struct stands_for_a_value {};

template <class Proxy, class T, bool = std::is_class<T>::value>
class compares_as : stands_for_a_value {};

// Against another kind of such object (v[i] == m[key]), each is read as T.
template <class Other, class T>
using other_stand_in = std::enable_if_t<std::is_base_of<stands_for_a_value, Other>::value &&
                                        std::is_convertible<Other const&, T>::value>;

#define DISK_TOOLS_COMPARES_AS(op)                                                          \
  friend bool operator op(Proxy const& a, Proxy const& b) { return T(a) op T(b); }          \
  friend bool operator op(Proxy const& a, T const& b) { return T(a) op b; }                 \
  friend bool operator op(T const& a, Proxy const& b) { return a op T(b); }                 \
  template <class Other, class = other_stand_in<Other, T>>                                  \
  friend bool operator op(Proxy const& a, Other const& b) { return T(a) op T(b); }

template <class Proxy, class T>
class compares_as<Proxy, T, true> : stands_for_a_value {
  DISK_TOOLS_COMPARES_AS(==)
  DISK_TOOLS_COMPARES_AS(!=)
  DISK_TOOLS_COMPARES_AS(<)
  DISK_TOOLS_COMPARES_AS(<=)
  DISK_TOOLS_COMPARES_AS(>)
  DISK_TOOLS_COMPARES_AS(>=)
};

#undef DISK_TOOLS_COMPARES_AS

}  // namespace detail
}  // namespace disk_tools
