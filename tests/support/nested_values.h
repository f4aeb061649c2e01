// A map's container value (a list or a vector) beside its model, a std::vector:
// the blocks the container takes for n elements, and one random change other
// than appending, applied alike to both. Shared by the model tests of both
// maps, so that a map of lists and a map of vectors run through one subject.
#pragma once

#include <disk_tools/d_list.h>
#include <disk_tools/d_vector.h>

#include <random>
#include <string>
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

}  // namespace test_support
