// Hash maps of other types against std::map: an integer key to strings that may hold 0
// bytes, a string key to a codec type, and keys and values of fixed width, which live
// in a slot table (an integer to an integer, among them two keys whose slots keep the
// same part of the hash, and a 4-byte key to a 12-byte value). Each map is opened by name alone, so it is
// made with the default growing policy and must find that policy (and its bucket
// count) in its header after every reopening; a leak count follows each comparison.
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

#include "model_harness.h"
#include "nested_values.h"
#include "stored_types.h"

using namespace disk_tools;
using test_support::package;
using test_support::pick;
using test_support::require;

namespace {

// Two keys whose hashes share their high 32 bits, the part of the hash a slot keeps
// (and so their home slot in any table): a slot whose part matches a key's may name
// the other key, and the key then lies further on or is absent.
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

// Keys from a small pool, so that overwrites and erases of present keys are common,
// with the extremes and the twins now and then.
void draw(std::mt19937& rng, std::uint64_t& key) {
  std::uint64_t const odd[] = {0, UINT64_MAX, std::uint64_t{1} << 63, twins()[0], twins()[1]};
  key = pick(rng, 0, 19) == 0 ? odd[pick(rng, 0, 4)]
                              : static_cast<std::uint64_t>(pick(rng, 0, 299)) * 0x9e3779b97f4a7c15ULL;
}
void draw(std::mt19937& rng, std::int32_t& key) {
  key = pick(rng, 0, 19) == 0 ? INT32_MIN : pick(rng, -150, 150);
}
void draw(std::mt19937& rng, std::string& key) {
  key = "pkg_" + std::to_string(pick(rng, 0, 299));
  if (pick(rng, 0, 19) == 0) key = std::string("nul\0", 4) + key;
}
// Values hold 0 bytes: a typed map keeps all of a value's bytes.
std::string value_of(std::mt19937& rng, std::string*) {
  std::string v(static_cast<std::size_t>(pick(rng, 0, 90)), 'v');
  for (char& c : v) c = static_cast<char>(pick(rng, 0, 3));
  return v;
}
package value_of(std::mt19937& rng, package*) { return test_support::random_package(rng); }
std::uint64_t value_of(std::mt19937& rng, std::uint64_t*) {
  return static_cast<std::uint64_t>(pick(rng, 0, 1 << 30)) << pick(rng, 0, 33);
}
using twelve_bytes = std::array<char, 12>;
twelve_bytes value_of(std::mt19937& rng, twelve_bytes*) {
  twelve_bytes v;
  for (char& c : v) c = static_cast<char>(pick(rng, 0, 255));
  return v;
}

template <class K, class V>
class typed_subject {
 public:
  using map_t = d_hashmap<K, V>;
  static constexpr bool in_slots = hashmap_detail::in_slots_v<K, V, strong_string_hash>;

  void attach(d_env& env) {
    env_ = &env;
    map_ = std::make_unique<map_t>("map", &env);
  }
  void detach() { map_.reset(); }

  std::string step(std::mt19937& rng) {
    if (pick(rng, 0, 30) != 0) return change_or_read(rng);
    d_transaction tx(env_->database);
    auto const before = model_;
    std::string what = "transaction {";
    for (int n = pick(rng, 1, 4); n > 0; --n) what += " " + change_or_read(rng) + ";";
    tx.rollback();
    model_ = before;
    return what + " } rolled back";
  }

  std::string compare() {
    if (map_->size() != model_.size()) return "size " + std::to_string(map_->size());
    // The growing policy came back from the file: the table kept pace with the keys.
    if (map_->max_load_factor() != 1.0 || map_->buckets() < static_cast<long>(model_.size()))
      return "the growth policy was lost: " + std::to_string(map_->buckets()) + " buckets";
    std::map<K, V> walked;
    for (auto const& [key, value] : *map_)
      if (!walked.emplace(key, value).second) return "the walk met a key twice";
    if (walked != model_) return "the walk differs from the model";
    for (auto const& [key, value] : model_) {
      V got{};
      if (!map_->get(key, got) || got != value) return "get differs from the model";
    }
    // The table, and an entry block per key unless the map is a slot table: a replaced
    // or erased entry, or a table outgrown, left behind shows.
    std::size_t const entries = in_slots ? 0 : model_.size();
    return env_->allocator->allocation_list().size() == 1 + entries ? "" : "blocks in use";
  }

  std::vector<std::string> check() { return map_->check(); }

 private:
  std::string change_or_read(std::mt19937& rng) {
    K key;
    draw(rng, key);
    V const value = value_of(rng, static_cast<V*>(nullptr));
    switch (pick(rng, 0, 7)) {
      case 0: case 1: case 2:
        return test_support::on_both(*map_, model_, [&](auto& m) { m[key] = value; }, "subscript write");
      case 3:
        map_->put(key, value);
        model_[key] = value;
        return "put";
      case 4: case 5:
        return require(map_->erase(key) == (model_.erase(key) == 1), "erase");
      case 6: {
        auto const it = map_->find(key);
        auto const in_model = model_.find(key);
        return require((it == map_->end()) == (in_model == model_.end()) &&
                           (it == map_->end() || (it->first == key && it->second == in_model->second)),
                       "find");
      }
      default: {
        V got = value;
        bool const found = map_->get(key, got);
        auto const it = model_.find(key);
        return require(found == (it != model_.end()) && got == (found ? it->second : value), "get");
      }
    }
  }

  d_env* env_ = nullptr;
  std::unique_ptr<map_t> map_;
  std::map<K, V> model_;
};

TEST(TypedHashMapModel, MapsOfListsAndVectorsThroughReopenings) {
  std::vector<test_support::model_run> const runs = {{5, 2500}, {6, 2500}};
  using test_support::map_of_containers_subject;
  test_support::run_models<map_of_containers_subject<std::string, d_list<std::string>, true>>(runs);
  test_support::run_models<map_of_containers_subject<std::string, d_vector<std::string>, true>>(runs);
}

TEST(TypedHashMapModel, IntegerKeysToStringsAndStringKeysToCodecValuesThroughReopenings) {
  std::vector<test_support::model_run> const runs = {{1, 2500}, {2, 2500}};
  test_support::run_models<typed_subject<std::uint64_t, std::string>>(runs);
  test_support::run_models<typed_subject<std::string, package>>(runs);
}

TEST(TypedHashMapModel, SlotTablesOfFixedWidthKeysAndValuesThroughReopenings) {
  static_assert(typed_subject<std::uint64_t, std::uint64_t>::in_slots &&
                    typed_subject<std::int32_t, twelve_bytes>::in_slots,
                "fixed-width keys and values are kept in a slot table");
  std::vector<test_support::model_run> const runs = {{3, 3000}, {4, 3000}};
  test_support::run_models<typed_subject<std::uint64_t, std::uint64_t>>(runs);
  test_support::run_models<typed_subject<std::int32_t, twelve_bytes>>(runs);
}

}  // namespace
