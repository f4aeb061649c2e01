// A variable with pointers to it and a list of lists with views of its inner lists, each
// named by several objects (one left behind by a move), against std:: models. Each step
// changes one container through a random object, then another object must read what the
// model holds: a change lost to a stale cache, or a cache that misses another object's
// change or a rollback, shows at the step that made it.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include "model_harness.h"

using namespace disk_tools;

namespace {

using test_support::pick;
using test_support::require;
using std::string;
template <class T>
using objects_of = std::vector<std::unique_ptr<T>>;

constexpr int objects = 3;  // per container
enum kind { var, lists, kinds };

struct models {
  string var;
  std::vector<std::vector<int>> lists;
};

template <class Walkable, class Model>
bool walks_as(Walkable& c, Model const& m) {
  return std::equal(c.begin(), c.end(), m.begin(), m.end());
}

class many_objects {
 public:
  void attach(d_env& env) {
    env_ = &env;
    for (int i = 0; i < objects; ++i) {
      vars_.push_back(std::make_unique<d_var<string>>("var", &env));
      ptrs_.push_back(std::make_unique<d_ptr<string>>(*vars_.back(), &env));
      outer_.push_back(std::make_unique<d_list<d_list<int>>>("lists", &env));
    }
    // Object 1 of each kind is one a move left behind: it still names its container.
    d_var<string> var_taken(std::move(*vars_[1]));
    d_ptr<string> ptr_taken(std::move(*ptrs_[1]));
    d_list<d_list<int>> outer_taken(std::move(*outer_[1]));
    // A cell that never holds a value again after a rollback: a d_ptr reads its own
    // last value from an empty cell.
    if (vars_[0]->get_data().empty()) *vars_[0] = m_.var = "first";
    remake_inner();
  }
  void detach() { inner_.clear(); vars_.clear(); ptrs_.clear(); outer_.clear(); }

  std::string step(std::mt19937& rng) {
    rng_ = &rng;
    if (pick(rng, 1, 30) == 1) return transaction();
    int const k = pick(rng, 0, 2) == 0 ? var : lists;
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

  std::vector<std::string> check() { return outer_[0]->check(); }

 private:
  int any(int n) { return pick(*rng_, 0, n - 1); }
  template <class T>
  T& some(objects_of<T> const& of) { return *of[static_cast<std::size_t>(any(objects))]; }
  std::string word() { return "w" + std::to_string(any(100)); }

  std::string change(int k) { return k == var ? change_var() : change_lists(); }

  std::string differs(int k, int o) {
    auto const at = static_cast<std::size_t>(o);
    if (k == lists) return lists_differ(*outer_[at]);
    std::string const by_var = vars_[at]->get_data(), by_ptr = *(*ptrs_[at]);
    bool const in_place = vars_[at]->view() == m_.var;
    return by_var == m_.var && by_ptr == m_.var && in_place
               ? ""
               : "var reads " + by_var + "/" + by_ptr + (in_place ? "" : " (view differs)");
  }

  std::string change_var() {
    std::string const v = word();
    if (any(2) == 0) some(vars_) = v;
    else *some(ptrs_) = v;
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
    for (auto it = outer_[0]->begin(); it != outer_[0]->end(); ++it)
      inner_.push_back(std::make_unique<d_list<int>>(*it));
  }

  // A few changes to random containers, committed or rolled back together.
  std::string transaction() {
    bool const keep = any(2) == 0;
    std::string const what = test_support::in_transaction(*env_, m_, keep, 1 + any(4),
                                                          [&] { return change(any(kinds)); });
    if (!keep) remake_inner();
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
};

// The database as new programs open it.
class ManyObjects : public test_support::database_test {
 protected:
  ManyObjects() : database_test("", d_open_options{}) {}
};

TEST_F(ManyObjects, EveryKindThroughSeveralObjectsPerRoot) {
  test_support::run_models<many_objects>({{1, 3000, 200}, {2, 3000, 200}, {3, 3000, 200}});
}

// Two openings of one database, as two processes hold it: what the second commits, the first one's
// objects read at their next operation, whatever they kept of where the values lay (the vector and
// the list read in place, the slot table read by key, which has moved meanwhile).
TEST_F(ManyObjects, ReadsFollowAnotherOpeningsCommits) {
  d_vector<string> vec("vec", 2, &env_);
  d_list<string> list("list", &env_);
  d_hashmap<std::uint64_t, std::uint64_t> slots("slots", &env_);
  vec.push_back("old"), list.push_back("old"), slots.put(1, 10);
  auto const reads = [&] {
    std::uint64_t value = 0;
    slots.get(1, value);
    return string(vec.view(0)) + "/" + string(list.begin().view()) + "/" + std::to_string(value);
  };
  ASSERT_EQ(reads(), "old/old/10");
  {
    d_env other{};
    scoped_database second = open_database_scoped(name(), &other);
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

// A slot map reads its table through the pointer it placed while its handle stays settled. Any
// write may move the mapping (a file grown past the range it reserved), one to no container too (a
// d_ptr's, a root's), so every change, whatever it changes, must unsettle every handle.
TEST_F(ManyObjects, EveryChangeUnsettlesTheHandles) {
  db_handle handle(db_);
  ASSERT_TRUE(handle.settled());
  in_change(*db_, [] {});
  EXPECT_FALSE(handle.settled());
}

}  // namespace
