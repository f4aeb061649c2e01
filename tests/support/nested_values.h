// A map's container value (a list or a vector) beside its model, a std::vector: the blocks
// it takes for n elements and one random change other than appending; and the subject that
// runs either map from words to such containers, shared by both maps' model tests.
#pragma once

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_vector.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "model_harness.h"

namespace test_support {

template <class C>
struct nested_value;

template <class U>
struct nested_value<disk_tools::d_list<U>> {
  // The handle block, the header and the sentinel; a node and a value block per element.
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
  // The handle block and the header (which moves as it grows); a value block per element.
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

// word -> list or vector of postings, in the ordered map or (hashed) the hash map: m[word]
// made on first use, appended to and changed, get gives the working container, erase frees
// it all, a rolled-back transaction takes containers made in it away. The blocks in use are
// the map's own and the containers': a leak or a double free shows.
//
// One container kept across steps, as a program keeps m[word], sees what the map's objects
// do to its word; once its word is erased (or its making rolled back) it refuses every use
// instead of reaching into whatever container gets its blocks next. So do an iterator at
// its first element and, for a vector, a proxy of that element.
template <class K, class C, bool hashed>
class map_of_containers_subject {
  using element = typename C::value_type;
  using map_t = std::conditional_t<hashed, disk_tools::d_hashmap<K, C>, disk_tools::d_map<K, C>>;

 public:
  void attach(disk_tools::d_env& env) {
    env_ = &env;
    map_.emplace("index", &env);
  }
  void detach() { held_at_.reset(); held_first_.reset(); held_.reset(); map_.reset(); }
  std::vector<std::string> check() {
    if constexpr (hashed) return map_->check();
    else return check_map(*map_);
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
    if (pick(rng, 0, 7) != 0) return change(rng);
    disk_tools::d_transaction tx(env_->database);
    auto const before = model_;
    bool const held_before = held_alive_;
    made_in_tx_.clear();
    in_tx_ = true;
    std::string what = "transaction {";
    for (int n = pick(rng, 1, 4); n > 0; --n) what += " " + change(rng) + ";";
    in_tx_ = false;
    tx.rollback();
    model_ = before;
    // The held container comes back with its word, unless the transaction made it.
    held_alive_ = held_in_tx_ ? held_ && !held_made_in_tx_ : held_before;
    held_in_tx_ = false;
    return what + " } rolled back";
  }

 private:
  // Words short enough for an ordered map's slots; numbers sit in theirs.
  static K word_of(int n) {
    if constexpr (std::is_same<K, std::string>::value) return "w" + std::to_string(n);
    else return static_cast<K>(n) << 40;
  }
  // Lists and vectors read a stored string up to its first 0 byte, so postings hold none.
  static element posting_of(std::mt19937& rng) {
    if constexpr (std::is_same<element, std::string>::value)
      return std::to_string(pick(rng, 0, 999)) + std::string(pick(rng, 0, 60), 'p');
    else return static_cast<element>(pick(rng, 0, 500)) << pick(rng, 0, 50);
  }

  std::string change(std::mt19937& rng) {
    K const word = word_of(pick(rng, 0, 40));
    element const posting = posting_of(rng);
    switch (pick(rng, 0, 7)) {
      case 0:
        if (held_ && word == held_word_) held_alive_ = false;
        return require(map_->erase(word) == (model_.erase(word) > 0), "erase");
      case 1:
        if (!model_.count(word)) return "nothing to change";
        return nested_value<C>::change((*map_)[word], model_[word], rng, posting);
      case 2:
        note_made(word);
        held_.emplace((*map_)[word]);
        held_word_ = word;
        held_alive_ = true;
        held_in_tx_ = in_tx_;
        held_made_in_tx_ = in_tx_ && made_in_tx_.count(word) > 0;
        held_first_.reset();
        held_at_.emplace(held_->begin());
        if constexpr (is_vector) {
          if (!model_[word].empty()) held_first_.emplace((*held_)[0]);
        }
        model_[word];
        return "hold";
      case 3:
        return use_held(posting);
      default:
        note_made(word);
        (*map_)[word].push_back(posting);
        model_[word].push_back(posting);
        return "append";
    }
  }

  void note_made(K const& word) {
    if (in_tx_ && !model_.count(word)) made_in_tx_.insert(word);
  }

  // Appends through the held container, which must agree with its word's model; one whose
  // word went (and a vector's held proxy of its first element) must refuse every use.
  std::string use_held(element const& posting) {
    if (!held_) return "nothing held";
    if (held_alive_) {
      held_->push_back(posting);
      auto& model = model_[held_word_];
      model.push_back(posting);
      if constexpr (is_vector) {
        if (held_first_) require(element(*held_first_) == model.front(), "the held first element");
      }
      return require(held_->size() == model.size(), "append through the held container");
    }
    auto refused = [](auto&& use) {
      try {
        use();
      } catch (disk_tools::error const& e) {
        return e.code() == disk_tools::errc::rolled_back ||
               std::string(e.what()).rfind("container was erased", 0) == 0;
      }
      return false;
    };
    if constexpr (is_vector) {
      if (held_first_) {
        require(refused([&] { return element(*held_first_); }) &&
                    refused([&] { *held_first_ = posting; }),
                "the held first element of a word gone refuses its use");
      }
    }
    // (A list's iterator refuses the step itself, a vector's the read after it.)
    auto moved = *held_at_;
    require(refused([&] { return element(**held_at_); }) &&
                refused([&] { return element(*++moved); }),
            "the held iterator of a word gone refuses its use");
    return require(refused([&] { return held_->size(); }) &&
                       refused([&] { held_->push_back(posting); }),
                   "the held container of a word gone refuses its use");
  }

  disk_tools::d_env* env_ = nullptr;
  std::optional<map_t> map_;
  std::map<K, std::vector<element>> model_;
  // The held container, its word, whether that word's container is still the one it names;
  // during a transaction, the words whose containers it made.
  static constexpr bool is_vector = std::is_same<C, disk_tools::d_vector<element>>::value;
  std::optional<C> held_;
  using first_proxy = std::conditional_t<is_vector, disk_tools::d_vector_assign<element>, int>;
  std::optional<first_proxy> held_first_;
  std::optional<typename C::iterator> held_at_;  // the held container's begin()
  K held_word_{};
  bool held_alive_ = false;
  bool in_tx_ = false;
  bool held_in_tx_ = false;
  bool held_made_in_tx_ = false;
  std::set<K> made_in_tx_;
};

}  // namespace test_support
