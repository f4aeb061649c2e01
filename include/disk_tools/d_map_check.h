// The ordered map's invariants, checked against the file: keys unique and
// ascending within each node, every key of a left subtree below its node's
// first key and of a right subtree above its last key, parent links that match
// the child links, a size equal to the sum of the counts, and a node chain that
// visits every node exactly once. Every walk is bounded, so a damaged file
// gives a list of problems, never a hang. The typed map d_map<K, V> is
// checked as the tree of its slots (typed_map_records.h).
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "disk_tools/d_map.h"

namespace disk_tools {

// A typed map's key as a problem names it: a number or a string as itself,
// a key of another type by its type's size.
template <class T>
std::string plain_key(map_plain_slot<T> const& key) {
  if constexpr (std::is_arithmetic<T>::value) {
    return std::to_string(key.value);
  } else {
    return "a key of " + std::to_string(sizeof(T)) + " bytes";
  }
}
inline std::string plain_key(map_text_slot const& key) { return key.get(); }
template <class T>
std::string plain_key(map_block_slot<T> const& key) {
  return "the key in block " + std::to_string(key.address);
}

// Every problem found in the map, one sentence each; empty when it is sound.
template <class K, class V, class H>
std::vector<std::string> check_map(d_map<K, V, H>& map) {
  using node_type = typename d_map<K, V, H>::node_type;
  using layout = typename d_map<K, V, H>::layout;

  std::vector<std::string> problems;
  auto const report = [&problems](auto const&... parts) {
    std::ostringstream line;
    (line << ... << parts);
    problems.push_back(line.str());
  };
  io_tools::bfstream& s = *map.stream;
  word_t const limit = map.max_node_count();
  try {
    auto const size = static_cast<word_t>(map.size());
    map_header const header = map_header::read(s, map.header_address);
    if (header.size != size) report("header size ", header.size, " but map size ", size);
    if (header.root != map.root.address) {
      report("header root ", header.root, " but map root ", map.root.address);
    }
    if (header.chain_head != map.chain_head) {
      report("header chain head ", header.chain_head, " but map chain head ", map.chain_head);
    }

    // The tree, with the key bounds each node inherits from its ancestors.
    struct item {
      word_t address;
      word_t parent;
      std::optional<K> above;
      std::optional<K> below;
    };
    std::set<word_t> in_tree;
    word_t pairs_in_tree = 0;
    std::vector<item> pending{{map.root.address, no_address, std::nullopt, std::nullopt}};
    auto n = std::make_unique<node_type>();
    while (!pending.empty()) {
      item const at = pending.back();
      pending.pop_back();
      if (!in_tree.insert(at.address).second) {
        report("node ", at.address, " is reached twice in the tree");
        continue;
      }
      if (static_cast<word_t>(in_tree.size()) > limit) {
        report("the tree has more nodes than the file can hold");
        break;
      }
      n->address = at.address;
      n->load(s);
      if (n->parent != at.parent) {
        report("node ", at.address, " names parent ", n->parent, " but hangs below ", at.parent);
      }
      if (n->count == 0 && !(at.address == map.root.address && size == 0)) {
        report("node ", at.address, " in the tree holds no pairs");
      }
      for (word_t i = 0; i < n->count; ++i) {
        K const& key = n->pairs[static_cast<std::size_t>(i)].key;
        if (i > 0 && !(n->pairs[static_cast<std::size_t>(i - 1)].key < key)) {
          report("node ", at.address, ": slot ", i, " (", plain_key(key),
                 ") does not ascend from slot ", i - 1);
        }
        if (at.above && !(*at.above < key)) {
          report("node ", at.address, ": key ", plain_key(key), " is not above ",
                 plain_key(*at.above), " of a node it lies right of");
        }
        if (at.below && !(key < *at.below)) {
          report("node ", at.address, ": key ", plain_key(key), " is not below ",
                 plain_key(*at.below), " of a node it lies left of");
        }
      }
      pairs_in_tree += n->count;
      if (n->count == 0) continue;
      if (n->left != no_address) {
        pending.push_back({n->left, at.address, at.above, n->first_key()});
      }
      if (n->right != no_address) {
        pending.push_back({n->right, at.address, n->last_key(), at.below});
      }
    }
    if (pairs_in_tree != size) {
      report("the tree holds ", pairs_in_tree, " pairs but size is ", size);
    }

    // The chain: every node of the tree once, plus nodes without pairs.
    std::set<word_t> on_chain;
    word_t pairs_on_chain = 0;
    for (word_t at = map.chain_head; at != no_address;) {
      if (!on_chain.insert(at).second) {
        report("the chain visits node ", at, " twice");
        break;
      }
      if (static_cast<word_t>(on_chain.size()) > limit) {
        report("the chain is longer than the file can hold");
        break;
      }
      map_node_head const h = map_node_head::read(s, at, layout::record_size);
      pairs_on_chain += h.count;
      if (h.count != 0 && in_tree.count(at) == 0) {
        report("node ", at, " on the chain holds pairs but is not in the tree");
      }
      at = h.next;
    }
    for (word_t at : in_tree) {
      if (on_chain.count(at) == 0) report("node ", at, " of the tree is not on the chain");
    }
    if (pairs_on_chain != size) {
      report("the chain holds ", pairs_on_chain, " pairs but size is ", size);
    }
  } catch (error const& e) {
    report("reading the map failed: ", e.what());
  }
  return problems;
}

// The same for a typed map: its tree of slots, checked as above.
template <class K, class V>
std::vector<std::string> check_map(d_map<K, V, typed_map_tag>& map) {
  return check_map(map.tree_);
}

}  // namespace disk_tools
