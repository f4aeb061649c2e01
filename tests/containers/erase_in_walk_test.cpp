// it = c.erase(it) inside a walk, as std:: containers are walked: every kind
// returns the position after the erased element, so that the walk sees each
// element once, erases what it meant to, and leaves no block behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

class EraseInWalk : public test_support::database_test {};

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

TEST_F(EraseInWalk, EveryKindWalksOnFromWhatItErasedAndKeepsNoBlockOfIt) {
  erase_evens_in_a_walk<d_list<std::string>>(
      &env_, "list", [](auto& l, int i) { l.push_back(key_of(i)); },
      [](auto const& it) { return number_in(*it); });
  erase_evens_in_a_walk<d_vector<std::string>>(
      &env_, "vector", [](auto& v, int i) { v.push_back(key_of(i)); },
      [](auto const& it) { return number_in(*it); });
  erase_evens_in_a_walk<d_map<std::string, std::string>>(
      &env_, "map", [](auto& m, int i) { m.put(key_of(i), std::string(30, 'v')); },
      [](auto const& it) { return number_in(it->key); });
  erase_evens_in_a_walk<d_map<std::uint64_t, d_list<std::string>>>(
      &env_, "index", [](auto& m, int i) { m[static_cast<std::uint64_t>(i)].push_back("doc"); },
      [](auto const& it) { return static_cast<int>(it->key); });
  erase_evens_in_a_walk<d_hashmap<std::string, std::string>>(
      &env_, "chains", [](auto& m, int i) { m.put(key_of(i), "v"); },
      [](auto const& it) { return number_in(it->first); });
  erase_evens_in_a_walk<d_hashmap<std::uint64_t, std::uint64_t>>(
      &env_, "slots", [](auto& m, int i) { m.put(static_cast<std::uint64_t>(i), 7); },
      [](auto const& it) { return static_cast<int>(it->first); });
  erase_evens_in_a_walk<d_hashmap<std::string, d_list<std::string>>>(
      &env_, "hashed index", [](auto& m, int i) { m[key_of(i)].push_back("doc"); },
      [](auto const& it) { return number_in(it->first); });
  close();
  database_check const check = check_database(path());
  EXPECT_EQ(check.problems, std::vector<std::string>{});
  EXPECT_EQ(check.notes, std::vector<std::string>{}) << "blocks of erased elements were left";
}

}  // namespace
