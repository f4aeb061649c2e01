// The hash map against std::unordered_map, for both hashes: puts, gets, subscripts, proxy
// writes (a proxy also kept across other operations), erases, finds, walks, rehashes,
// reserves, the growth policy switched, transactions committed or rolled back.
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_transaction.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

#include "model_harness.h"

using namespace disk_tools;

namespace {

using model_t = std::unordered_map<std::string, std::string>;

using test_support::pick;
using test_support::require;

// Keys from a small pool, so that overwrites, erases of present keys and long
// chains are common; now and then an odd one: empty, high bytes, a 0 byte
// inside, longer than an entry's first read.
std::string random_key(std::mt19937& rng) {
  static std::string const odd[] = {"", "\xff\xff", "a\x80\x80", "\xc3\xa9t\xc3\xa9",
                                    std::string("nul\0inside", 10), std::string(300, 'k')};
  if (pick(rng, 0, 19) == 0) return odd[pick(rng, 0, 5)];
  char buf[16];
  std::snprintf(buf, sizeof buf, "user_%05d", pick(rng, 0, 399));
  return buf;
}

// A value holds no 0 byte (it ends at the first); now and then one longer
// than an entry's first read.
std::string random_value(std::mt19937& rng) {
  int const length = pick(rng, 0, 15) == 0 ? 400 : pick(rng, 0, 24);
  std::string v(static_cast<std::size_t>(length), ' ');
  for (char& c : v) c = static_cast<char>(pick(rng, 'a', 'z'));
  return v;
}

struct config {
  char const* name;
  bool strong;
  long buckets;     // when the map is made
  double max_load;  // the growth policy it starts with
  unsigned seeds;   // its runs' seeds follow this
};

template <class H>
class hashmap_subject {
 public:
  explicit hashmap_subject(config const& c) : config_(c), max_load_(c.max_load) {}

  void attach(d_env& env) {
    env_ = &env;
    map_ = std::make_unique<map_t>("map", config_.buckets, &env);
    // The policy is set once; a reopened map must find it in its header.
    if (!attached_) map_->set_max_load_factor(max_load_);
    attached_ = true;
  }
  void detach() {
    held_.reset();
    map_.reset();
  }

  std::string step(std::mt19937& rng) {
    if (pick(rng, 0, 40) != 0) return change_or_read(rng);
    d_transaction tx(env_->database);
    model_t const before = model_;
    double const load_before = max_load_;
    std::string what = "transaction {";
    for (int n = pick(rng, 1, 4); n > 0; --n) what += " " + change_or_read(rng) + ";";
    if (pick(rng, 0, 1) == 0) {
      tx.commit();
      return what + " } committed";
    }
    tx.rollback();
    model_ = before;
    max_load_ = load_before;
    return what + " } rolled back";
  }

  std::string compare() {
    if (map_->max_load_factor() != max_load_) return "max load factor " + std::to_string(map_->max_load_factor());
    if (map_->size() != model_.size() || map_->empty() != model_.empty()) {
      return "size " + std::to_string(map_->size()) + ", model " + std::to_string(model_.size());
    }
    std::map<std::string, std::string> walked;
    for (auto const& [key, value] : *map_)
      if (!walked.emplace(key, value).second) return "the walk met \"" + key + "\" twice";
    if (walked != std::map<std::string, std::string>(model_.begin(), model_.end()))
      return "the walk differs from the model";
    auto const users = [](auto const& pair) { return pair.first.rfind("user_", 0) == 0; };
    if (std::distance(map_->begin(), map_->end()) != static_cast<long>(model_.size()) ||
        std::count_if(map_->begin(), map_->end(), users) !=
            std::count_if(model_.begin(), model_.end(), users))
      return "std::distance or std::count_if over the map differs from the model";
    for (auto const& [key, value] : model_) {
      std::string got;
      if (!map_->get(key, got) || got != value)
        return "get \"" + key + "\" gives \"" + got + "\"";
    }
    // The table and an entry block per key: a freed entry or old table shows.
    return env_->allocator->allocation_list().size() == 1 + model_.size() ? "" : "blocks in use";
  }

  std::vector<std::string> check() { return map_->check(); }

 private:
  using map_t = d_hashmap<std::string, std::string, H>;

  std::string change_or_read(std::mt19937& rng) {
    std::string const key = random_key(rng);
    std::string const value = random_value(rng);
    std::string const on = " \"" + key.substr(0, 12) + "\"";
    switch (pick(rng, 0, 15)) {
      case 0: case 1: case 2: case 15:
        return put(key, value);
      case 3: case 4: {
        std::string got = "stale";
        bool const found = map_->get(key, got);
        auto const it = model_.find(key);
        return require(found == (it != model_.end()) && got == (found ? it->second : "stale"),
                       "get" + on);
      }
      case 5:
        return require(map_->operator[](key).get_data() == model_[key], "subscript read" + on);
      case 6:
        return test_support::on_both(*map_, model_, [&](auto& x) { x[key] = value; },
                                     "subscript write" + on);
      case 7:
        held_.emplace(map_->operator[](key));
        held_key_ = key;
        model_[key];
        return "keep the proxy of" + on;
      case 8:
        return write_held(value);
      case 9: case 10:
        return require(map_->erase(key) == (model_.erase(key) == 1), "erase" + on);
      case 11: {
        auto const it = map_->find(key);
        auto const in_model = model_.find(key);
        return require((it == map_->end()) == (in_model == model_.end()) &&
                           (it == map_->end() ||
                            (it->first == key && it->second == in_model->second)),
                       "find" + on);
      }
      case 12: {
        long const n = pick(rng, 1, 3) == 1 ? pick(rng, 1, 3) : pick(rng, 1, 600);
        map_->rehash(n);
        return require(map_->buckets() == n, "rehash to " + std::to_string(n));
      }
      case 13: {
        long const keys = pick(rng, 0, 500);
        map_->reserve(keys);
        double const load = max_load_ > 0 ? max_load_ : 1.0;
        return require(static_cast<double>(map_->buckets()) * load >= static_cast<double>(keys),
                       "reserve " + std::to_string(keys));
      }
      default:
        max_load_ = pick(rng, 0, 2) * 0.75;
        map_->set_max_load_factor(max_load_);
        return "max load factor " + std::to_string(max_load_);
    }
  }

  // A proxy that outlived its key's erase refuses to write.
  std::string write_held(std::string const& value) {
    if (!held_) return "no proxy kept";
    if (model_.count(held_key_)) {
      *held_ = model_[held_key_] = value;
      return "write through the kept proxy";
    }
    return require(
        test_support::thrown_by([&] { *held_ = value; }) == "hash map entry no longer exists...",
        "write through the kept proxy of an erased key");
  }

  // A put that adds a key past the maximum load doubles the table first; any
  // other leaves it as it was.
  std::string put(std::string const& key, std::string const& value) {
    long const before = map_->buckets();
    bool const grows =
        model_.count(key) == 0 && max_load_ > 0 &&
        static_cast<double>(model_.size() + 1) > max_load_ * static_cast<double>(before);
    map_->put(key, value);
    model_[key] = value;
    std::string got;
    require(map_->get(key, got) && got == value, "put \"" + key + "\" then get");
    require(map_->buckets() == (grows ? 2 * before : before),
           "put" + std::string(grows ? " doubling " : " keeping ") + std::to_string(before) +
               " buckets left " + std::to_string(map_->buckets()));
    return "put \"" + key.substr(0, 12) + "\"";
  }

  config config_;
  double max_load_;
  bool attached_ = false;
  d_env* env_ = nullptr;
  std::unique_ptr<map_t> map_;
  std::optional<d_hashmap_assign<std::string, std::string>> held_;
  std::string held_key_;
  model_t model_;
};

TEST(HashMapModel, AgreesWithUnorderedMapForBothHashesFixedAndGrowing) {
  config const configs[] = {{"weighted_fixed", false, 7, 0, 0},
                            {"weighted_growing", false, 1, 1.0, 10},
                            {"strong_fixed", true, 3, 0, 20},
                            {"strong_growing", true, 1, 0.75, 30}};
  for (config const& c : configs) {
    SCOPED_TRACE(c.name);
    std::vector<test_support::model_run> const runs = {
        {c.seeds + 1, 2500}, {c.seeds + 2, 2500}, {c.seeds + 3, 2500}};
    if (c.strong) test_support::run_models<hashmap_subject<strong_string_hash>>(runs, c);
    else test_support::run_models<hashmap_subject<string_hash>>(runs, c);
  }
}

}  // namespace
