// The typed map against std::map, for strings, numbers, a plain struct, a
// codec type, and lists and vectors as values: puts, updates, inserts,
// subscripts, erases, gets, bounds and ranges, walks both ways, through reopenings; the blocks in
// use must be the header, the nodes and the blocks the model's pairs need
// (a leak or a double free shows).
#include <disk_tools/d_map.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "model_harness.h"
#include "nested_values.h"
#include "stored_types.h"

using namespace disk_tools;
using test_support::package;
using test_support::pick;
using test_support::require;

namespace {

struct point {
  std::int32_t x;
  double y;
  bool operator==(point const& o) const { return x == o.x && y == o.y; }
};

// Values from small pools, so that hits, overwrites and erases are common;
// strings of high bytes order above ASCII (bytes compare unsigned), and 0
// bytes inside strings are kept.
template <class T>
T draw(std::mt19937& rng);
template <>
std::string draw(std::mt19937& rng) {
  static std::string const odd[] = {"",  "\xff", "\x80z", "a", std::string(200, 'q'),
                                    std::string("a\0b", 3), std::string(30, 'a') + '\0'};
  if (pick(rng, 0, 9) == 0) return odd[pick(rng, 0, 6)];
  // Runs of x around the 16 bytes a long string keeps in its slot and the 24
  // a short one fits in, ended by a letter that orders either way.
  return "w" + std::to_string(pick(rng, 0, 60)) + std::string(pick(rng, 0, 30), 'x') +
         "az"[pick(rng, 0, 1)];
}
template <>
std::uint64_t draw(std::mt19937& rng) {
  return static_cast<std::uint64_t>(pick(rng, 0, 500)) << pick(rng, 0, 50);
}
template <>
double draw(std::mt19937& rng) {
  return pick(rng, -1000, 1000) / 8.0;
}
template <>
std::int32_t draw(std::mt19937& rng) {
  return pick(rng, -400, 400);
}
template <>
point draw(std::mt19937& rng) {
  return {pick(rng, -9, 9), pick(rng, 0, 99) / 4.0};
}
template <>
package draw(std::mt19937& rng) {
  return test_support::random_package(rng);
}

// Blocks the map keeps for one key or value: a codec value has one, a
// string only when longer than the 24 bytes a slot holds.
template <class T>
std::size_t owned_blocks(T const&) {
  return std::is_same<typename map_slot_of<T>::type, map_block_slot<T>>::value ? 1 : 0;
}
std::size_t owned_blocks(std::string const& s) { return s.size() > 24 ? 1 : 0; }

template <class K, class V>
class typed_map_subject {
 public:
  void attach(d_env& env) {
    env_ = &env;
    map_.emplace("typed", &env);
  }
  void detach() { map_.reset(); }
  std::vector<std::string> check() { return {}; }

  std::string compare() {
    std::vector<std::pair<K, V>> forward, backward;
    for (auto const& e : *map_) forward.emplace_back(e.key, e.value);
    for (auto it = map_->end(); it != map_->begin();) {
      --it;
      backward.emplace(backward.begin(), it->key, it->value);
    }
    std::vector<std::pair<K, V>> const expected(model_.begin(), model_.end());
    if (forward != expected || backward != expected) return "walks differ";
    if (map_->size() != model_.size()) return "sizes differ";
    std::size_t blocks = 1 + map_->node_count();
    for (auto const& [k, v] : model_) blocks += owned_blocks(k) + owned_blocks(v);
    return env_->allocator->allocation_list().size() == blocks ? "" : "blocks in use";
  }

  std::string step(std::mt19937& rng) {
    K const key = draw<K>(rng);
    V const value = draw<V>(rng);
    bool const present = model_.count(key) > 0;
    switch (pick(rng, 0, 7)) {
      case 0:
      case 1:
        require(map_->put(key, value) != present, "put says added");
        model_[key] = value;
        return "put";
      case 2:
        require(map_->update(key, value) == present, "update says present");
        if (present) model_[key] = value;
        return "update";
      case 3:
        require(map_->insert(key, value) != present, "insert says added");
        model_.emplace(key, value);
        return "insert";
      case 4:
        (*map_)[key] = value;
        model_[key] = value;
        return "subscript";
      case 5:
        require(map_->erase(key) == present, "erase says present");
        model_.erase(key);
        return "erase";
      case 6: {
        V got{};
        require(map_->get(key, got) == present && (!present || got == model_[key]), "get");
        return "get";
      }
      default: {
        K const to = draw<K>(rng);
        std::vector<K> got, expected;
        for (auto const& e : map_->range(key, to)) got.push_back(e.key);
        for (auto it = model_.lower_bound(key); key < to && it != model_.lower_bound(to); ++it)
          expected.push_back(it->first);
        auto const up = map_->upper_bound(key);
        bool const up_ok = model_.upper_bound(key) == model_.end()
                               ? up == map_->end()
                               : up->key == model_.upper_bound(key)->first;
        return require(got == expected && up_ok, "range and upper_bound");
      }
    }
  }

 private:
  d_env* env_ = nullptr;
  std::optional<d_map<K, V>> map_;
  std::map<K, V> model_;
};

std::vector<test_support::model_run> runs() { return {{1, 2500, 150}, {2, 1500, 40}}; }

TEST(TypedMapModel, StringToString) {
  test_support::run_models<typed_map_subject<std::string, std::string>>(runs());
}
TEST(TypedMapModel, NumberToDouble) {
  test_support::run_models<typed_map_subject<std::uint64_t, double>>(runs());
}
TEST(TypedMapModel, IntToPlainStruct) {
  test_support::run_models<typed_map_subject<std::int32_t, point>>(runs());
}
TEST(TypedMapModel, StringToCodecType) {
  test_support::run_models<typed_map_subject<std::string, package>>(runs());
}

// m[key] = other would assign to a temporary that changes nothing in the file.
static_assert(!std::is_assignable<d_list<std::string>&&, d_list<std::string> const&>::value &&
                  !std::is_assignable<d_vector<std::string>&&, d_vector<std::string> const&>::value,
              "a container value is not assigned whole");

TEST(TypedMapModel, MapsOfListsAndVectors) {
  using test_support::map_of_containers_subject;
  test_support::run_models<map_of_containers_subject<std::string, d_list<std::string>, false>>(runs());
  test_support::run_models<map_of_containers_subject<std::string, d_vector<std::string>, false>>(
      runs());
  test_support::run_models<map_of_containers_subject<std::uint64_t, d_vector<std::uint64_t>, false>>(
      runs());
}

// A string slot orders as std::string does, whichever of its 16 prefix
// bytes, its lengths or the rest decides: at each word of the prefix, at the
// 16 and 24 bytes a slot keeps, with high bytes and 0 bytes.
TEST(TypedMapSlots, StringSlotsOrderAsTheirStrings) {
  std::string const long_a(40, 'a');
  std::vector<std::string> const strings = {
      "", std::string(1, '\0'), "a", std::string("a\0", 2), "ab", "b", "\x7f", "\x80", "\xff",
      "abcdefg", "abcdefgh", "abcdefgi", "abcdefgh\x01", "abcdefgh\xff",
      std::string(15, 'a'), std::string(16, 'a'), std::string(16, 'a') + '\0',
      std::string(16, 'a') + 'b', std::string(24, 'a'), std::string(25, 'a'), long_a,
      long_a + 'b', long_a.substr(0, 30) + '\x90', std::string(15, 'a') + '\xff'};
  auto const sign = [](int c) { return (c > 0) - (c < 0); };
  for (std::string const& a : strings) {
    for (std::string const& b : strings) {
      int const got = map_text_slot::probe(a).compare(map_text_slot::probe(b));
      EXPECT_EQ(got, sign(a.compare(b))) << testing::PrintToString(a) << " with "
                                         << testing::PrintToString(b);
    }
  }
}

}  // namespace
