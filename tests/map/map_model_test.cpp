// The maps against std::map: the two the drivers use, and the typed map for strings,
// numbers, a plain struct, a codec type, and lists and vectors as values. Every operation;
// the map grows to a random size and shrinks to empty again and again, so nodes fill, split,
// balance, empty and go. A driver map's kept shape must be its file's; a typed map's blocks
// in use must be those its header, nodes and the model's pairs need (a leak shows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <tuple>

#include <disk_tools/detail/map_shape.h>
#include "map_fixture.h"
#include "model_harness.h"
#include "nested_values.h"
#include "stored_types.h"

using namespace disk_tools;
using namespace map_tests;

namespace {

// How a test number becomes a key or value of each map, and back.
template <class Map>
struct map_kind;

template <>
struct map_kind<int_map> {
  using key_type = unsigned;
  using value_type = unsigned;
  using stored_value = unsigned;
  static constexpr bool typed = false;
  static unsigned key(unsigned n) { return n; }
  static unsigned value(unsigned n) { return n * 7 + 1; }
  static unsigned stored(unsigned p, d_env&) { return p; }
  static unsigned plain_of(unsigned v) { return v; }
  static std::string text(unsigned p) { return std::to_string(p); }
};

template <>
struct map_kind<str_map> {
  using key_type = std::string;
  using value_type = std::string;
  using stored_value = str_ref;
  static constexpr bool typed = false;
  // Numbers as text order differently from numbers: 10 before 9.
  static std::string key(unsigned n) { return "k" + std::to_string(n); }
  static std::string value(unsigned n) { return "value " + std::to_string(n); }
  static str_ref stored(std::string const& p, d_env& env) { return str_ref(p, &env); }
  static std::string plain_of(str_ref const& v) { return v.get_data(); }
  static std::string text(std::string const& p) { return p; }
};

struct point {
  std::int32_t x;
  double y;
  bool operator==(point const& o) const { return x == o.x && y == o.y; }
};

// A typed map stores the plain values themselves. Numbers of a run become keys and values from
// small pools, so that hits, overwrites and erases are common: strings of high bytes (bytes compare
// unsigned) and with 0 bytes inside, and runs of x around the 16 bytes a long string keeps in its
// slot and the 24 a short one fits in, ended by a letter that orders either way.
template <class K, class V>
struct map_kind<d_map<K, V>> {
  using key_type = K;
  using value_type = V;
  using stored_value = V;
  static constexpr bool typed = true;
  template <class T>
  static T make(unsigned n) {
    if constexpr (std::is_same<T, std::string>::value) {
      static std::string const odd[] = {"",  "\xff", "\x80z", "a", std::string(200, 'q'),
                                        std::string("a\0b", 3), std::string(30, 'a') + '\0'};
      if (n % 10 == 0) return odd[n / 10 % 7];
      return "w" + std::to_string(n % 61) + std::string(n / 61 % 31, 'x') + "az"[n / 1891 % 2];
    } else if constexpr (std::is_same<T, std::uint64_t>::value) {
      return static_cast<std::uint64_t>(n % 501) << (n / 501 * 9 % 51);
    } else if constexpr (std::is_same<T, std::int32_t>::value) {
      return static_cast<std::int32_t>(n % 3001) - 1500;
    } else if constexpr (std::is_same<T, double>::value) {
      return (static_cast<int>(n % 2001) - 1000) / 8.0;
    } else if constexpr (std::is_same<T, point>::value) {
      return {static_cast<std::int32_t>(n % 19) - 9, n / 19 % 100 / 4.0};
    } else {
      std::mt19937 rng(n);
      return test_support::random_package(rng);
    }
  }
  static K key(unsigned n) { return make<K>(n); }
  static V value(unsigned n) { return make<V>(n); }
  template <class T>
  static T const& stored(T const& p, d_env&) { return p; }
  template <class T>
  static T const& plain_of(T const& v) { return v; }
  static std::string text(K const& p) {
    if constexpr (std::is_same<K, std::string>::value) return testing::PrintToString(p);
    else return std::to_string(p);
  }
  template <class T>
  static std::string text(T const&) { return "a value"; }
};

// Blocks the typed map keeps for one key or value: a codec value has one, a
// string only when longer than the 24 bytes a slot holds.
template <class T>
std::size_t owned_blocks(T const&) {
  return std::is_same<typename map_slot_of<T>::type, map_block_slot<T>>::value ? 1 : 0;
}
std::size_t owned_blocks(std::string const& s) { return s.size() > 24 ? 1 : 0; }

template <class Map>
class map_subject {
 public:
  using kind = map_kind<Map>;
  using plain = typename kind::key_type;
  using value_type = typename kind::value_type;
  using model_type = std::map<plain, value_type>;

  // A driver map is worked on through two objects, each of which must see what the other did.
  void attach(d_env& env) {
    env_ = &env, map_ = std::make_unique<Map>("m", &env), cur_ = map_.get();
    if (!kind::typed) alias_ = std::make_unique<Map>("m", &env);
  }
  void detach() { held_.reset(); map_.reset(); alias_.reset(); }

  std::string step(std::mt19937& rng) {
    rng_ = &rng;
    cur_ = alias_ && pick(3) == 0 ? alias_.get() : map_.get();
    if (growing_ && model_.size() >= target_) growing_ = false;
    if (!growing_ && model_.empty()) growing_ = true, target_ = 1 + pick(max_size);
    plain const k = kind::key(static_cast<unsigned>(pick(key_space)));
    int const roll = pick(100);
    if (roll < 55) return change(k);
    if (roll < 63) return get(k);
    if (roll < 73) return bound(k, pick(2) == 1);
    if (roll < 81) return walk_range(k);
    if (roll < 87) return walk_back(k, 1 + pick(70));
    if (roll < 93) return transaction(k);
    if (roll < 95) return cur_->balance(), "balance";
    if constexpr (kind::typed) {
      // Now and then everything goes at once; the blocks it owned are freed.
      if (roll == 99 && pick(8) == 0) return cur_->clear(), model_.clear(), "clear";
      if (roll == 95) return keep_proxy(k);
      if (roll == 96) return write_held();
    }
    return erase(k);
  }

  std::string compare() {
    if (!problem_.empty()) return problem_;
    if (map_->size() != model_.size())
      return "size " + std::to_string(map_->size()) + ", model " + std::to_string(model_.size());
    std::string const forward = differs(map_->begin(), map_->end(), model_.begin(), model_.end());
    if (!forward.empty()) return "walk: " + forward;
    // Backwards, from the end to the first pair, through the other object.
    Map& back = alias_ ? *alias_ : *map_;
    auto at = model_.rbegin();
    auto const first = back.begin();
    for (auto it = back.end(); it != first; ++at) {
      --it;
      if (at == model_.rend() || !same(*it, *at)) return "walk back at " + kind::text(at->first);
    }
    if (at != model_.rend()) return "walk back ends early";
    if constexpr (kind::typed) {
      std::size_t blocks = 1 + map_->node_count();
      for (auto const& [k, v] : model_) blocks += owned_blocks(k) + owned_blocks(v);
      if (env_->allocator->allocation_list().size() != blocks) return "blocks in use";
    }
    return "";
  }

  // The tree's own checks; for a driver map its kept shape and node tails too.
  std::vector<std::string> check() {
    auto problems = check_map(*cur_);
    if constexpr (!kind::typed) {
      for (std::string const& p : {shape_differs(), tail_differs()})
        if (!p.empty()) problems.push_back(p);
    }
    return problems;
  }

 private:
  static constexpr int key_space = 3000;
  static constexpr int max_size = 2400;

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(*rng_); }
  value_type some_value() { return kind::value(static_cast<unsigned>(pick(1000000))); }
  template <class T>
  auto stored(T const& p) { return kind::stored(p, *env_); }

  template <class Pair, class Model>
  static bool same(Pair const& pair, Model const& m) {
    return kind::plain_of(pair.key) == m.first && kind::plain_of(pair.value) == m.second;
  }
  template <class It, class ModelIt>
  static std::string differs(It it, It end, ModelIt at, ModelIt model_end) {
    for (; it != end; ++it, ++at) {
      if (at == model_end) return "extra pair " + kind::text(kind::plain_of(it->key));
      if (same(*it, *at)) continue;
      if (kind::plain_of(it->key) == at->first) return "value of " + kind::text(at->first);
      return "pair " + kind::text(kind::plain_of(it->key)) + " where the model has " +
             kind::text(at->first);
    }
    return at == model_end ? "" : "missing pair " + kind::text(at->first);
  }
  void expect(bool ok, std::string const& what) { if (!ok && problem_.empty()) problem_ = what; }
  void check_now(std::string const& when) {
    auto const problems = check();
    expect(problems.empty(), when + ": " + (problems.empty() ? "" : problems.front()));
  }

  // Once built, the kept shape must be the file's: balancing trusts it over the nodes.
  std::string shape_differs() {
    map_shape const& kept = cur_->shape();
    if (!kept.built()) return "";
    map_shape file;
    file.build(*cur_->stream, cur_->root.address, Map::layout::record_size);
    if (kept.root() != file.root() || kept.node_count() != file.node_count())
      return "the kept shape has another root or node count than the file";
    auto const node = [](map_shape const& s, word_t at) {
      return std::tuple(s.left(at), s.right(at), s.parent(at), s.left_count(at),
                        s.right_count(at), s.uneven_below(at));
    };
    std::string found;
    file.for_each_in_reverse_visit(file.root(), [&](word_t at) {
      try {
        if (node(kept, at) != node(file, at))
          found = "the kept shape differs from the file at node " + std::to_string(at);
      } catch (disk_tools::error const&) {
        found = "the kept shape lacks node " + std::to_string(at);
      }
      return found.empty();
    });
    return found;
  }

  // A node object that takes its record's slots past the count for its own
  // stores leaves them out: they must really be the same.
  std::string tail_differs() {
    using node = typename Map::node_type;
    using layout = typename Map::layout;
    std::vector<node const*> objects{&cur_->root};
    objects.insert(objects.end(), cur_->node_list.begin(), cur_->node_list.end());
    for (node const* n : objects) {
      if (n->tail_stored_at != n->address || n->address == no_address) continue;
      for (int i = static_cast<int>(n->count); i < node::max_pairs; ++i) {
        char slot[layout::slot_width];
        auto const& p = n->pairs[static_cast<std::size_t>(i)];
        map_slot_field<std::decay_t<decltype(p.key)>>::encode(slot, p.key);
        map_slot_field<std::decay_t<decltype(p.value)>>::encode(slot + sizeof slot / 2, p.value);
        char const* const held = cur_->stream->view(
            n->address + static_cast<word_t>(layout::slot_offset(i)), sizeof slot);
        if (!held || !std::equal(slot, slot + sizeof slot, held))
          return "node " + std::to_string(n->address) + " trusts slot " + std::to_string(i);
      }
    }
    return "";
  }

  std::string change(plain const& k) {
    if (!growing_) return pick(10) == 0 ? erase(k) : erase_near(k);
    bool const present = model_.count(k) > 0;
    value_type const v = some_value();
    std::string const what = kind::text(k) + " -> " + kind::text(v);
    switch (pick(6)) {
      case 0:
        expect(cur_->put(stored(k), stored(v)) == !present, "put " + what);
        break;
      case 1:
        expect(cur_->insert(stored(k), stored(v)) == !present, "insert " + what);
        // The typed map's insert keeps a present key's value, as std::map's does.
        if (kind::typed && present) return "insert of present " + kind::text(k);
        break;
      case 2:
        expect(cur_->update(stored(k), stored(v)) == present, "update " + what);
        if (!present) return "update of absent " + kind::text(k);
        break;
      case 3:
        (*cur_)[stored(k)] = stored(v);
        break;
      case 4:
        if constexpr (kind::typed && std::is_arithmetic<value_type>::value) {
          // Read, added to and stored back through the proxy.
          if (!present) model_[k] = value_type{};
          (*cur_)[k] += v;
          model_[k] += v;
          return "add to " + what;
        }
        [[fallthrough]];
      default: {
        // Reading through the proxy adds a missing key with a default value.
        value_type const read = (*cur_)[stored(k)];
        if (!present) model_[k] = value_type{};
        expect(read == model_[k], "subscript read " + kind::text(k));
        return "subscript read " + kind::text(k);
      }
    }
    model_[k] = v;
    return "change " + what;
  }

  std::string erase(plain const& k) {
    bool const present = model_.erase(k) > 0;
    expect(cur_->erase(stored(k)) == present, "erase " + kind::text(k));
    if (pick(4) == 0) check_now("after erase " + kind::text(k));
    return (present ? "erase " : "erase absent ") + kind::text(k);
  }
  // Erases the first present key from k on, so that shrinking does shrink.
  std::string erase_near(plain const& k) {
    auto const at = model_.lower_bound(k);
    return erase(at == model_.end() ? k : at->first);
  }

  std::string get(plain const& k) {
    typename kind::stored_value found{};
    bool const present = model_.count(k) > 0;
    expect(cur_->get(stored(k), found) == present, "get " + kind::text(k));
    if (present) expect(kind::plain_of(found) == model_[k], "value of " + kind::text(k));
    if constexpr (kind::typed) {  // and as std::map's callers ask
      auto const it = cur_->find(k);
      expect(present ? it != cur_->end() && same(*it, *model_.find(k)) : it == cur_->end(),
             "find " + kind::text(k));
      expect(cur_->count(k) == model_.count(k), "count " + kind::text(k));
      bool const refused = test_support::code_thrown_by([&] {
        expect(kind::plain_of(cur_->at(k)) == model_[k], "at " + kind::text(k));
      }) == errc::out_of_range;
      expect(refused != present, "at " + kind::text(k));
      if (!present) model_.erase(k);  // model_[k] above made it
    }
    if constexpr (std::is_same<Map, str_map>::value) {  // by the plain key too
      std::string text;
      expect(cur_->get(k, text) == present && (!present || text == model_[k]), "get by text " + k);
    }
    return "get " + kind::text(k);
  }

  std::string bound(plain const& k, bool upper) {
    auto const it = upper ? cur_->upper_bound(stored(k)) : cur_->lower_bound(stored(k));
    auto const at = upper ? model_.upper_bound(k) : model_.lower_bound(k);
    std::string const what = (upper ? "upper_bound " : "lower_bound ") + kind::text(k);
    expect(at == model_.end() ? it == cur_->end() : it != cur_->end() && same(*it, *at), what);
    return what;
  }

  std::string walk_range(plain from) {
    plain to = kind::key(static_cast<unsigned>(pick(key_space)));
    if (to < from && pick(4) != 0) std::swap(to, from);  // now and then an empty range
    auto const r = cur_->range(stored(from), stored(to));
    auto const first = model_.lower_bound(from);
    auto const last = from < to ? model_.lower_bound(to) : first;
    std::string const what = "range " + kind::text(from) + " to " + kind::text(to);
    std::string const diff = differs(r.begin(), r.end(), first, last);
    expect(diff.empty(), what + ": " + diff);
    return what;
  }

  // From lower_bound(k) back towards the first pair, std::prev by std::prev.
  std::string walk_back(plain const& k, int steps) {
    auto it = cur_->lower_bound(stored(k));
    auto at = model_.lower_bound(k);
    std::string const what = "back " + std::to_string(steps) + " from " + kind::text(k);
    for (int i = 0; i < steps && at != model_.begin(); ++i) {
      it = std::prev(it);
      --at;
      if (!same(*it, *at))
        return expect(false, what + ": " + kind::text(kind::plain_of(it->key))), what;
    }
    return what;
  }

  // A proxy from m[k] kept while the map changes: it writes k's value while
  // k is there, and once k is erased it refuses, as the element of a
  // std::map goes with its pair, rather than add k back.
  std::string keep_proxy(plain const& k) {
    if constexpr (kind::typed) {
      held_.emplace((*cur_)[k]);
      held_key_ = k;
      model_[k];
    }
    return "keep the proxy of " + kind::text(k);
  }
  std::string write_held() {
    if constexpr (kind::typed) {
      if (!held_) return "no proxy kept";
      // Half the time its key goes first (it may have gone already).
      std::string what = pick(2) == 0 ? erase(held_key_) + ", then " : "";
      value_type const v = some_value();
      what += "write through the kept proxy of " + kind::text(held_key_);
      if (model_.count(held_key_)) {
        *held_ = model_[held_key_] = v;
        return what;
      }
      expect(test_support::thrown_by([&] { *held_ = v; }) == "map element out of range...",
             what + ", erased");
      return what + ", erased";
    }
    return "";
  }

  // A few changes in a transaction, committed or rolled back as a whole.
  std::string transaction(plain const& k) {
    bool const keep = pick(2) == 0;
    int i = 0;
    std::string const what = test_support::in_transaction(*env_, model_, keep, 1 + pick(6), [&] {
      return change(i++ == 0 ? k : kind::key(static_cast<unsigned>(pick(key_space))));
    });
    check_now(what);
    return what;
  }

  d_env* env_ = nullptr;
  std::unique_ptr<Map> map_, alias_;  // no alias for a typed map
  Map* cur_ = nullptr;                // the object this step works through
  model_type model_;
  std::mt19937* rng_ = nullptr;
  bool growing_ = true;
  std::size_t target_ = max_size;
  std::string problem_;
  // A typed map's proxy kept across steps, and its key.
  template <class M, bool = kind::typed>
  struct proxy_of {
    using type = int;
  };
  template <class M>
  struct proxy_of<M, true> {
    using type = typename M::reference;
  };
  std::optional<typename proxy_of<Map>::type> held_;
  plain held_key_{};
};

using test_support::run_models;

TEST(MapModel, NumberMap) {
  run_models<map_subject<int_map>>(
      {{1, 6000, 150}, {2, 6000, 150}, {3, 6000, 150}, {4, 6000, 150}});
}

TEST(MapModel, StringMap) { run_models<map_subject<str_map>>({{11, 4000, 150}, {12, 4000, 150}}); }

// A typed map's runs: one reopening every 150 steps on average, then every 40.
std::vector<test_support::model_run> const typed_runs = {{1, 2500, 150}, {2, 1500, 40}};

template <class K, class V>
void run_typed() { run_models<map_subject<d_map<K, V>>>(typed_runs); }

TEST(TypedMapModel, StringToString) { run_typed<std::string, std::string>(); }
TEST(TypedMapModel, NumberToDouble) { run_typed<std::uint64_t, double>(); }
TEST(TypedMapModel, IntToPlainStruct) { run_typed<std::int32_t, point>(); }
TEST(TypedMapModel, StringToCodecType) { run_typed<std::string, test_support::package>(); }

// m[key] = other would assign to a temporary that changes nothing in the file.
static_assert(!std::is_assignable<d_list<std::string>&&, d_list<std::string> const&>::value &&
                  !std::is_assignable<d_vector<std::string>&&, d_vector<std::string> const&>::value,
              "a container value is not assigned whole");

TEST(TypedMapModel, MapsOfListsAndVectors) {
  using test_support::map_of_containers_subject;
  run_models<map_of_containers_subject<std::string, d_list<std::string>, false>>(typed_runs);
  run_models<map_of_containers_subject<std::string, d_vector<std::string>, false>>(typed_runs);
  run_models<map_of_containers_subject<std::uint64_t, d_vector<std::uint64_t>, false>>(typed_runs);
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
