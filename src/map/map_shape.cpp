#include "disk_tools/detail/map_shape.h"

#include <algorithm>

#include "disk_tools/detail/map_records.h"
#include "disk_tools/error.h"

namespace disk_tools {

void map_shape::clear() {
  blocks_.clear();
  count_ = 0;
  slots_.clear();
  shift_ = 64;
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
    map_node_head const h = map_node_head::read(s, nodes(i).address, record_size);
    for (auto [link, child] : {std::pair{h.left, &node::left}, std::pair{h.right, &node::right}}) {
      if (link == no_address) continue;
      // A node met twice means the links form a cycle or join: no tree.
      if (find(link)) throw io_tools::corrupt_file(s);
      index const c = add(link);
      nodes(i).*child = c;
      nodes(c).parent = i;
      pending.push_back(c);
    }
  }
  root_ = 0;
  for (index i = static_cast<index>(count_) - 1; i >= 0; --i) recompute(i);
}

map_shape::index map_shape::add(word_t address) {
  index const i = push_node(node{address});
  enter(i);
  return i;
}

map_shape::index map_shape::push_node(node const& n) {
  // Indexes are 32-bit: a tree of more nodes than that is no file of ours.
  if (count_ >= static_cast<std::size_t>(INT32_MAX)) {
    throw error(errc::corrupt, io_tools::corrupt_file_message);
  }
  if (count_ == blocks_.size() * block_nodes) blocks_.emplace_back(new node[block_nodes]);
  auto const i = static_cast<index>(count_++);
  nodes(i) = n;
  return i;
}

void map_shape::pop_node() {
  --count_;
  // One empty block stays as a spare, so that a node added and taken out by
  // turns at a block's edge does not free and make a block each time.
  if (blocks_.size() * block_nodes >= count_ + 2 * block_nodes) blocks_.pop_back();
}

std::size_t map_shape::home(word_t address) const {
  // Fibonacci hashing: addresses share their low bits (records are aligned
  // alike), the high bits of the product do not.
  return static_cast<std::size_t>((static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15ull) >>
                                  shift_) &
         (slots_.size() - 1);
}

std::size_t map_shape::slot_of(word_t address) const {
  std::size_t const mask = slots_.size() - 1;
  std::size_t i = home(address);
  while (slots_[i] != none && nodes(slots_[i]).address != address) i = (i + 1) & mask;
  return i;
}

map_shape::index const* map_shape::find(word_t address) const {
  if (slots_.empty() || address == no_address) return nullptr;
  index const& slot = slots_[slot_of(address)];
  return slot == none ? nullptr : &slot;
}

void map_shape::enter(index i) {
  if (2 * count_ > slots_.size()) rehash(std::max<std::size_t>(16, 2 * slots_.size()));
  slots_[slot_of(nodes(i).address)] = i;
}

void map_shape::leave(word_t address) {
  std::size_t const mask = slots_.size() - 1;
  std::size_t hole = slot_of(address);
  // Backward shift: every later entry of the run whose home does not lie
  // between the hole and itself moves into the hole, so no marks of erased
  // entries pile up.
  for (std::size_t j = (hole + 1) & mask; slots_[j] != none; j = (j + 1) & mask) {
    std::size_t const h = home(nodes(slots_[j]).address);
    bool const stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
    if (stays) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole] = none;
}

void map_shape::rehash(std::size_t slots) {
  // The old table is not needed: every node names its own address, so the
  // new one is filled from the nodes, the one entering included.
  slots_.assign(slots, none);
  shift_ = 64;
  for (std::size_t c = slots; c > 1; c /= 2) --shift_;
  for (std::size_t i = 0; i < count_; ++i) {
    auto const at = static_cast<index>(i);
    slots_[slot_of(nodes(at).address)] = at;
  }
}

map_shape::index map_shape::index_of(word_t at) const {
  index const* const found = find(at);
  // The map asks only about nodes of its tree; anything else means the copy
  // and the file disagree.
  if (!found) throw error(errc::corrupt, io_tools::corrupt_file_message);
  return *found;
}

map_shape::node const& map_shape::node_at(word_t at) const {
  return nodes(index_of(at));
}

bool map_shape::recompute(index i) {
  node& n = nodes(i);
  node const before = n;
  n.left_count = n.left == none ? 1 : nodes(n.left).left_count + 1;
  n.right_count = n.right == none ? 1 : nodes(n.right).right_count + 1;
  n.uneven_below = is_uneven(n) || (n.left != none && nodes(n.left).uneven_below) ||
                   (n.right != none && nodes(n.right).uneven_below);
  return n.left_count != before.left_count || n.right_count != before.right_count ||
         n.uneven_below != before.uneven_below;
}

void map_shape::recompute_upwards(index i) {
  // Above a node whose numbers stayed the same nothing can change: each
  // ancestor depends only on its two children.
  for (std::size_t steps = 0; i != none && recompute(i); ++steps) {
    if (steps > count_) throw error(errc::corrupt, io_tools::corrupt_file_message);
    i = nodes(i).parent;
  }
}

bool map_shape::add_leaf(word_t parent, word_t leaf, bool on_left) {
  index const* const found = find(parent);
  if (!found || leaf == no_address || find(leaf)) return false;
  index const p = *found;
  index const c = add(leaf);
  (on_left ? nodes(p).left : nodes(p).right) = c;
  nodes(c).parent = p;
  recompute_upwards(p);
  return true;
}

bool map_shape::remove(word_t at) {
  index const* const found = find(at);
  if (!found) return false;
  index const i = *found;
  node const gone = nodes(i);
  if (gone.left != none && gone.right != none) return false;
  index const child = gone.left != none ? gone.left : gone.right;
  if (child != none) nodes(child).parent = gone.parent;
  if (gone.parent == none) {
    root_ = child;
  } else {
    node& p = nodes(gone.parent);
    (p.left == i ? p.left : p.right) = child;
  }
  leave(at);
  // The last node fills the hole, so the table stays dense; whoever named it
  // by index is told its new one.
  index const last = static_cast<index>(count_) - 1;
  index parent = gone.parent;
  if (i != last) {
    node const& moved = nodes(i) = nodes(last);
    if (moved.parent == none) {
      root_ = i;
    } else {
      node& p = nodes(moved.parent);
      (p.left == last ? p.left : p.right) = i;
    }
    if (moved.left != none) nodes(moved.left).parent = i;
    if (moved.right != none) nodes(moved.right).parent = i;
    slots_[slot_of(moved.address)] = i;
    if (parent == last) parent = i;
  }
  pop_node();
  // A tree emptied this way is no tree: built() turns false.
  if (count_ == 0) root_ = none;
  recompute_upwards(parent);
  return true;
}

bool map_shape::rename(word_t from, word_t to) {
  index const* const found = find(from);
  if (!found || to == no_address || find(to)) return false;
  index const i = *found;
  leave(from);
  nodes(i).address = to;
  slots_[slot_of(to)] = i;
  return true;
}

void map_shape::rotate(word_t at, bool from_left, bool twice) {
  // The links d_map_node's rotations write, set here as well: x's child c
  // on the `in` side (and for a double rotation c's child g on that side)
  // comes up, and the subtrees on their `out` sides move down one place.
  index const x = index_of(at);
  auto const in = [from_left](node& n) -> index& { return from_left ? n.left : n.right; };
  auto const out = [from_left](node& n) -> index& { return from_left ? n.right : n.left; };
  index const c = in(nodes(x));
  if (c == none) throw error(errc::corrupt, io_tools::corrupt_file_message);
  index const g = twice ? in(nodes(c)) : none;
  if (twice && g == none) throw error(errc::corrupt, io_tools::corrupt_file_message);
  index const top = twice ? g : c;
  index const parent = nodes(x).parent;
  // The scratch lists keep their room from one rotation to the next: a
  // balance run makes thousands of rotations.
  std::vector<index>& changed = changed_;
  changed.assign({x, c});
  if (parent == none) {
    root_ = top;
  } else {
    node& p = nodes(parent);
    (p.left == x ? p.left : p.right) = top;
    changed.push_back(parent);
  }
  nodes(top).parent = parent;
  auto const hang = [&](index child, index under) {
    if (child == none) return;
    nodes(child).parent = under;
    changed.push_back(child);
  };
  if (twice) {
    index const to_c = out(nodes(g));
    in(nodes(c)) = to_c;
    hang(to_c, c);
    out(nodes(g)) = c;
    nodes(c).parent = g;
    changed.push_back(g);
  }
  index const to_x = out(nodes(c));
  in(nodes(x)) = to_x;
  hang(to_x, x);
  out(nodes(c)) = x;
  nodes(x).parent = c;
  settle();
}

void map_shape::settle() {
  std::vector<index> const& changed = changed_;
  // The rewritten nodes hang together below a top (the parent of the rotated
  // subtree, or its new top at the root): recompute them children first, then
  // whatever lies above, as far as anything changes.
  auto const was_changed = [&changed](index i) {
    return i != none && std::find(changed.begin(), changed.end(), i) != changed.end();
  };
  bool met_top = false;
  for (index top : changed) {
    if (was_changed(nodes(top).parent)) continue;
    met_top = true;
    std::vector<std::pair<index, bool>>& pending = settle_pending_;
    pending.assign({{top, false}});
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
      for (index c : {nodes(i).left, nodes(i).right}) {
        if (was_changed(c)) pending.push_back({c, false});
      }
    }
    recompute_upwards(nodes(top).parent);
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
    node const& n = nodes(it.i);
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
