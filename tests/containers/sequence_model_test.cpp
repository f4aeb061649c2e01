// The list and the vector against std::list and std::vector, and a list of lists against
// its model: every operation, through two objects on one container, now and then in a
// transaction committed or rolled back. A comparison also walks backwards, takes
// std::distance and counts the blocks in use (a leak shows).
#include <disk_tools/d_list.h>
#include <disk_tools/d_vector.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <list>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "model_harness.h"
#include "stored_types.h"

using namespace disk_tools;

namespace {

using test_support::on_both;
using test_support::pick;
using test_support::require;

template <class T>
T random_value(std::mt19937& rng) {
  static char const* const words[] = {"",    "a",    "b",    "ab",      "\xe9t\xe9", "\x7f",
                                      "GOD", "LOVE", "HATE", "<<GOD>>", "longer than most"};
  if constexpr (std::is_same_v<T, int>) return pick(rng, -20, 20);
  else if constexpr (std::is_same_v<T, test_support::package>) return test_support::random_package(rng);
  else return words[pick(rng, 0, static_cast<int>(std::size(words)) - 1)];
}

// Runs action, which must be refused with message.
template <class Action>
std::string refused(Action action, std::string const& message) {
  std::string const got = test_support::thrown_by(action);
  require(got == message, "refused with \"" + got + "\" instead of \"" + message + "\"");
  return "refused: " + message;
}

// A d_list<T> or a d_vector<T> (with a first capacity of 2, so that its header moves
// often, and an overrun of its block would hit a value block) and its model.
template <class Container>
class sequence_subject {
  using T = typename Container::value_type;
  static constexpr bool is_list = std::is_same_v<Container, d_list<T>>;
  using model_t = std::conditional_t<is_list, std::list<T>, std::vector<T>>;

 public:
  // A reopened vector keeps its capacity, whatever capacity is asked for.
  void attach(d_env& env) {
    for (auto* c : {&main_, &alias_}) {
      if constexpr (is_list) c->emplace("seq", &env);
      else c->emplace("seq", env_ ? 500 : 2, &env);
    }
    env_ = &env;
  }
  void detach() { main_.reset(); alias_.reset(); }
  std::vector<std::string> check() { return main_->check(); }

  // Walks both ways, std::distance (the vector's takes end - begin, which the walks do not
  // use), sizes, random access and in-place reads (through the other object) against the model.
  std::string compare() {
    Container& c = *main_;
    // rbegin first: made from the object's copy of the sentinel, before begin
    // (in rend) brings that copy up to date.
    auto const back = c.rbegin();
    if (!std::equal(back, c.rend(), model_.rbegin(), model_.rend())) return "backward walk differs";
    std::vector<T> forward;
    for (T value : c) forward.push_back(value);
    if (forward != std::vector<T>(model_.begin(), model_.end())) return "forward walk differs";
    if (std::distance(c.begin(), c.end()) != static_cast<std::ptrdiff_t>(model_.size()) ||
        c.size() != model_.size() || c.empty() != model_.empty())
      return "std::distance or size differs";
    if (!model_.empty() && (c.front() != model_.front() || c.back() != model_.back()))
      return "front or back differs";
    if constexpr (!is_list) {
      auto const first = main_->begin(), last = main_->end();
      long const n = last - first;
      for (long i = 0; i < n; ++i)
        if (first[i] != *(last - (n - i)) || first[i] != model_[static_cast<std::size_t>(i)])
          return "random access differs at " + std::to_string(i);
    }
    if constexpr (std::is_same_v<T, std::string>) {
      auto m = model_.begin();
      for (auto it = alias_->begin(); it != alias_->end(); ++it, ++m) {
        long const i = std::distance(model_.begin(), m);
        bool by_index = true;
        if constexpr (!is_list) by_index = alias_->view(i) == *m;
        if (it.view() != *m || !by_index) return "view differs at " + std::to_string(i);
      }
      // The vector object that made the changes knows where its elements
      // lie; the other finds them as the range is read.
      for (Container* c : {&*main_, &*alias_}) {
        auto const views = c->views();
        if (!std::equal(views.begin(), views.end(), model_.begin(), model_.end()))
          return "views differ";
      }
    }
    // The list's header and sentinel, the vector's header; a node (list) and a value block each.
    std::size_t const blocks = is_list ? 2 + 2 * model_.size() : 1 + model_.size();
    return env_->allocator->allocation_list().size() == blocks ? "" : "blocks in use";
  }

  // Now and then a transaction, committed or rolled back: both objects must follow a rollback.
  std::string step(std::mt19937& rng) {
    if (pick(rng, 0, 40) != 0) return operation(rng);
    // Without a journal nothing is taken back.
    bool const keep = pick(rng, 0, 1) == 0 || env_->database->journal_mode() == d_journal::off;
    return test_support::in_transaction(*env_, model_, keep, pick(rng, 1, 4),
                                        [&] { return operation(rng); });
  }

 private:
  std::string operation(std::mt19937& rng) {
    // Two objects on one container: each must see what the other did.
    Container& c = pick(rng, 0, 2) == 0 ? *alias_ : *main_;
    long const n = static_cast<long>(model_.size());
    T const value = random_value<T>(rng);
    long const i = pick(rng, 0, std::max(0L, n - 1));
    switch (pick(rng, 0, n > 40 ? 15 : 11)) {
      case 0:
        if (pick(rng, 0, 1) == 0)
          return on_both(c, model_, [&](auto& x) { x.emplace_back(value); }, "emplace_back");
        return on_both(c, model_, [&](auto& x) { x.push_back(value); }, "push_back");
      case 1:
        if constexpr (is_list) {
          return on_both(c, model_, [&](auto& x) { x.push_front(value); }, "push_front");
        } else {
          long const room = pick(rng, 0, static_cast<int>(c.capacity()) + 10);
          c.reserve(room);
          require(c.capacity() >= room, "reserve left less room than asked for");
          return "reserve " + std::to_string(room);
        }
      case 2: {
        long const at = pick(rng, 0, static_cast<int>(n));
        c.insert(position(c, at), value);
        model_.insert(std::next(model_.begin(), at), value);
        return "insert at " + std::to_string(at);
      }
      case 3:
        return n == 0 ? "skip" : proxy_write(c, i, value, rng);
      case 4:
        if constexpr (is_list) {
          c.sort(CompLess<T>());
          model_.sort([](T const& a, T const& b) { return b < a; });
        } else {
          c.sort(DefaultLess<T>());
          std::sort(model_.begin(), model_.end());
        }
        return "sort";
      case 5:
        if constexpr (is_list) {
          if (n == 0) return "skip";
          long const j = pick(rng, 0, static_cast<int>(n) - 1);
          auto a = position(c, i), b = position(c, j);
          c.swap(a, b);
          std::iter_swap(std::next(model_.begin(), i), std::next(model_.begin(), j));
          return "swap " + std::to_string(i) + " " + std::to_string(j);
        } else {
          long const to = pick(rng, 0, static_cast<int>(n) + 6);
          c.resize(to);
          model_.resize(static_cast<std::size_t>(to));
          return "resize to " + std::to_string(to);
        }
      case 6:
        if (std::string const why = compare(); !why.empty()) require(false, why);
        return "walks";
      case 7:
        if (pick(rng, 0, 5) > 0) return "skip";
        return on_both(c, model_, [](auto& x) { x.clear(); }, "clear");
      case 8:
        if constexpr (is_list) {
          // At the end position the list erases its first element, if any.
          auto at_end = c.end();
          c.erase(at_end);
          if (n > 0) model_.pop_front();
          require(at_end == c.end(), "erase at the end moved its position");
        } else {
          return refused([&] { c.erase(c.end()); }, "vector index out of range...");
        }
        return "erase at the end";
      case 9:
        if constexpr (is_list) {
          if (pick(rng, 0, 1)) {
            if (n == 0) return refused([&] { c.pop_front(); }, "list is empty...");
            return on_both(c, model_, [](auto& x) { x.pop_front(); }, "pop_front");
          }
        }
        if (n == 0)
          return refused([&] { c.pop_back(); }, is_list ? "list is empty..." : "vector is empty...");
        return on_both(c, model_, [](auto& x) { x.pop_back(); }, "pop_back");
      default:
        return n == 0 ? "skip" : erase(c, i);
    }
  }

  // The list walks from the nearer end, from the object's own, perhaps older, sentinel copy.
  auto position(Container& c, long at) {
    if constexpr (is_list) {
      long const n = static_cast<long>(model_.size());
      auto it = at <= n / 2 ? c.begin() : c.end();
      std::advance(it, at <= n / 2 ? at : at - n);
      return it;
    } else {
      return c.begin() + at;
    }
  }

  // The list's iterator is made before an insertion in front of it (its node copy is stale);
  // the vector's proxy before pushes that may move the header.
  std::string proxy_write(Container& c, long at, T const& value, std::mt19937& rng) {
    if constexpr (is_list) {
      auto it = position(c, at);
      if (pick(rng, 0, 1)) {
        T const inserted = random_value<T>(rng);
        c.insert(it, inserted);
        model_.insert(std::next(model_.begin(), at++), inserted);
      }
      dl_assign<T> element(it);
      element = value;
      require(element.get_data() == value, "the proxy reads another value");
    } else {
      d_vector_assign<T> element = c[at];
      // A position kept by the other object, whose header it must read afresh.
      auto const kept = (&c == &*main_ ? *alias_ : *main_).begin() + at;
      for (int k = pick(rng, 0, 3); k > 0; --k) c.push_back(value), model_.push_back(value);
      element = value;
      require(element.get_data() == value, "the proxy reads another value");
      require(*kept == value, "a position kept across the changes reads another value");
    }
    *std::next(model_.begin(), at) = value;
    return "proxy write at " + std::to_string(at);
  }

  // The position the vector's erase returns, or the list's leaves in its iterator, must be
  // the element that followed.
  std::string erase(Container& c, long at) {
    auto it = position(c, at);
    auto const after = model_.erase(std::next(model_.begin(), at));
    if constexpr (is_list) c.erase(it);
    else it = c.erase(it);
    require((after == model_.end()) == (it == c.end()) && (after == model_.end() || *it == *after),
            "erase left its position elsewhere");
    return "erase at " + std::to_string(at);
  }

  d_env* env_ = nullptr;
  std::optional<Container> main_, alias_;
  model_t model_;
};

TEST(SequenceModel, ListsAndVectorsOfStringsAndNumbersFollowTheirModels) {
  std::vector<test_support::model_run> const words = {{1, 2500}, {2, 2500}, {3, 2500}};
  test_support::run_models<sequence_subject<d_list<std::string>>>(words);
  test_support::run_models<sequence_subject<d_vector<std::string>>>(words);
  // Plain values, and the database without its journal.
  test_support::run_models<sequence_subject<d_list<int>>>({{4, 2500, 100, {d_journal::off}}});
  test_support::run_models<sequence_subject<d_vector<int>>>({{4, 2500, 100, {d_journal::off}}});
  // A struct of strings and vectors, stored through its codec.
  test_support::run_models<sequence_subject<d_list<test_support::package>>>({{7, 1500}});
  test_support::run_models<sequence_subject<d_vector<test_support::package>>>({{7, 1500}});
}

// A list of lists against a list of inner-list numbers, with the inner lists'
// contents beside it. The first kept_inners inner lists are kept at roots of their own and
// may be elements more than once; each other one is made for one element, and goes with it.
class list_of_lists_subject {
 public:
  void attach(d_env& env) {
    env_ = &env, outer_.emplace("lists", &env);
    handles_.resize(std::max(handles_.size(), kept_inners));
    inners_.resize(std::max(inners_.size(), kept_inners));
    for (std::size_t id = 0; id < kept_inners; ++id) {
      handles_[id] = d_list<int>("kept" + std::to_string(id), &env).handle();
    }
  }
  void detach() { outer_.reset(); }
  std::vector<std::string> check() { return outer_->check(); }

  std::string compare() {
    std::vector<std::vector<int>> got, expected;
    for (d_list<int> inner : *outer_) got.emplace_back(inner.begin(), inner.end());
    for (std::size_t id : model_) expected.push_back(inners_[id]);
    std::vector<std::size_t> backwards, sizes;
    for (auto it = outer_->rbegin(); it != outer_->rend(); ++it) backwards.push_back(it->size());
    for (auto id = model_.rbegin(); id != model_.rend(); ++id) sizes.push_back(inners_[*id].size());
    // The outer list's header, sentinel, nodes and values; each inner list kept at a root, and
    // each other one still an element, with its handle block too.
    std::size_t blocks = 2 + 2 * model_.size();
    for (std::size_t id = 0; id < kept_inners; ++id) blocks += 2 + 2 * inners_[id].size();
    for (std::size_t id : model_) {
      if (id >= kept_inners) blocks += 3 + 2 * inners_[id].size();
    }
    if (got != expected || backwards != sizes) return "inner lists differ";
    return env_->allocator->allocation_list().size() == blocks ? "" : "blocks in use";
  }

  std::string step(std::mt19937& rng) {
    long const n = static_cast<long>(model_.size());
    long const i = pick(rng, 0, std::max(0L, n - 1));
    int const roll = n == 0 ? 0 : pick(rng, 0, n > 12 ? 9 : 6);
    if (roll < 2) {
      std::size_t id = inners_.size();
      if (pick(rng, 0, 2) == 0) {
        id = static_cast<std::size_t>(pick(rng, 0, static_cast<int>(kept_inners) - 1));
      } else {
        handles_.push_back(d_list<int>(env_).handle());
        inners_.emplace_back();
      }
      d_list<int> inner;
      inner.grab(env_->stream, handles_[id], env_->allocator, env_->database);
      bool const front = pick(rng, 0, 1);
      front ? outer_->push_front(inner) : outer_->push_back(inner);
      model_.insert(front ? model_.begin() : model_.end(), id);
      return "push an inner list";
    }
    if (roll < 5) {
      // Through the element's view, as *it and it-> give it.
      int const value = pick(rng, 0, 99);
      bool const front = pick(rng, 0, 1);
      auto it = std::next(outer_->begin(), i);
      front ? it->push_front(value) : (*it).push_back(value);
      auto& inner = inners_[*std::next(model_.begin(), i)];
      inner.insert(front ? inner.begin() : inner.end(), value);
      return "push into inner list " + std::to_string(i);
    }
    if (roll == 5) return on_both(*outer_, model_, [](auto& x) { x.pop_front(); }, "pop_front");
    if (roll == 6) return on_both(*outer_, model_, [](auto& x) { x.pop_back(); }, "pop_back");
    if (roll == 7 && pick(rng, 0, 3) == 0)
      return on_both(*outer_, model_, [](auto& x) { x.clear(); }, "clear");
    auto it = std::next(outer_->begin(), i);
    outer_->erase(it);
    model_.erase(std::next(model_.begin(), i));
    return "erase at " + std::to_string(i);
  }

 private:
  static constexpr std::size_t kept_inners = 2;
  d_env* env_ = nullptr;
  std::optional<d_list<d_list<int>>> outer_;
  std::list<std::size_t> model_;
  std::vector<std::vector<int>> inners_;
  std::vector<word_t> handles_;
};

TEST(SequenceModel, ListOfListsFollowsItsModel) {
  test_support::run_models<list_of_lists_subject>({{5, 1500, 80}, {6, 1500, 80}});
}

}  // namespace
