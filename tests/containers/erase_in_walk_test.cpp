// it = c.erase(it) inside a walk, as std:: containers are walked: every kind returns the position
// after the erased element, so that the walk sees each element once, erases what it meant to, and
// leaves no block behind. And a typed map's walk that changes the map as it goes, as a std::map
// walk may, and a hash map's walk that changes values and erases other keys, as a
// std::unordered_map walk may.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

// Opened as new programs open a database: roots record their kinds, so that the check counts
// the blocks no root owns.
class EraseInWalk : public test_support::database_test {
 protected:
  EraseInWalk() : database_test("", d_open_options{}) {}
};

// Fills the container at root name with the numbers 0 to 99 (add), then
// walks it once, erasing the even ones (number tells an element's number).
template <class C, class Add, class Number>
void erase_evens_in_a_walk(d_env* env, char const* name, Add add, Number number) {
  SCOPED_TRACE(name);
  C c(name, env);
  for (int i = 0; i < 100; ++i) add(c, i);
  std::vector<int> seen, left;
  for (auto it = c.begin(); it != c.end();) {
    int const n = number(it);
    seen.push_back(n);
    if (n % 2 == 0) {
      it = c.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = c.begin(); it != c.end(); ++it) left.push_back(number(it));
  std::sort(seen.begin(), seen.end());
  std::sort(left.begin(), left.end());
  std::vector<int> all(100), odd;
  for (int i = 0; i < 100; ++i) all[static_cast<std::size_t>(i)] = i;
  for (int i = 1; i < 100; i += 2) odd.push_back(i);
  EXPECT_EQ(seen, all) << "the walk missed an element or met one twice";
  EXPECT_EQ(left, odd);
  EXPECT_EQ(static_cast<std::size_t>(c.size()), odd.size());
}

std::string key_of(int i) { return "key " + std::to_string(1000 + i); }
int number_in(std::string const& s) { return std::stoi(s.substr(s.size() - 4)) - 1000; }

template <class C>
struct kind_tag {
  using type = C;
};

// Calls body(kind_tag<C>, name, add, number) for each container kind C: add(c, i) stores the
// i-th element, number(it) tells the number of the element at it.
template <class Body>
void for_each_kind(Body body) {
  using std::uint64_t;
  body(kind_tag<d_list<std::string>>{}, "list", [](auto& l, int i) { l.push_back(key_of(i)); },
       [](auto const& it) { return number_in(*it); });
  body(kind_tag<d_vector<std::string>>{}, "vector",
       [](auto& v, int i) { v.push_back(key_of(i)); },
       [](auto const& it) { return number_in(*it); });
  body(kind_tag<d_map<std::string, std::string>>{}, "map",
       [](auto& m, int i) { m.put(key_of(i), std::string(30, 'v')); },
       [](auto const& it) { return number_in(it->key); });
  body(kind_tag<d_map<uint64_t, d_list<std::string>>>{}, "index",
       [](auto& m, int i) { m[static_cast<uint64_t>(i)].push_back("doc"); },
       [](auto const& it) { return static_cast<int>(it->key); });
  body(kind_tag<d_hashmap<std::string, std::string>>{}, "chains",
       [](auto& m, int i) { m.put(key_of(i), "v"); },
       [](auto const& it) { return number_in(it->first); });
  body(kind_tag<d_hashmap<uint64_t, uint64_t>>{}, "slots",
       [](auto& m, int i) { m.put(static_cast<uint64_t>(i), 7); },
       [](auto const& it) { return static_cast<int>(it->first); });
  body(kind_tag<d_hashmap<std::string, d_list<std::string>>>{}, "hashed index",
       [](auto& m, int i) { m[key_of(i)].push_back("doc"); },
       [](auto const& it) { return number_in(it->first); });
}

TEST_F(EraseInWalk, EveryKindWalksOnFromWhatItErasedAndKeepsNoBlockOfIt) {
  for_each_kind([&](auto kind, char const* name, auto add, auto number) {
    erase_evens_in_a_walk<typename decltype(kind)::type>(&env_, name, add, number);
  });
  close();
  EXPECT_TRUE(test_support::checks_clean(path())) << "blocks of erased elements were left";
}

// A position of another container of the same kind, given to erase (or a vector's insert), is
// refused with nothing written, as the list refuses one: the vector changed itself at that
// position's index, and the maps erased that position's key from themselves. Another object
// naming the same container gives positions that are its own.
template <class C, class Add, class Erase>
void refuses_anothers_position(std::function<std::vector<char>()> const& bytes, d_env* env,
                               char const* name, Add add, Erase erase) {
  SCOPED_TRACE(name);
  std::string const other_name = std::string(name) + " beside";
  C mine(name, env), other(other_name, env);
  for (int i = 0; i < 4; ++i) add(mine, i), add(other, i);
  auto const before = bytes();
  EXPECT_EQ(test_support::code_thrown_by([&] { erase(mine, std::next(other.begin())); }),
            errc::out_of_range);
  EXPECT_EQ(bytes(), before);
  EXPECT_EQ(mine.size(), 4u);
  C same(name, env);
  erase(mine, std::next(same.begin()));
  EXPECT_EQ(mine.size(), 3u);
  EXPECT_EQ(other.size(), 4u);
}

TEST_F(EraseInWalk, EveryKindRefusesAPositionOfAnother) {
  auto const erase = [](auto& c, auto pos) { c.erase(pos); };
  std::function<std::vector<char>()> const bytes = [this] { return this->bytes(); };
  for_each_kind([&](auto kind, char const* name, auto add, auto) {
    refuses_anothers_position<typename decltype(kind)::type>(bytes, &env_, name, add, erase);
  });
  refuses_anothers_position<d_vector<std::string>>(
      bytes, &env_, "vector insert", [](auto& v, int i) { v.push_back(key_of(i)); },
      [](auto& v, auto pos) {
        v.insert(pos, "x");
        v.pop_back();
        v.pop_back();
      });
}

// The maps a walk changes as it goes: the typed map, and the drivers' number and string maps, each
// through its own calls (the string map's blocks are the caller's: its puts leave replaced values
// behind, so its rows do not count blocks).
std::string walk_value(int n) {
  return std::string(20 + n % 90, static_cast<char>('a' + n % 26));
}
unsigned small_number_value(int n) { return static_cast<unsigned>(n) * 31 + 1; }
using driver_strings = d_map<d_ref<std::string>, d_ref<std::string>, std::string>;
// The drivers' string map takes and gives references to stored strings.
template <class Map, class T>
auto stored(d_env* env, T const& x) {
  if constexpr (std::is_same_v<Map, driver_strings>) return d_ref<std::string>(x, env);
  else return x;
}
template <class T>
auto plain(T const& x) {
  if constexpr (std::is_same_v<T, d_ref<std::string>>) return x.get_data();
  else return x;
}

// Walks the map at root name and a std::map holding the same pairs, changing both at every step as
// seed draws (values long enough for blocks of their own, whose freeing lets the next put reuse
// them). The iterator must read what the model holds now and go on to the model's next key above
// the one it stood on, whatever was erased or added around it.
template <class Map, class K, class V>
void change_while_walking(d_env* env, std::string const& name, K (*key)(int), V (*value)(int),
                          unsigned seed) {
  SCOPED_TRACE(name);
  Map m(name, env);
  std::map<K, V> model;
  std::mt19937 rng(seed);
  auto const erase = [&](K const& k) { m.erase(stored<Map>(env, k)); };
  auto const put = [&](K const& k, V const& v) {
    m.put(stored<Map>(env, k), stored<Map>(env, v));
    model[k] = v;
  };
  for (int i = 0; i < 400; i += 2) put(key(i), value(i));
  int steps = 0, backs = 0;
  auto it = m.begin();
  for (auto at = model.begin(); at != model.end(); ++steps) {
    ASSERT_NE(it, m.end());
    K const here = at->first;
    int const other = static_cast<int>(rng() % 400);
    switch (rng() % 6) {
      case 0:  // a new value for the key stood on
        put(here, value(other));
        break;
      case 1:  // the next key goes
        if (std::next(at) != model.end()) {
          erase(std::next(at)->first);
          model.erase(std::next(at));
        }
        break;
      case 2:  // any key comes or goes
        if (model.erase(key(other)) > 0) {
          erase(key(other));
        } else {
          put(key(other), value(other));
        }
        break;
      case 3:  // one step back and forth again
        if (at != model.begin()) {
          ++backs;
          --it;
          ASSERT_EQ(plain(it->key), std::prev(at)->first);
          ++it;
        }
        break;
      default:
        break;
    }
    ASSERT_EQ(plain(it->key), here) << "step " << steps;
    ASSERT_EQ(plain(it->value), model[here]) << "step " << steps;
    if (rng() % 8 == 0) {  // the key stood on goes: ++ goes on above it
      erase(here);
      model.erase(here);
      EXPECT_THROW((void)plain(it->value), error);
    }
    ++it;
    at = model.upper_bound(here);
  }
  EXPECT_EQ(it, m.end());
  EXPECT_GT(backs, 10);
  EXPECT_EQ(m.size(), model.size());
}

std::uint64_t number_key(int i) { return static_cast<std::uint64_t>(i) * 7919; }
unsigned small_number_key(int i) { return static_cast<unsigned>(i) * 7919; }
std::string text_key(int i) {
  // Short keys live in their slots, long ones in blocks the walk's puts free.
  return i % 3 == 0 ? "k" + std::to_string(i) : std::string(30, 'k') + std::to_string(1000 + i);
}

// Walks the hash map at root name and a std::map holding the same pairs; at each step, as seed
// draws, gives the key stood on a new value, or erases another key (its own would be
// it = m.erase(it), tested above), one met already or one still to come. The walk must meet every
// key that was never erased exactly once, no erased key after its erase, and show each key's value
// as it is now.
template <class M, class V>
void hash_walk_changing(d_env* env, char const* name, V (*value)(int), unsigned seed) {
  SCOPED_TRACE(name);
  M m(name, env);
  std::map<std::uint64_t, V> model;
  for (std::uint64_t k = 0; k < 300; ++k) {
    m.put(k, value(static_cast<int>(k)));
    model[k] = value(static_cast<int>(k));
  }
  std::mt19937 rng(seed);
  std::set<std::uint64_t> met, erased;
  for (auto it = m.begin(); it != m.end(); ++it) {
    std::uint64_t const here = it->first;
    ASSERT_TRUE(met.insert(here).second) << here << " met twice";
    ASSERT_EQ(erased.count(here), 0u) << here << " met after its erase";
    ASSERT_EQ(it->second, model[here]);
    int const draw = static_cast<int>(rng() % 400);
    if (draw % 3 == 0) {
      m.put(here, value(draw));
      model[here] = value(draw);
      ASSERT_EQ(it->second, model[here]) << "the walk shows the value replaced";
    } else if (draw % 3 == 1 && draw < 300 && static_cast<std::uint64_t>(draw) != here &&
               model.erase(static_cast<std::uint64_t>(draw)) > 0) {
      m.erase(static_cast<std::uint64_t>(draw));
      erased.insert(static_cast<std::uint64_t>(draw));
    }
  }
  for (auto const& kept : model) EXPECT_EQ(met.count(kept.first), 1u) << kept.first << " missed";
  EXPECT_EQ(m.size(), model.size());
}

std::string long_text(int n) {
  return std::string(40 + n % 100, static_cast<char>('a' + n % 26));
}
std::uint64_t number_value(int n) {
  return static_cast<std::uint64_t>(n) * 31;
}

TEST_F(EraseInWalk, AHashMapWalkMeetsEveryKeptKeyOnceAsValuesChangeAndOthersGo) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::string const s = std::to_string(seed);
    hash_walk_changing<d_hashmap<std::uint64_t, std::string>>(&env_, ("chains " + s).c_str(),
                                                              long_text, seed);
    hash_walk_changing<d_hashmap<std::uint64_t, std::uint64_t>>(&env_, ("slots " + s).c_str(),
                                                                number_value, seed);
  }
  close();
  EXPECT_EQ(check_database(path()).problems, std::vector<std::string>{});
}

// A list's iterators stay on their elements while others are inserted and
// erased around them through other iterators, as std::list iterators do.
TEST_F(EraseInWalk, AListIteratorReadsOnAcrossChangesBesideIt) {
  d_list<std::string> l("list", &env_);
  for (int i = 0; i < 6; ++i) l.push_back(key_of(i));
  auto a = l.begin();
  auto b = std::next(a);
  auto c = std::next(b);
  l.erase(b);  // b moves on to c's element
  l.push_back(std::string(200, 'x'));  // may take the freed node's block
  EXPECT_EQ(*std::next(a), key_of(2));
  l.insert(c, "between");
  EXPECT_EQ(*std::next(a), "between");
  EXPECT_EQ(*std::prev(c), "between");
  l.erase(c);
  std::vector<std::string> walked;
  for (auto it = l.begin(); it != l.end(); ++it) walked.push_back(*it);
  EXPECT_EQ(walked, (std::vector<std::string>{key_of(0), "between", key_of(3), key_of(4), key_of(5),
                                              std::string(200, 'x')}));
}

// An iterator whose element was erased through another iterator, alone or with its neighbours
// (one by one, or all at once by clear), says so instead of following a freed node: the freed
// nodes keep linking each other, and it read the freed value block as its element, or, once
// new elements took the blocks, called the sound file corrupt.
TEST_F(EraseInWalk, AListIteratorWhoseElementWentWithItsNeighboursSaysSo) {
  struct {
    char const* what;
    std::function<void(d_list<std::string>&)> change;
  } const rows[] = {
      {"the element erased through another iterator",
       [](d_list<std::string>& l) { l.erase(std::next(l.begin(), 2)); }},
      {"the element and the one before it erased",
       [](d_list<std::string>& l) {
         l.erase(std::next(l.begin(), 1));
         l.erase(std::next(l.begin(), 1));
       }},
      {"the element and the one after it erased",
       [](d_list<std::string>& l) {
         l.erase(std::next(l.begin(), 2));
         l.erase(std::next(l.begin(), 2));
       }},
      {"the list cleared", [](d_list<std::string>& l) { l.clear(); }},
      {"the list cleared and filled again",
       [](d_list<std::string>& l) {
         l.clear();
         for (int i = 0; i < 6; ++i) l.push_back(std::string(static_cast<std::size_t>(i) * 9, 'n'));
       }},
  };
  std::string const erased =
      "list iterator's element was erased: take the iterator again, or erase through it = "
      "l.erase(it)...";
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    afresh();
    d_list<std::string> l("list", &env_);
    for (int i = 0; i < 6; ++i) l.push_back(key_of(i));
    auto const it = std::next(l.begin(), 2);
    row.change(l);
    EXPECT_TRUE(test_support::throws_error([&] { (void)*it; }, errc::out_of_range, erased));
    EXPECT_TRUE(test_support::throws_error([&] { auto moved = it; ++moved; }, errc::out_of_range,
                                           erased));
  }
}

// A slot table keeps a bounded record of its erases' moves: an iterator kept up to date walks on to
// the keys moved behind it, while one that slept through more moves than the record holds cannot
// tell what it would pass over, and is refused.
TEST_F(EraseInWalk, ASlotTableIteratorThatSleptThroughTooManyErasesIsRefused) {
  d_hashmap<std::uint64_t, std::uint64_t> m("slots", &env_);
  m.put(0, 0);
  m.put(1, 1);
  auto slept = ++m.begin();
  auto kept = ++m.begin();
  std::uint64_t const last = db_state::move_limit + 3;
  for (std::uint64_t k = 2; k <= last; ++k) {
    m.put(k, k);
    m.erase(m.begin()->first);  // k moves into the first entry, behind both
    ASSERT_EQ(kept->first, 1u);
  }
  ++kept;
  EXPECT_EQ(kept->first, last);
  ++kept;
  EXPECT_EQ(kept, m.end());
  EXPECT_THROW(++slept, error);
}

TEST_F(EraseInWalk, AMapWalkReadsWhatTheMapHoldsNowAsItIsChanged) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::string const s = std::to_string(seed);
    change_while_walking<d_map<std::uint64_t, std::string>>(&env_, "numbers " + s, number_key,
                                                            walk_value, seed);
    change_while_walking<d_map<std::string, std::string>>(&env_, "texts " + s, text_key,
                                                          walk_value, seed);
  }
  close();
  EXPECT_TRUE(test_support::checks_clean(path()));
  open();
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::string const s = std::to_string(seed);
    change_while_walking<d_map<unsigned, unsigned, unsigned>>(
        &env_, "drivers' numbers " + s, small_number_key, small_number_value, seed);
    change_while_walking<driver_strings>(&env_, "drivers' texts " + s, text_key, walk_value,
                                         seed);
  }
  close();
  EXPECT_EQ(check_database(path()).problems, std::vector<std::string>{});
}

}  // namespace
