// Every kind of container on one database, each named by several objects at once, against
// std:: models (model_harness.h); the list and the vector, named by two objects each, run
// through sequence_model_test.cpp. Each step changes one container through a random object
// (now and then a transaction of several changes, committed or rolled back), and then a
// random object of that container, usually not the writer, must read what the model holds;
// a reopening compares every container through every object. A change lost to another
// object's stale cache, or a cache that misses another object's change or a rollback,
// shows at the step that made it.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include "model_harness.h"

using namespace disk_tools;

namespace {

using test_support::pick;
using test_support::require;
using std::string;
using int_map = d_map<unsigned, unsigned, unsigned>;
using str_map = d_map<d_ref<string>, d_ref<string>, string>;
using hash_map = d_hashmap<string, string>;
template <class T>
using objects_of = std::vector<std::unique_ptr<T>>;

constexpr int objects = 3;  // per container
enum kind { var, lists, hash, imap, smap, kinds };
// How often each kind is changed: the maps most, so that they grow to many nodes.
std::discrete_distribution<int> const kind_odds{1, 2, 3, 5, 4};

struct models {
  string var;
  std::vector<std::vector<int>> lists;
  std::map<string, string> hash;
  std::map<unsigned, unsigned> imap;
  std::map<string, string> smap;
};

template <class Walkable, class Model>
bool walks_as(Walkable& c, Model const& m) {
  return std::equal(c.begin(), c.end(), m.begin(), m.end());
}
template <class Map, class Model>
bool pairs_as(Map& map, Model const& m) {
  using plain = typename Model::key_type;
  return map.size() == m.size() &&
         std::equal(map.begin(), map.end(), m.begin(), m.end(), [](auto const& p, auto const& q) {
           return plain(p.key) == q.first && plain(p.value) == q.second;
         });
}

class many_objects {
 public:
  void attach(d_env& env) {
    env_ = &env;
    for (int i = 0; i < objects; ++i) {
      vars_.push_back(std::make_unique<d_var<string>>("var", &env));
      ptrs_.push_back(std::make_unique<d_ptr<string>>(*vars_.back(), &env));
      outer_.push_back(std::make_unique<d_list<d_list<int>>>("lists", &env));
      hashes_.push_back(std::make_unique<hash_map>("hash", 3, &env));
      imaps_.push_back(std::make_unique<int_map>("imap", &env));
      smaps_.push_back(std::make_unique<str_map>("smap", &env));
    }
    // One object grows the table as it fills; the others never would.
    hashes_[0]->set_max_load_factor(1.0);
    // A cell that never holds a value again after a rollback: a d_ptr reads its own
    // last value from an empty cell.
    if (vars_[0]->get_data().empty()) *vars_[0] = m_.var = "first";
    remake_inner();
  }
  void detach() {
    inner_.clear();
    vars_.clear(), ptrs_.clear(), outer_.clear();
    hashes_.clear(), imaps_.clear(), smaps_.clear();
  }

  std::string step(std::mt19937& rng) {
    rng_ = &rng;
    if (pick(rng, 1, 30) == 1) return transaction();
    int const k = std::discrete_distribution<int>(kind_odds)(rng);
    std::string const what = change(k);
    int const reader = pick(rng, 0, objects - 1);
    std::string const diff = differs(k, reader);
    require(diff.empty(), what + ", then object " + std::to_string(reader) + ": " + diff);
    return what;
  }

  std::string compare() {
    for (int k = 0; k < kinds; ++k) {
      for (int o = 0; o < objects; ++o) {
        std::string const diff = differs(k, o);
        if (!diff.empty()) return "object " + std::to_string(o) + ": " + diff;
      }
    }
    return "";
  }

  std::vector<std::string> check() {
    std::vector<std::string> problems = outer_[0]->check();
    for (auto const& more : {hashes_[2]->check(), check_map(*imaps_[1]), check_map(*smaps_[2])}) {
      problems.insert(problems.end(), more.begin(), more.end());
    }
    return problems;
  }

 private:
  int any(int n) { return pick(*rng_, 0, n - 1); }
  template <class T>
  T& some(objects_of<T> const& of) {
    return *of[static_cast<std::size_t>(any(objects))];
  }
  std::string word() { return "w" + std::to_string(any(100)); }

  std::string change(int k) {
    switch (k) {
      case var: return change_var();
      case lists: return change_lists();
      case hash: return change_hash();
      case imap: return change_imap();
      default: return change_smap();
    }
  }

  std::string differs(int k, int o) {
    auto const at = static_cast<std::size_t>(o);
    switch (k) {
      case var: {
        std::string const by_var = vars_[at]->get_data(), by_ptr = *(*ptrs_[at]);
        bool const in_place = vars_[at]->view() == m_.var;
        return by_var == m_.var && by_ptr == m_.var && in_place
                   ? ""
                   : "var reads " + by_var + "/" + by_ptr + (in_place ? "" : " (view differs)");
      }
      case lists: return lists_differ(*outer_[at]);
      case hash: return hash_differs(*hashes_[at]);
      case imap: return pairs_as(*imaps_[at], m_.imap) ? "" : "number map";
      default: return smap_differs(*smaps_[at]);
    }
  }

  std::string change_var() {
    std::string const v = word();
    if (any(2) == 0) {
      some(vars_) = v;
    } else {
      *some(ptrs_) = v;
    }
    m_.var = v;
    return "var = " + v;
  }

  // The inner lists are worked on through the objects that made them (remade from the
  // outer list after a reopening or a rollback) and through views from an outer object.
  std::string change_lists() {
    auto& m = m_.lists;
    int const n = static_cast<int>(m.size());
    int const i = any(n + 1);
    if (i == n) {
      inner_.push_back(std::make_unique<d_list<int>>(env_));
      some(outer_).push_back(*inner_.back());
      m.emplace_back();
      return "lists: new inner list";
    }
    auto const at = static_cast<std::size_t>(i);
    if (any(6) == 0) {
      auto it = std::next(some(outer_).begin(), i);
      some(outer_).erase(it);
      m.erase(m.begin() + i);
      inner_.erase(inner_.begin() + i);
      return "lists: erase " + std::to_string(i);
    }
    int const v = any(50);
    d_list<int> view = *std::next(some(outer_).begin(), i);
    d_list<int>& inner = any(2) == 0 ? view : *inner_[at];
    if (!m[at].empty() && any(3) == 0) {
      inner.pop_front();
      m[at].erase(m[at].begin());
      return "lists: pop_front of " + std::to_string(i);
    }
    inner.push_back(v);
    m[at].push_back(v);
    return "lists: push_back to " + std::to_string(i);
  }

  std::string lists_differ(d_list<d_list<int>>& outer) {
    if (outer.size() != m_.lists.size()) return "outer list size";
    auto it = outer.begin();
    for (std::size_t i = 0; i < m_.lists.size(); ++i, ++it) {
      d_list<int> view = *it;
      if (!walks_as(view, m_.lists[i]) || !walks_as(*inner_[i], m_.lists[i]))
        return "inner list " + std::to_string(i);
    }
    return "";
  }

  void remake_inner() {
    inner_.clear();
    for (auto it = outer_[0]->begin(); it != outer_[0]->end(); ++it) {
      inner_.push_back(std::make_unique<d_list<int>>(*it));
    }
  }

  std::string change_hash() {
    auto& h = some(hashes_);
    std::string const key = "h" + std::to_string(any(80)), value = word();
    switch (any(5)) {
      case 0:
      case 1: return h.put(key, value), m_.hash[key] = value, "hash put " + key;
      case 2: return h[key] = value, m_.hash[key] = value, "hash [" + key + "] = " + value;
      case 3: return h.erase(key), m_.hash.erase(key), "hash erase " + key;
      default: return h.rehash(1 + any(40)), "hash rehash";
    }
  }

  std::string hash_differs(hash_map& h) {
    if (h.size() != m_.hash.size()) return "hash size";
    if (static_cast<std::size_t>(std::distance(h.begin(), h.end())) != h.size()) return "hash walk";
    for (auto const& [key, value] : m_.hash) {
      std::string got;
      if (!h.get(key, got) || got != value) return "hash value of " + key;
    }
    return "";
  }

  std::string change_imap() {
    auto& map = some(imaps_);
    auto const key = static_cast<unsigned>(any(1000)), value = static_cast<unsigned>(any(1000));
    std::string const what = std::to_string(key);
    switch (any(8)) {
      case 0: return map.insert(key, value), m_.imap[key] = value, "number map insert " + what;
      case 1:
        if (map.update(key, value)) m_.imap[key] = value;
        return "number map update " + what;
      case 2: return map[key] = value, m_.imap[key] = value, "number map [" + what + "] =";
      case 3: return map.erase(key), m_.imap.erase(key), "number map erase " + what;
      default: return map.put(key, value), m_.imap[key] = value, "number map put " + what;
    }
  }

  std::string change_smap() {
    auto& map = some(smaps_);
    std::string const key = "k" + std::to_string(any(400)), value = word();
    d_ref<string> const stored_key(key, env_), stored_value(value, env_);
    switch (any(6)) {
      case 0: return map.erase(stored_key), m_.smap.erase(key), "string map erase " + key;
      case 1: return map[stored_key] = stored_value, m_.smap[key] = value, "string map [" + key + "]";
      default: return map.put(stored_key, stored_value), m_.smap[key] = value, "string map put " + key;
    }
  }

  std::string smap_differs(str_map& map) {
    if (!pairs_as(map, m_.smap)) return "string map";
    std::string const key = "k" + std::to_string(any(400));
    std::string got;
    auto const at = m_.smap.find(key);
    bool const found = map.get(key, got);
    return found == (at != m_.smap.end()) && (!found || got == at->second)
               ? ""
               : "string map lookup of " + key;
  }

  // A few changes to random containers, committed or rolled back together.
  std::string transaction() {
    models const before = m_;
    bool const keep = any(2) == 0;
    std::string what = keep ? "committed:" : "rolled back:";
    {
      d_transaction tx(env_->database);
      for (int i = 0, n = 1 + any(4); i < n; ++i) what += " " + change(any(kinds));
      if (keep) tx.commit();
    }
    if (!keep) m_ = before, remake_inner();
    require(compare().empty(), what + ": " + compare());
    return what;
  }

  d_env* env_ = nullptr;
  std::mt19937* rng_ = nullptr;
  models m_;
  objects_of<d_var<string>> vars_;
  objects_of<d_ptr<string>> ptrs_;
  objects_of<d_list<d_list<int>>> outer_;
  objects_of<d_list<int>> inner_;  // one per element of the outer list
  objects_of<hash_map> hashes_;
  objects_of<int_map> imaps_;
  objects_of<str_map> smaps_;
};

TEST(ManyObjects, EveryKindThroughSeveralObjectsPerRoot) {
  for (unsigned seed : {1u, 2u, 3u}) {
    many_objects subject;
    test_support::run_model(subject, {seed, 3000, 200, {}});
    if (::testing::Test::HasFailure()) return;
  }
}

// Two openings of one database, as two processes hold it: what the second
// commits, the first one's objects read at their next operation, whatever
// they kept of where the values lay (the vector and the list read in place,
// the slot table read by key, which has moved meanwhile).
TEST(ManyObjects, ReadsFollowAnotherOpeningsCommits) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("two");
  d_env env{};
  ASSERT_TRUE(create_database(name, &env));
  scoped_database first = open_database_scoped(name, &env);
  d_vector<string> vec("vec", 2, &env);
  d_list<string> list("list", &env);
  d_hashmap<std::uint64_t, std::uint64_t> slots("slots", &env);
  vec.push_back("old"), list.push_back("old"), slots.put(1, 10);
  auto const reads = [&] {
    std::uint64_t value = 0;
    slots.get(1, value);
    return string(vec.view(0)) + "/" + string(list.begin().view()) + "/" + std::to_string(value);
  };
  ASSERT_EQ(reads(), "old/old/10");
  {
    d_env other{};
    scoped_database second = open_database_scoped(name, &other);
    d_vector<string> v("vec", 2, &other);
    d_list<string> l("list", &other);
    d_hashmap<std::uint64_t, std::uint64_t> h("slots", &other);
    // Values of another length: their blocks lie elsewhere.
    v[0] = "a longer value";
    auto at = l.begin();
    dl_assign<string>{at} = "a longer value";
    // Enough keys that the table moves to a larger block first.
    for (std::uint64_t k = 2; k < 40; ++k) h.put(k, k);
    h.put(1, 11);
  }
  EXPECT_EQ(reads(), "a longer value/a longer value/11");
}

}  // namespace
