#include "map_fixture.h"

#include <algorithm>
#include <numeric>
#include <random>

namespace map_tests {

std::vector<word_t> map_test::build_tree(std::vector<node_shape> const& shapes) {
  { int_map fresh("m", &env_); }
  std::vector<word_t> at, parent(shapes.size(), disk_tools::no_address);
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    text_tools::bstringstream zeros;
    at.push_back(env_.allocator->allocate(int_map::layout::reservation, zeros));
  }
  auto const link = [&at](int index) { return index < 0 ? disk_tools::no_address : at[index]; };
  for (std::size_t i = 0; i < shapes.size(); ++i)
    for (int child : {shapes[i].left, shapes[i].right})
      if (child >= 0) parent[static_cast<std::size_t>(child)] = at[i];
  word_t pairs = 0;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    int_node n;
    n.address = at[i], n.left = link(shapes[i].left), n.right = link(shapes[i].right);
    n.parent = parent[i], n.next = i == 0 ? disk_tools::no_address : at[i - 1];
    for (int k = 0; k < shapes[i].count; ++k) {
      unsigned const key = shapes[i].first + static_cast<unsigned>(k);
      n.add_sorted({key, key * 10});
    }
    pairs += n.count;
    n.store(*env_.stream);
  }
  disk_tools::map_header const h{pairs, at[0], at.back()};
  h.write(*env_.stream, header_of("m"));
  return at;
}

std::vector<unsigned> keys_in(std::string const& order, unsigned n, unsigned arg) {
  std::vector<unsigned> keys(n);
  std::iota(keys.begin(), keys.end(), 0u);
  if (order == "descending") std::reverse(keys.begin(), keys.end());
  if (order == "random") std::shuffle(keys.begin(), keys.end(), std::mt19937(arg));
  for (unsigned i = 0; i < n; ++i) {
    if (order == "from both ends") keys[i] = i % 2 == 0 ? i / 2 : n - 1 - i / 2;
    if (order == "runs") keys[i] = n - (i / arg + 1) * arg + i % arg;
  }
  return keys;
}

}  // namespace map_tests
