// An in-memory copy of the shape of an ordered map's tree, kept so that the
// balancing pass need not read every node record to learn that most of the
// tree needs no rotation.
//
// For every node in the tree it holds the children and the parent, the
// lengths of the node's left and right spines (the nodes met following only
// left, or only right, links from it, itself included) and whether its
// subtree holds an uneven node, one whose spines differ by two or more. A pass
// rotates only at uneven nodes, so it may skip any subtree without one.
//
// The file stays the only truth: the copy is read from the node records, and
// every change of links the map makes (a new leaf, a rotation, a node taken
// out) is made in the copy too. It knows only links; pairs and counts are
// read from the file when needed.
//
// The copy costs about 40 bytes a node beside the node's record in the file
// (some 580 bytes for the drivers' maps): the nodes sit in blocks of a fixed
// size, so the copy grows a block at a time, never holding an old and a new
// array at once as a doubling vector does, and the table that finds a node by
// its address holds only the node's index (the address is the node's own).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"

namespace disk_tools {

class map_shape {
 public:
  // Reads the tree under root (node heads only) from s, where each node record
  // is record_size bytes long. Throws "corrupt database file..." when a link
  // leads outside the file or back to a node already met.
  void build(io_tools::bfstream& s, word_t root, std::size_t record_size);
  // Forgets the tree; built() is false until the next build.
  void clear();
  bool built() const { return root_ != none; }
  word_t root() const { return built() ? nodes(root_).address : no_address; }
  std::size_t node_count() const { return count_; }

  // Questions about the node at address at, which must be in the tree.
  word_t left(word_t at) const { return address_of(node_at(at).left); }
  word_t right(word_t at) const { return address_of(node_at(at).right); }
  word_t parent(word_t at) const { return address_of(node_at(at).parent); }
  int left_count(word_t at) const { return node_at(at).left_count; }
  int right_count(word_t at) const { return node_at(at).right_count; }
  // Whether the node's spines differ by two or more.
  bool uneven(word_t at) const { return is_uneven(node_at(at)); }
  // Whether the node or any node below it is uneven.
  bool uneven_below(word_t at) const { return node_at(at).uneven_below; }

  // A new leaf under parent, on its left or its right; false (and nothing
  // changed) when parent is not in the tree, or leaf already is or is no
  // address.
  bool add_leaf(word_t parent, word_t leaf, bool on_left);

  // Takes the node at `at`, which has one child at most, out of the tree: the
  // child, if any, takes its place. False (and nothing changed) when at is
  // not in the tree or has two children.
  bool remove(word_t at);
  // The node at `from` now lives at `to` (erase moves records); false when
  // from is not in the tree, or to already is or is no address.
  bool rename(word_t from, word_t to);

  // Makes the rotation at `at` that d_map_node makes (from_left: lifting the
  // left child; twice: a double rotation) in the copy alone, without
  // reading the heads it rewrote, and brings the spine lengths and marks up
  // to date.
  void rotate(word_t at, bool from_left, bool twice);

  // Calls visit with the address of every node of the subtree at top, in the
  // reverse of the order in which the balancing pass visits them (the pass
  // takes a node, then its right subtree, then its left one), until visit
  // returns false.
  void for_each_in_reverse_visit(word_t top, std::function<bool(word_t)> const& visit) const;

 private:
  using index = std::int32_t;
  static constexpr index none = -1;

  struct node {
    word_t address;
    index left = none;
    index right = none;
    index parent = none;
    int left_count = 1;
    int right_count = 1;
    bool uneven_below = false;
  };

  static bool is_uneven(node const& n) {
    return n.left_count - n.right_count >= 2 || n.right_count - n.left_count >= 2;
  }
  node const& node_at(word_t at) const;
  index index_of(word_t at) const;
  word_t address_of(index i) const { return i == none ? no_address : nodes(i).address; }
  index add(word_t address);

  // The node store: blocks of block_nodes nodes each (64 KiB, well below the
  // size from which the C library maps blocks of their own), so that a freed
  // block is reused whole by the next.
  static constexpr unsigned block_shift = 11;
  static constexpr std::size_t block_nodes = std::size_t{1} << block_shift;
  node& nodes(index i) { return blocks_[static_cast<std::size_t>(i) >> block_shift][i & mask()]; }
  node const& nodes(index i) const {
    return blocks_[static_cast<std::size_t>(i) >> block_shift][i & mask()];
  }
  static std::size_t mask() { return block_nodes - 1; }
  // Appends n at index count_, starting a block when the last one is full.
  index push_node(node const& n);
  // Drops the last node, and a block left empty unless it is the only spare.
  void pop_node();

  // The table from addresses to indexes: open addressing with linear
  // probing over slots holding an index (none: empty), at most half full. A
  // slot names its key only through nodes(index).address, so a node's
  // address must be set before it enters the table and stay until it leaves.
  std::size_t home(word_t address) const;
  // The slot holding the node of address, or the empty slot that ends its
  // run when there is none.
  std::size_t slot_of(word_t address) const;
  index const* find(word_t address) const;
  // Enters node i under its address, which must be absent.
  void enter(index i);
  // Takes address out of the table; its node must still bear it.
  void leave(word_t address);
  void rehash(std::size_t slots);
  // Recomputes the spine lengths and the mark of node i from its children;
  // true when any of them changed.
  bool recompute(index i);
  // Recomputes node i and then its ancestors, as far as anything changes.
  void recompute_upwards(index i);
  // Recomputes the nodes whose links changed (changed_), children first,
  // then what lies above them.
  void settle();

  std::vector<std::unique_ptr<node[]>> blocks_;
  std::size_t count_ = 0;
  std::vector<index> slots_;
  unsigned shift_ = 64;
  index root_ = none;
  // Scratch lists of rotate and settle.
  std::vector<index> changed_;
  std::vector<std::pair<index, bool>> settle_pending_;
};

}  // namespace disk_tools
