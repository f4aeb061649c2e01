// The standard algorithms that move elements about, run on a d_vector and on a
// std::vector holding the same values: each row must leave both alike (and give
// the same answer, where it has one), with a value block per element and
// nothing else in use; the string rows run again in a transaction that is rolled
// back. The file is checked at the end: no problem and no block left over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include "harness.h"
#include "stored_types.h"

using namespace disk_tools;

namespace {

// Orders by something reached through the element's own members, as a
// comparator written for std::vector<T> does; many elements tie.
struct by_key {
  template <class A, class B>
  bool operator()(A const& a, B const& b) const { return key(a) < key(b); }
  template <class V>
  static long key(V const& v) {
    if constexpr (std::is_convertible_v<V const&, int>)
      return std::abs(v) % 5;
    else if constexpr (std::is_convertible_v<V const&, std::string>)
      return static_cast<long>(v.size());
    else
      return static_cast<long>(v.name.size() + v.depends.size());
  }
};

// Runs the algorithm named on c (a std::vector or a d_vector, the same code for both); an answer
// where the algorithm gives one (a position), else -1.
template <class C, class T>
long run(std::string const& a, C& c, T const& probe) {
  auto const first = c.begin(), last = c.end();
  long const n = last - first;
  using std::swap;
  if (a == "sort") {
    std::sort(first, last);
  } else if (a == "sort by key") {
    std::sort(first, last, by_key{});
  } else if (a == "stable_sort by key") {
    std::stable_sort(first, last, by_key{});
  } else if (a == "reverse") {
    std::reverse(first, last);
  } else if (a == "rotate") {
    return std::rotate(first, first + n / 3, last) - first;
  } else if (a == "partition") {
    return std::partition(first, last, [](auto const& v) { return by_key::key(v) % 2 == 1; }) -
           first;
  } else if (a == "make_heap, sort_heap") {
    std::make_heap(first, last);
    std::sort_heap(first, last);
  } else if (a == "swap(v[i], v[j])") {
    for (long i = 0; i + 3 < n; i += 2) swap(c[i], c[i + 3]);
    swap(c[1], c[1]);
  } else if (a == "iter_swap") {
    for (auto it = first; it + 1 < last; it += 3) std::iter_swap(it, last - 1);
  } else if (a == "v[i] = v[j]") {
    for (long i = 0; i + 1 < n; ++i) c[i] = c[i + 1];
  } else if (a == "lower_bound") {
    std::sort(first, last);
    return std::lower_bound(first, last, probe) - first;
  } else {
    ADD_FAILURE() << "no algorithm is named " << a;
  }
  return -1;
}

template <class T>
T value_of(std::mt19937& rng) {
  if constexpr (std::is_same_v<T, int>) {
    return std::uniform_int_distribution<int>(-30, 30)(rng);
  } else if constexpr (std::is_same_v<T, std::string>) {
    static char const* const words[] = {"", "a", "b", "ab", "ba", "\xe9t\xe9", "GOD",
                                        "a longer one than the short ones"};
    return words[std::uniform_int_distribution<int>(0, 7)(rng)];
  } else {
    return test_support::random_package(rng);
  }
}

class VectorAlgorithms : public test_support::database_test {
 protected:
  VectorAlgorithms() : database_test(test_support::memory_dir) {}

  // Every row on a vector of its own, of 23 values drawn from the row's seed; in_rollback runs it
  // in a transaction that is rolled back, which must leave the vector as it was.
  template <class T>
  void every_row(char const* type, bool in_rollback = false) {
    char const* const rows[] = {"sort",        "sort by key",          "stable_sort by key",
                                "reverse",     "rotate",               "partition",
                                "make_heap, sort_heap", "swap(v[i], v[j])", "iter_swap",
                                "v[i] = v[j]", "lower_bound"};
    unsigned seed = 0;
    for (char const* name : rows) {
      SCOPED_TRACE(std::string(type) + ": " + name + (in_rollback ? ", rolled back" : ""));
      std::mt19937 rng(++seed);
      std::vector<T> model;
      d_vector<T> v(std::string(type) + " " + name + (in_rollback ? " undone" : ""), &env_);
      for (int i = 0; i < 23; ++i) {
        model.push_back(value_of<T>(rng));
        v.push_back(model.back());
      }
      T const probe = value_of<T>(rng);
      std::size_t const blocks = env_.allocator->allocation_list().size();
      std::vector<T> const before = model;
      {
        // Outside one, each write is a change of its own.
        std::optional<d_transaction> tx;
        if (in_rollback) tx.emplace(&env_);
        EXPECT_EQ(run(name, v, probe), run(name, model, probe));
        EXPECT_EQ(std::vector<T>(v.begin(), v.end()), model);
      }
      if (in_rollback) model = before;
      EXPECT_EQ(std::vector<T>(v.begin(), v.end()), model);
      EXPECT_EQ(v.check(), std::vector<std::string>{});
      EXPECT_EQ(env_.allocator->allocation_list().size(), blocks) << "blocks made or lost";
    }
  }
};

TEST_F(VectorAlgorithms, MoveElementsAsOnAStdVectorAndLeaveNoBlockBehind) {
  every_row<std::string>("string");
  every_row<int>("int");
  every_row<test_support::package>("package");
  every_row<std::string>("string", true);
  close();
  EXPECT_TRUE(test_support::checks_clean(path())) << "blocks no root owns";
}

// The answers of every comparison of a and b, each way round.
template <class A, class B>
std::vector<bool> compared(A const& a, B const& b) {
  return {a == b, b == a, a != b, b != a, a < b, b < a, a <= b, b <= a, a > b, b > a, a >= b, b >= a};
}

struct point {
  int x, y;
  friend bool operator==(point const& a, point const& b) { return a.x == b.x && a.y == b.y; }
  bool operator<(point const& o) const { return x < o.x || (x == o.x && y < o.y); }
};

// Whatever stands for one stored value (v[i], m[key], a d_var, *p) compares as that value, as
// a std::vector's element does: std::string's comparisons are templates, which see through no
// conversion, so v[i] == "apple" did not compile; nor did v[i] == p for a struct whose == is a
// member.
TEST_F(VectorAlgorithms, WhatStandsForAStoredValueComparesAsTheValue) {
  std::string const words[] = {"", "apple", "apples", "banana", "b"};
  d_vector<std::string> v("v", &env_);
  d_map<std::string, std::string> m("m", &env_);
  d_hashmap<std::string, std::string> h("h", &env_);
  d_var<std::string> x("x", &env_);
  d_ptr<std::string> p(x, &env_);
  for (std::string const& a : words) {
    v.push_back(a);
    m[a] = a;
    h[a] = a;
  }
  for (std::size_t i = 0; i < std::size(words); ++i) {
    std::string const& a = words[i];
    x = a;
    long const at = static_cast<long>(i);
    for (std::string const& b : words) {
      SCOPED_TRACE("'" + a + "' against '" + b + "'");
      std::vector<bool> const model = compared(a, b);
      EXPECT_EQ(compared(v[at], b), model);
      EXPECT_EQ(compared(v[at], b.c_str()), model);
      EXPECT_EQ(compared(m[a], b), model);
      EXPECT_EQ(compared(h[a], b.c_str()), model);
      EXPECT_EQ(compared(x, b), model);
      EXPECT_EQ(compared(*p, b), model);
      EXPECT_EQ(compared(v[at], m[b]), model);
    }
  }

  point const points[] = {{1, 2}, {1, 3}, {0, 9}};
  d_vector<point> pv("points", &env_);
  d_map<int, point> pm("point map", &env_);
  d_hashmap<int, point> ph("point slots", &env_);
  for (int i = 0; i < 3; ++i) {
    pv.push_back(points[i]);
    pm[i] = points[i];
    ph[i] = points[i];
  }
  for (int i = 0; i < 3; ++i) {
    for (point const& b : points) {
      point const& a = points[i];
      bool const same = a == b, less = a < b;
      EXPECT_TRUE((pv[i] == b) == same && (b == pv[i]) == same && (pv[i] < b) == less) << i;
      EXPECT_TRUE((pm[i] == b) == same && (pm[i] < b) == less) << i;
      EXPECT_TRUE((ph[i] == b) == same && (ph[i] < b) == less) << i;
    }
  }
}

// One stand-in assigned from another stores that one's value, as x[a] = x[b] does in a
// std::vector or std::map, and keeps it when the other changes afterwards. Only the vector's
// proxy did: the maps', the hash maps', a pointer's and a list element's took the implicit
// copy, which aimed the left one at the right one's value and stored nothing (m["a"] = m["b"]
// left "a" as it was, or, added by [], empty).
struct copy_case {
  char const* name;
  // Makes stand-ins x holding "x" and y holding "y", runs x = y, then gives y "later";
  // returns what x holds after a reopening.
  std::function<void(d_env&)> copy;
  std::function<std::string(d_env&)> read_x;
};

template <class V>
V value_of(std::string const& s) {
  if constexpr (std::is_same_v<V, std::string>) return s;
  else if constexpr (std::is_same_v<V, test_support::package>) return {s, s.size(), {s, s}};
  else return static_cast<V>(s[0]);
}
template <class V>
std::string text_of(V const& v) {
  if constexpr (std::is_same_v<V, std::string>) return v;
  else if constexpr (std::is_same_v<V, test_support::package>) return v.depends.size() == 2 ? v.name : "?";
  else return std::string(1, static_cast<char>(v));
}

template <class Map, class K>
copy_case subscript_case(char const* name, K x, K y) {
  using V = std::decay_t<decltype(std::declval<Map&>().at(x))>;
  return {name,
          [=](d_env& env) {
            Map m("m", &env);
            m[x] = value_of<V>("x");
            m[y] = value_of<V>("y");
            m[x] = m[y];
            m[y] = value_of<V>("later");
          },
          [=](d_env& env) { return text_of(Map("m", &env).at(x)); }};
}

std::vector<copy_case> const copy_cases = {
    {"v[i] = v[j]",
     [](d_env& env) {
       d_vector<std::string> v("v", &env);
       v.push_back("x");
       v.push_back("y");
       v[0] = v[1];
       v[1] = "later";
     },
     [](d_env& env) { return std::string(d_vector<std::string>("v", &env)[0]); }},
    subscript_case<d_map<std::string, std::string>>("ordered map of strings", std::string("a"),
                                                    std::string("b")),
    subscript_case<d_map<int, test_support::package>>("ordered map of codec values", 1, 2),
    subscript_case<d_map<std::int64_t, char>>("ordered map of numbers", -1, 7),
    subscript_case<d_hashmap<std::string, std::string>>("hash map of strings", std::string("a"),
                                                        std::string("b")),
    subscript_case<d_hashmap<std::string, test_support::package>>(
        "hash map of codec values", std::string("a"), std::string("b")),
    subscript_case<d_hashmap<std::uint64_t, std::uint64_t>>("slot table", std::uint64_t{1},
                                                            std::uint64_t{2}),
    {"var = var",
     [](d_env& env) {
       d_var<std::string> x("x", &env), y("y", &env);
       x = "x";
       y = "y";
       x = y;
       y = "later";
     },
     [](d_env& env) { return d_var<std::string>("x", &env).get_data(); }},
    {"*p = *q",
     [](d_env& env) {
       d_var<std::string> x("x", &env), y("y", &env);
       x = "x";
       y = "y";
       d_ptr<std::string> p(x, &env), q(y, &env);
       *p = *q;
       y = "later";
     },
     [](d_env& env) { return d_var<std::string>("x", &env).get_data(); }},
    {"one list element's value given another's",
     [](d_env& env) {
       d_list<std::string> l("l", &env);
       l.push_back("x");
       l.push_back("y");
       auto x = l.begin(), y = std::next(l.begin());
       dl_assign<std::string>{x} = dl_assign<std::string>{y};
       dl_assign<std::string>{y} = "later";
     },
     [](d_env& env) { return d_list<std::string>("l", &env).front(); }},
    {"the drivers' map of numbers",
     [](d_env& env) {
       d_map<unsigned, unsigned, unsigned> m("m", &env);
       m.put(1, 'x');
       m.put(2, 'y');
       m[1] = m[2];
       m[2] = 'l';
     },
     [](d_env& env) {
       unsigned v = 0;
       d_map<unsigned, unsigned, unsigned>("m", &env).get(1, v);
       return std::string(1, static_cast<char>(v));
     }},
    {"the drivers' map of strings, each replaced block freed by its owner",
     [](d_env& env) {
       d_map<d_ref<std::string>, d_ref<std::string>, std::string> m("m", &env);
       d_ref<std::string> const a("a", &env), b("b", &env);
       m.put(a, d_ref<std::string>("x", &env));
       m.put(b, d_ref<std::string>("y", &env));
       long const x = m.find(std::string("a"))->value.address();
       m[a] = m[b];
       env.allocator->deallocate(x);
       long const y = m.find(std::string("b"))->value.address();
       m[b] = d_ref<std::string>("later", &env);
       env.allocator->deallocate(y);
     },
     [](d_env& env) {
       std::string v;
       d_map<d_ref<std::string>, d_ref<std::string>, std::string>("m", &env).get("a", v);
       return v;
     }},
};

// Every root records its kind, so that the check counts a block left behind.
class StandInCopies : public test_support::database_test {
 protected:
  StandInCopies() : database_test(test_support::memory_dir, d_open_options{}) {}
};

TEST_F(StandInCopies, AStandInAssignedFromAnotherStoresItsValue) {
  for (copy_case const& c : copy_cases) {
    SCOPED_TRACE(c.name);
    afresh();
    c.copy(env_);
    reopen();
    EXPECT_EQ(c.read_x(env_), "y");
    close();
    EXPECT_TRUE(test_support::checks_clean(path()));
    open();
  }
}

// A read hands back a copy of the element. An assignment to that copy,
// meant for the element as it would be with std:: containers, would change
// the copy alone: it must not compile. The stand-ins above, which write
// through, still take one.
template <class Read, class Value>
constexpr bool takes = std::is_assignable<Read, Value>::value;

TEST(ReadCopies, TakeNoAssignmentMeantForTheElement) {
  using strings = d_list<std::string>;
  using lists = d_list<strings>;
  using typed = d_map<std::string, std::string>;
  struct read_row {
    char const* read;
    bool changes;
  };
  read_row const copies[] = {
      {"*it of a list", takes<decltype(*std::declval<strings::iterator>()), std::string>},
      {"it-> of a list", takes<decltype(*std::declval<strings::iterator>().operator->()
                                             .operator->()),
                               std::string>},
      {"front() of a list", takes<decltype(std::declval<strings&>().front()), char const*>},
      {"back() of a list of structs",
       takes<decltype(std::declval<d_list<point>&>().back()), point>},
      {"front() of a vector", takes<decltype(std::declval<d_vector<std::string>&>().front()),
                                    std::string>},
      {"(*it).value of a typed map",
       takes<decltype(((*std::declval<typed::iterator>()).value)), std::string>},
      {"at() of a typed map",
       takes<decltype(std::declval<typed&>().at("k")), std::string>},
      {"at() of a hash map",
       takes<decltype(std::declval<d_hashmap<std::uint64_t, point>&>().at(1)), point>},
  };
  for (read_row const& r : copies) EXPECT_FALSE(r.changes) << r.read;

  // The stand-ins that write through, and the inner list of a list of lists,
  // whose changes go to the file, still take theirs.
  read_row const writing[] = {
      {"v[i]", takes<decltype(std::declval<d_vector<std::string>&>()[0]), std::string>},
      {"m[k] of a typed map", takes<decltype(std::declval<typed&>()["k"]), std::string>},
      {"push_back on front() of a list of lists",
       std::is_invocable<decltype(&strings::push_back), decltype(std::declval<lists&>().front()),
                         std::string const&>::value},
  };
  for (read_row const& r : writing) EXPECT_TRUE(r.changes) << r.read;
}

// Elements of two vectors trade places as they would between two std::vectors: a
// swap is one change of both vectors, and the file keeps a block per element.
TEST_F(VectorAlgorithms, SwapsBetweenTwoVectorsTradeTheirValues) {
  std::vector<std::string> ma = {"a", "bb", "ccc"}, mb = {"x", "", "a longer one than the rest"};
  d_vector<std::string> a("a", &env_), b("b", &env_);
  for (std::size_t i = 0; i < 3; ++i) a.push_back(ma[i]), b.push_back(mb[i]);
  std::swap_ranges(a.begin() + 1, a.end(), b.begin());
  std::swap_ranges(ma.begin() + 1, ma.end(), mb.begin());
  using std::swap;
  swap(a[0], b[2]);
  swap(ma[0], mb[2]);
  EXPECT_EQ(std::vector<std::string>(a.begin(), a.end()), ma);
  EXPECT_EQ(std::vector<std::string>(b.begin(), b.end()), mb);
  // In place, where each object kept its pushes' places: both must know of the swaps.
  for (long i = 0; i < 3; ++i)
    EXPECT_TRUE(a.view(i) == ma[static_cast<std::size_t>(i)] &&
                b.view(i) == mb[static_cast<std::size_t>(i)]) << i;
  close();
  EXPECT_TRUE(test_support::checks_clean(path()));
}

}  // namespace
