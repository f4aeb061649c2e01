#include "disk_tools/detail/map_shape.h"

#include <algorithm>

#include "disk_tools/detail/map_records.h"

namespace disk_tools {

void map_shape::clear() {
  nodes_.clear();
  by_address_.clear();
  root_ = none;
}

void map_shape::build(io_tools::bfstream& s, word_t root, std::size_t record_size) {
  clear();
  if (root == no_address) return;
  // Parents are met before their children, so going through the nodes
  // backwards afterwards meets children first.
  std::vector<index> pending{add(root)};
  while (!pending.empty()) {
    index const i = pending.back();
    pending.pop_back();
    map_node_head const h = map_node_head::read(s, nodes_[i].address, record_size);
    for (auto [link, child] : {std::pair{h.left, &node::left}, std::pair{h.right, &node::right}}) {
      if (link == no_address) continue;
      // A node met twice means the links form a cycle or join: no tree.
      if (by_address_.contains(link)) throw io_tools::corrupt_file(s);
      index const c = add(link);
      nodes_[i].*child = c;
      nodes_[c].parent = i;
      pending.push_back(c);
    }
  }
  root_ = 0;
  for (index i = static_cast<index>(nodes_.size()) - 1; i >= 0; --i) recompute(i);
}

map_shape::index map_shape::add(word_t address) {
  auto const i = static_cast<index>(nodes_.size());
  nodes_.push_back(node{address});
  by_address_.emplace(address, i);
  return i;
}

map_shape::index map_shape::index_of(word_t at) const {
  index const* const found = by_address_.find(at);
  // The map asks only about nodes of its tree; anything else means the copy
  // and the file disagree.
  if (!found) throw error(errc::corrupt, io_tools::corrupt_file_message);
  return *found;
}

map_shape::node const& map_shape::node_at(word_t at) const {
  return nodes_[index_of(at)];
}

bool map_shape::recompute(index i) {
  node& n = nodes_[i];
  node const before = n;
  n.left_count = n.left == none ? 1 : nodes_[n.left].left_count + 1;
  n.right_count = n.right == none ? 1 : nodes_[n.right].right_count + 1;
  n.uneven_below = is_uneven(n) || (n.left != none && nodes_[n.left].uneven_below) ||
                   (n.right != none && nodes_[n.right].uneven_below);
  return n.left_count != before.left_count || n.right_count != before.right_count ||
         n.uneven_below != before.uneven_below;
}

void map_shape::recompute_upwards(index i) {
  // Above a node whose numbers stayed the same nothing can change: each
  // ancestor depends only on its two children.
  for (std::size_t steps = 0; i != none && recompute(i); ++steps) {
    if (steps > nodes_.size()) throw error(errc::corrupt, io_tools::corrupt_file_message);
    i = nodes_[i].parent;
  }
}

bool map_shape::add_leaf(word_t parent, word_t leaf, bool on_left) {
  index const* const found = by_address_.find(parent);
  if (!found || by_address_.contains(leaf)) return false;
  index const p = *found;
  index const c = add(leaf);
  (on_left ? nodes_[p].left : nodes_[p].right) = c;
  nodes_[c].parent = p;
  recompute_upwards(p);
  return true;
}

bool map_shape::remove(word_t at) {
  index const* const found = by_address_.find(at);
  if (!found) return false;
  index const i = *found;
  node const gone = nodes_[i];
  if (gone.left != none && gone.right != none) return false;
  index const child = gone.left != none ? gone.left : gone.right;
  if (child != none) nodes_[child].parent = gone.parent;
  if (gone.parent == none) {
    root_ = child;
  } else {
    node& p = nodes_[gone.parent];
    (p.left == i ? p.left : p.right) = child;
  }
  by_address_.erase(at);
  // The last node fills the hole, so the table stays dense; whoever named it
  // by index is told its new one.
  index const last = static_cast<index>(nodes_.size()) - 1;
  index parent = gone.parent;
  if (i != last) {
    node const& moved = nodes_[i] = nodes_[last];
    if (moved.parent == none) {
      root_ = i;
    } else {
      node& p = nodes_[moved.parent];
      (p.left == last ? p.left : p.right) = i;
    }
    if (moved.left != none) nodes_[moved.left].parent = i;
    if (moved.right != none) nodes_[moved.right].parent = i;
    *by_address_.find(moved.address) = i;
    if (parent == last) parent = i;
  }
  nodes_.pop_back();
  // A tree emptied this way is no tree: built() turns false.
  if (nodes_.empty()) root_ = none;
  recompute_upwards(parent);
  return true;
}

bool map_shape::rename(word_t from, word_t to) {
  index const* const found = by_address_.find(from);
  if (!found || by_address_.contains(to)) return false;
  index const i = *found;
  by_address_.erase(from);
  by_address_.emplace(to, i);
  nodes_[i].address = to;
  return true;
}

void map_shape::rotate(word_t at, bool from_left, bool twice) {
  // The links d_map_node's rotations write, set here as well: x's child c
  // on the `in` side (and for a double rotation c's child g on that side)
  // comes up, and the subtrees on their `out` sides move down one place.
  index const x = index_of(at);
  auto const in = [from_left](node& n) -> index& { return from_left ? n.left : n.right; };
  auto const out = [from_left](node& n) -> index& { return from_left ? n.right : n.left; };
  index const c = in(nodes_[x]);
  if (c == none) throw error(errc::corrupt, io_tools::corrupt_file_message);
  index const g = twice ? in(nodes_[c]) : none;
  if (twice && g == none) throw error(errc::corrupt, io_tools::corrupt_file_message);
  index const top = twice ? g : c;
  index const parent = nodes_[x].parent;
  std::vector<index> changed{x, c};
  if (parent == none) {
    root_ = top;
  } else {
    node& p = nodes_[parent];
    (p.left == x ? p.left : p.right) = top;
    changed.push_back(parent);
  }
  nodes_[top].parent = parent;
  auto const hang = [&](index child, index under) {
    if (child == none) return;
    nodes_[child].parent = under;
    changed.push_back(child);
  };
  if (twice) {
    index const to_c = out(nodes_[g]);
    in(nodes_[c]) = to_c;
    hang(to_c, c);
    out(nodes_[g]) = c;
    nodes_[c].parent = g;
    changed.push_back(g);
  }
  index const to_x = out(nodes_[c]);
  in(nodes_[x]) = to_x;
  hang(to_x, x);
  out(nodes_[c]) = x;
  nodes_[x].parent = c;
  settle(changed);
}

void map_shape::settle(std::vector<index> const& changed) {
  // The rewritten nodes hang together below a top (the parent of the rotated
  // subtree, or its new top at the root): recompute them children first, then
  // whatever lies above, as far as anything changes.
  auto const was_changed = [&changed](index i) {
    return i != none && std::find(changed.begin(), changed.end(), i) != changed.end();
  };
  bool met_top = false;
  for (index top : changed) {
    if (was_changed(nodes_[top].parent)) continue;
    met_top = true;
    std::vector<std::pair<index, bool>> pending{{top, false}};
    for (std::size_t steps = 0; !pending.empty(); ++steps) {
      // Each changed node enters twice at most, unless the links loop.
      if (steps > 2 * changed.size()) throw error(errc::corrupt, io_tools::corrupt_file_message);
      auto const [i, children_done] = pending.back();
      pending.pop_back();
      if (children_done) {
        recompute(i);
        continue;
      }
      pending.push_back({i, true});
      for (index c : {nodes_[i].left, nodes_[i].right}) {
        if (was_changed(c)) pending.push_back({c, false});
      }
    }
    recompute_upwards(nodes_[top].parent);
  }
  // Parents all among the rewritten nodes: their links go round in a circle.
  if (!changed.empty() && !met_top) throw error(errc::corrupt, io_tools::corrupt_file_message);
}

void map_shape::for_each_in_reverse_visit(word_t top,
                                          std::function<bool(word_t)> const& visit) const {
  // The pass visits a node, its right subtree, then its left subtree; the
  // reverse is the left subtree reversed, the right subtree reversed, then the
  // node: a post-order walk, left before right.
  struct item {
    index i;
    bool children_done;
  };
  std::vector<item> pending{{index_of(top), false}};
  while (!pending.empty()) {
    item const it = pending.back();
    pending.pop_back();
    node const& n = nodes_[it.i];
    if (it.children_done) {
      if (!visit(n.address)) return;
      continue;
    }
    pending.push_back({it.i, true});
    if (n.right != none) pending.push_back({n.right, false});
    if (n.left != none) pending.push_back({n.left, false});
  }
}

}  // namespace disk_tools
