// A map's container value (a list or a vector) beside its model, a std::vector:
// the blocks the container takes for n elements, and one random change other
// than appending, applied alike to both; and the subject that runs a map of
// either kind from words to such containers. Shared by the model tests of both
// maps, so that maps of lists and maps of vectors run through one subject.
#pragma once

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_vector.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "model_harness.h"

namespace test_support {

template <class C>
struct nested_value;

template <class U>
struct nested_value<disk_tools::d_list<U>> {
  // The handle block, the header and the sentinel; a node and a value block
  // per element.
  static std::size_t blocks(std::size_t n) { return 3 + 2 * n; }

  static std::string change(disk_tools::d_list<U> list, std::vector<U>& model, std::mt19937&,
                            U const&) {
    if (model.empty()) return "nothing to pop";
    list.pop_front();
    model.erase(model.begin());
    return "pop_front";
  }
};

template <class U>
struct nested_value<disk_tools::d_vector<U>> {
  // The handle block and the header (which moves as the vector grows); a
  // value block per element.
  static std::size_t blocks(std::size_t n) { return 2 + n; }

  static std::string change(disk_tools::d_vector<U> vector, std::vector<U>& model,
                            std::mt19937& rng, U const& value) {
    if (model.empty()) return "nothing to change";
    long const at = pick(rng, 0, static_cast<int>(model.size()) - 1);
    switch (pick(rng, 0, 3)) {
      case 0:
        vector.pop_back();
        model.pop_back();
        return "pop_back";
      case 1:
        vector.erase(vector.begin() + at);
        model.erase(model.begin() + at);
        return "erase element " + std::to_string(at);
      case 2:
        vector.insert(vector.begin() + at, value);
        model.insert(model.begin() + at, value);
        return "insert at " + std::to_string(at);
      default:
        vector[at] = value;
        model[static_cast<std::size_t>(at)] = value;
        return "assign element " + std::to_string(at);
    }
  }
};

// word -> list or vector of postings, in the ordered map or (hashed) the hash
// map: m[word] made on first use, appended to and changed, get gives the
// working container, erase frees it with everything in it, and a rolled-back
// transaction takes containers made in it away again. The blocks in use are
// the map's own (the ordered map's header and nodes; the hash map's table and
// an entry per word) and the containers': a leak or a double free shows.
template <class K, class C, bool hashed>
class map_of_containers_subject {
  using element = typename C::value_type;
  using map_t = std::conditional_t<hashed, disk_tools::d_hashmap<K, C>, disk_tools::d_map<K, C>>;

 public:
  void attach(disk_tools::d_env& env) {
    env_ = &env;
    map_.emplace("index", &env);
  }
  void detach() { map_.reset(); }
  std::vector<std::string> check() {
    if constexpr (hashed) return map_->check();
    return {};
  }

  std::string compare() {
    std::map<K, std::vector<element>> got;
    for (auto const& [word, handle] : *map_) {
      C postings;
      if (!map_->get(word, postings) || postings.handle() != handle)
        return "get differs from the walk";
      got[word].assign(postings.begin(), postings.end());
    }
    if (got != model_) return "containers differ";
    std::size_t blocks = 1;
    if constexpr (!hashed) blocks += map_->node_count();
    for (auto const& [word, postings] : model_)
      blocks += (hashed ? 1 : 0) + nested_value<C>::blocks(postings.size());
    return env_->allocator->allocation_list().size() == blocks ? "" : "blocks in use";
  }

  std::string step(std::mt19937& rng) {
    if (pick(rng, 0, 30) != 0) return change(rng);
    disk_tools::d_transaction tx(env_->database);
    auto const before = model_;
    std::string what = "transaction {";
    for (int n = pick(rng, 1, 4); n > 0; --n) what += " " + change(rng) + ";";
    tx.rollback();
    model_ = before;
    return what + " } rolled back";
  }

 private:
  // Words short enough for an ordered map's slots; numbers sit in theirs.
  static K word_of(int n) {
    if constexpr (std::is_same<K, std::string>::value) return "w" + std::to_string(n);
    else return static_cast<K>(n) << 40;
  }
  // Lists and vectors read a stored string up to its first 0 byte, so
  // postings hold none.
  static element posting_of(std::mt19937& rng) {
    if constexpr (std::is_same<element, std::string>::value)
      return std::to_string(pick(rng, 0, 999)) + std::string(pick(rng, 0, 60), 'p');
    else return static_cast<element>(pick(rng, 0, 500)) << pick(rng, 0, 50);
  }

  std::string change(std::mt19937& rng) {
    K const word = word_of(pick(rng, 0, 40));
    element const posting = posting_of(rng);
    switch (pick(rng, 0, 5)) {
      case 0:
        return require(map_->erase(word) == (model_.erase(word) > 0), "erase");
      case 1:
        if (!model_.count(word)) return "nothing to change";
        return nested_value<C>::change((*map_)[word], model_[word], rng, posting);
      default:
        (*map_)[word].push_back(posting);
        model_[word].push_back(posting);
        return "append";
    }
  }

  disk_tools::d_env* env_ = nullptr;
  std::optional<map_t> map_;
  std::map<K, std::vector<element>> model_;
};

}  // namespace test_support
