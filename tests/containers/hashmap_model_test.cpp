// The hash map against a standard map, for every layout: strings to strings under both
// hashes, fixed or growing; other types in entry chains; fixed-width keys and values in a
// slot table; lists and vectors as values. Every operation, the growth policy switched,
// transactions; a map opened by name alone must find its policy in its header after every
// reopening, and a leak count follows each comparison.
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

#include "model_harness.h"
#include "nested_values.h"
#include "stored_types.h"

using namespace disk_tools;
using test_support::package;
using test_support::pick;
using test_support::require;

namespace {

// Keys from a small pool, so that overwrites, erases of present keys and long
// chains are common, with the extremes now and then: for strings empty, high
// bytes, a 0 byte inside, longer than an entry's first read.
void draw(std::mt19937& rng, std::string& key) {
  static std::string const odd[] = {"", "\xff\xff", "a\x80\x80", "\xc3\xa9t\xc3\xa9",
                                    std::string("nul\0inside", 10), std::string(300, 'k')};
  if (pick(rng, 0, 19) == 0) {
    key = odd[pick(rng, 0, 5)];
    return;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "user_%05d", pick(rng, 0, 399));
  key = buf;
}
// Two keys whose hashes share their high 32 bits, the part of the hash a slot
// keeps (and so their home slot in any table): a slot whose part matches a
// key's may name the other key, and the key then lies further on or is absent.
std::array<std::uint64_t, 2> const& twins() {
  static std::array<std::uint64_t, 2> const found = [] {
    std::unordered_map<std::uint64_t, std::uint64_t> by_part;
    for (std::uint64_t i = 1;; ++i) {
      std::uint64_t const key = i * 0x9e3779b97f4a7c15ULL + 1;
      char bytes[sizeof key];
      std::memcpy(bytes, &key, sizeof key);
      auto const part = static_cast<std::uint64_t>(strong_string_hash::of(bytes, sizeof key)) >> 32;
      auto const [at, fresh] = by_part.emplace(part, key);
      if (!fresh) return std::array<std::uint64_t, 2>{at->second, key};
    }
  }();
  return found;
}

void draw(std::mt19937& rng, std::uint64_t& key) {
  std::uint64_t const odd[] = {0, UINT64_MAX, std::uint64_t{1} << 63, twins()[0], twins()[1]};
  key = pick(rng, 0, 19) == 0 ? odd[pick(rng, 0, 4)]
                              : static_cast<std::uint64_t>(pick(rng, 0, 299)) * 0x9e3779b97f4a7c15ULL;
}
void draw(std::mt19937& rng, std::int32_t& key) {
  key = pick(rng, 0, 19) == 0 ? INT32_MIN : pick(rng, -150, 150);
}

// A map of strings to strings keeps a value up to its first 0 byte; any other keeps all of a
// value's bytes. Now and then a value longer than an entry's first read.
std::string value_of(std::mt19937& rng, std::string*, bool text) {
  int const length = pick(rng, 0, 15) == 0 ? 400 : pick(rng, 0, 24);
  std::string v(static_cast<std::size_t>(length), ' ');
  for (char& c : v) c = static_cast<char>(text ? pick(rng, 'a', 'z') : pick(rng, 0, 3));
  return v;
}
package value_of(std::mt19937& rng, package*, bool) { return test_support::random_package(rng); }
std::uint64_t value_of(std::mt19937& rng, std::uint64_t*, bool) {
  return static_cast<std::uint64_t>(pick(rng, 0, 1 << 30)) << pick(rng, 0, 33);
}
using twelve_bytes = std::array<char, 12>;
twelve_bytes value_of(std::mt19937& rng, twelve_bytes*, bool) {
  twelve_bytes v;
  for (char& c : v) c = static_cast<char>(pick(rng, 0, 255));
  return v;
}

struct config {
  char const* name;
  long buckets;     // when the map is made; 0: opened by name alone
  double max_load;  // the growth policy it starts with
  unsigned seeds;   // its runs' seeds follow this
  int steps;
};

template <class K, class V, class H = typename default_hash<K, V>::type>
class hashmap_subject {
 public:
  using map_t = d_hashmap<K, V, H>;
  static constexpr bool in_slots = hashmap_detail::in_slots_v<K, V, H>;
  static constexpr bool text = std::is_same<K, std::string>::value && std::is_same<V, std::string>::value;

  explicit hashmap_subject(config const& c) : config_(c), max_load_(c.buckets ? c.max_load : 1.0) {}

  // Two objects on the map: each must see what the other did.
  void attach(d_env& env) {
    env_ = &env;
    for (auto* m : {&map_, &alias_})
      *m = config_.buckets ? std::make_unique<map_t>("map", config_.buckets, &env)
                           : std::make_unique<map_t>("map", &env);
    // The policy is set once; a reopened map must find it in its header.
    if (!attached_ && config_.buckets) map_->set_max_load_factor(max_load_);
    attached_ = true;
  }
  void detach() { held_.reset(); map_.reset(); alias_.reset(); }

  std::string step(std::mt19937& rng) {
    if (pick(rng, 0, 40) != 0) return change_or_read(rng);
    double const load_before = max_load_;
    bool const keep = pick(rng, 0, 1) == 0;
    std::string const what = test_support::in_transaction(*env_, model_, keep, pick(rng, 1, 4),
                                                          [&] { return change_or_read(rng); });
    if (!keep) max_load_ = load_before;
    return what;
  }

  std::string compare() {
    if (map_->max_load_factor() != max_load_)
      return "the growth policy was lost: max load factor " + std::to_string(map_->max_load_factor());
    if (map_->size() != model_.size() || map_->empty() != model_.empty())
      return "size " + std::to_string(map_->size()) + ", model " + std::to_string(model_.size());
    std::map<K, V> walked;
    for (auto const& [key, value] : *map_)
      if (!walked.emplace(key, value).second) return "the walk met a key twice";
    if (walked != model_) return "the walk differs from the model";
    if (std::distance(map_->begin(), map_->end()) != static_cast<long>(model_.size()))
      return "std::distance over the map differs from the model";
    for (auto const& [key, value] : model_) {
      V got{};
      if (!alias_->get(key, got) || got != value) return "get differs from the model";
    }
    // The table, and an entry block per key unless the map is a slot table: a replaced or
    // erased entry, or a table outgrown, left behind shows.
    std::size_t const entries = in_slots ? 0 : model_.size();
    return env_->allocator->allocation_list().size() == 1 + entries ? "" : "blocks in use";
  }

  std::vector<std::string> check() { return map_->check(); }

 private:
  std::string change_or_read(std::mt19937& rng) {
    K key;
    draw(rng, key);
    V const value = value_of(rng, static_cast<V*>(nullptr), text);
    map_t& m = pick(rng, 0, 2) == 0 ? *alias_ : *map_;
    switch (pick(rng, 0, 15)) {
      case 0: case 1: case 2: case 15:
        return put(m, key, value);
      case 3: case 4: {
        V got = value;
        bool const found = m.get(key, got);
        auto const it = model_.find(key);
        require(m.count(key) == model_.count(key), "count of a key");
        bool const refused = test_support::code_thrown_by([&] {
          V const held = m.at(key);
          require(it != model_.end() && held == it->second, "at");
        }) == errc::out_of_range;
        require(refused == (it == model_.end()), "at of an absent key");
        return require(found == (it != model_.end()) && got == (found ? it->second : value), "get");
      }
      case 5:
        return require(m.operator[](key).get_data() == model_[key], "subscript read");
      case 6:
        return test_support::on_both(m, model_, [&](auto& x) { x[key] = value; },
                                     "subscript write");
      case 7:
        held_.emplace(m.operator[](key));
        held_key_ = key;
        model_[key];
        return "keep the proxy";
      case 8:
        return write_held(rng, value);
      case 9: case 10:
        return require(m.erase(key) == (model_.erase(key) == 1), "erase");
      case 11: {
        auto const it = m.find(key);
        auto const in_model = model_.find(key);
        return require((it == m.end()) == (in_model == model_.end()) &&
                           (it == m.end() || (it->first == key && it->second == in_model->second)),
                       "find");
      }
      case 12: {
        // A slot table rounds the count up to a power of 2.
        long const n = pick(rng, 1, 3) == 1 ? pick(rng, 1, 3) : pick(rng, 1, 600);
        m.rehash(n);
        return require(in_slots ? m.buckets() >= n : m.buckets() == n,
                       "rehash to " + std::to_string(n));
      }
      case 13: {
        long const keys = pick(rng, 0, 500);
        m.reserve(keys);
        double const load = max_load_ > 0 ? max_load_ : 1.0;
        return require(static_cast<double>(m.buckets()) * load >= static_cast<double>(keys),
                       "reserve " + std::to_string(keys));
      }
      default:
        max_load_ = pick(rng, 0, 2) * 0.75;
        m.set_max_load_factor(max_load_);
        return "max load factor " + std::to_string(max_load_);
    }
  }

  // A proxy that outlived its key's erase refuses to write, in chains and in
  // a slot table alike: it does not add the key back.
  std::string write_held(std::mt19937& rng, V const& value) {
    if (!held_) return "no proxy kept";
    // Half the time its key goes first (it may have gone already).
    if (pick(rng, 0, 1) == 0) map_->erase(held_key_), model_.erase(held_key_);
    if (model_.count(held_key_)) {
      *held_ = model_[held_key_] = value;
      return "write through the kept proxy";
    }
    return require(
        test_support::thrown_by([&] { *held_ = value; }) == "hash map entry no longer exists...",
        "write through the kept proxy of an erased key");
  }

  // A put that adds a key to a chained map past the maximum load doubles the
  // table first; any other leaves it as it was.
  std::string put(map_t& m, K const& key, V const& value) {
    long const before = m.buckets();
    bool const grows =
        model_.count(key) == 0 && max_load_ > 0 &&
        static_cast<double>(model_.size() + 1) > max_load_ * static_cast<double>(before);
    m.put(key, value);
    model_[key] = value;
    V got{};
    require(m.get(key, got) && got == value, "put then get");
    require(in_slots || m.buckets() == (grows ? 2 * before : before),
            "put" + std::string(grows ? " doubling " : " keeping ") + std::to_string(before) +
                " buckets left " + std::to_string(m.buckets()));
    return "put";
  }

  config config_;
  double max_load_;
  bool attached_ = false;
  d_env* env_ = nullptr;
  std::unique_ptr<map_t> map_, alias_;
  std::optional<decltype(std::declval<map_t&>()[std::declval<K const&>()])> held_;
  K held_key_{};
  std::map<K, V> model_;
};

template <class Subject>
void run_configs(std::vector<config> const& configs) {
  for (config const& c : configs) {
    SCOPED_TRACE(c.name);
    std::vector<test_support::model_run> runs;
    for (unsigned seed = c.seeds + 1; seed <= c.seeds + 3; ++seed) runs.push_back({seed, c.steps});
    test_support::run_models<Subject>(runs, c);
  }
}

TEST(HashMapModel, StringsToStringsAgreeWithTheModelForBothHashesFixedAndGrowing) {
  run_configs<hashmap_subject<std::string, std::string>>(
      {{"weighted_fixed", 7, 0, 0, 2500}, {"weighted_growing", 1, 1.0, 10, 2500},
       {"weighted_by_name", 0, 1.0, 40, 2000}});
  run_configs<hashmap_subject<std::string, std::string, strong_string_hash>>(
      {{"strong_fixed", 3, 0, 20, 2500}, {"strong_growing", 1, 0.75, 30, 2500}});
}

TEST(TypedHashMapModel, MapsOfListsAndVectorsThroughReopenings) {
  std::vector<test_support::model_run> const runs = {{5, 2500}, {6, 2500}};
  using test_support::map_of_containers_subject;
  test_support::run_models<map_of_containers_subject<std::string, d_list<std::string>, true>>(runs);
  test_support::run_models<map_of_containers_subject<std::string, d_vector<std::string>, true>>(runs);
}

TEST(TypedHashMapModel, IntegerKeysToStringsAndStringKeysToCodecValuesThroughReopenings) {
  run_configs<hashmap_subject<std::uint64_t, std::string>>({{"by_name", 0, 1.0, 0, 2500}});
  run_configs<hashmap_subject<std::string, package>>({{"by_name", 0, 1.0, 0, 2500}});
}

TEST(TypedHashMapModel, SlotTablesOfFixedWidthKeysAndValuesThroughReopenings) {
  static_assert(hashmap_subject<std::uint64_t, std::uint64_t>::in_slots &&
                    hashmap_subject<std::int32_t, twelve_bytes>::in_slots,
                "fixed-width keys and values are kept in a slot table");
  run_configs<hashmap_subject<std::uint64_t, std::uint64_t>>(
      {{"by_name", 0, 1.0, 0, 3000}, {"fixed", 5, 0, 10, 2000}});
  run_configs<hashmap_subject<std::int32_t, twelve_bytes>>({{"by_name", 0, 1.0, 0, 3000}});
}

}  // namespace
