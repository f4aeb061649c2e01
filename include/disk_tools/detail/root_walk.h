// Every block a root owns, found by the root's recorded kind: what removing a
// root frees and what compaction copies. For each block the walk also says
// which of its words hold addresses (of other blocks, of a root slot, or -1),
// since compaction moves blocks and must re-aim those words.
//
//   kind               blocks owned                      address words in each
//   var<T>             the value block                   none
//   list<T>            header, sentinel, nodes, values   header 0; sentinel and
//                                                        nodes 0, 8, 16 (nodes 24)
//   list<list<U>>      as list<T>, and for each inner    value 0 (the handle); the
//                      list kept in a block of its own:  handle block 0; the inner
//                      the handle block and the inner    list as a list<U>
//                      list (one kept in a root slot
//                      belongs to that root)
//   vector<T>          header, the values it counts      slots 16 + 8 i, i < count
//   hashmap<K,V>       header, one entry per key         buckets 16 + 8 b; entry 0
//                      (a slot table: its one block)     none
//   map<K,V>           header, nodes, string blocks      header 8, 16; node 0, 8,
//                                                        16, 32, 40 and its string
//                                                        slots up to its count
//   ordered<K,V>       header, nodes, long strings'      as map<K,V>, and in each
//                      blocks, codec values' blocks,     used slot a long string's
//                      lists' handle blocks and each     block word (field 32), a
//                      list as a list<U>                 codec value's or a list
//                                                        handle's word; handle 0
//
// A block reached twice (an inner list held twice, a string a map names as
// key and value) is visited once; a walk with agreement refuses any other
// block met twice as damage. Every walk is bounded by what the file can
// hold and every address is checked before it is followed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"

namespace disk_tools {

// A kind descriptor taken apart: "map<string,list<int>>" is the word "map"
// with the arguments "string" and "list<int>".
struct kind_tree {
  std::string word;
  std::vector<kind_tree> args;

  // Throws "unknown root kind..." for text that is no descriptor.
  static kind_tree parse(std::string const& text);
};

// Throws "unknown root kind..." unless kind names a container a walk of this
// release can follow, whatever it holds: a kind recorded for a root that a
// walk could not follow would keep the root from being removed or compacted.
void check_walkable(std::string const& kind);

// Whether a root that records kind recorded can be opened as wanted: the
// same text, or wanted as files written before the typed map's words of the
// user's own carried their slot's shape (root_kind.h) recorded it.
bool same_kind(std::string const& recorded, std::string const& wanted);

struct owned_block {
  word_t address = no_address;
  // Offsets in the block of the words that hold addresses, and a run of
  // run_words such words from run_offset on (a table of slots or buckets).
  std::vector<std::size_t> links;
  std::size_t run_offset = 0;
  word_t run_words = 0;
  // The bytes the block's own length word says it holds (0 when its kind
  // keeps none): a block in use is at least that long.
  word_t extent = 0;
};

// Whether the container at top (what a root's slot holds) can be of the
// container kind named by word ("list", "vector", "hashmap", "map"; "var"
// always can), judged from its first records: for roots that record no kind.
// Never false for a sound container of that kind; true does not prove it is
// one.
bool could_hold(io_tools::bfstream& s, std::string const& word, word_t top);

class root_walker {
 public:
  using visitor = std::function<void(owned_block const&)>;

  // With agreement, a walk also refuses ("corrupt database file...") counts
  // and links that disagree with the records it follows (a list's or hash
  // map's count, a map's size, a list's prev links, a map's tree links):
  // damage that does not keep its blocks from being found, which removing
  // the root may ignore.
  explicit root_walker(io_tools::bfstream& s, bool agreement = true)
      : s_(s), agreement_(agreement) {}

  // Visits the blocks of the root of kind whose slot holds top (nothing when
  // top is -1), each block once over all the walks of this walker. Throws
  // "corrupt database file..." for records that cannot be followed, and a
  // message naming the kind for one it does not know how to walk.
  void walk(std::string const& kind, word_t top, visitor const& visit);
  // Visits the blocks one element of a list of lists owns, list_kind being
  // the list's kind (list<list<U>>) and value the element's value block: the
  // value block, and the inner list with everything in it, unless it is kept
  // in a root slot (it belongs to that root). Blocks seen before by this
  // walker are not visited again: an inner list that is an element twice is
  // found once.
  void walk_element(std::string const& list_kind, word_t value, visitor const& visit);
  // With agreement, the block the last walk refused because two records own
  // it (no_address when it refused none).
  word_t named_twice() const { return named_twice_; }
  // The handle blocks of the inner lists met as elements more than once, in
  // all the walks so far: erasing one such element frees the list under the
  // others.
  std::vector<word_t> const& held_twice() const { return held_twice_; }

 private:
  void walk_kind(kind_tree const& kind, word_t top);
  void walk_list(kind_tree const& element, word_t header);
  void walk_inner_list(kind_tree const& element, word_t value);
  void walk_vector(kind_tree const& element, word_t header);
  // A map's container value (kind list<T> or vector<T>): its handle block,
  // whose first word names the container's header, and the container.
  void walk_nested(kind_tree const& kind, word_t handle);
  void walk_hashmap(kind_tree const& kind, word_t header);
  void walk_map(kind_tree const& kind, word_t header);
  void walk_typed_map(kind_tree const& kind, word_t header);
  // Visits the block at address unless it was visited before; false then. With
  // agreement, a block met again is damage unless it may be shared.
  bool take(word_t address, std::vector<std::size_t> links = {}, std::size_t run_offset = 0,
            word_t run_words = 0, word_t extent = 0, bool shared = false);
  // Visits the value block at address of the element kind, with the extent
  // its length word gives where it has one (strings and codec values).
  bool take_value(kind_tree const& element, word_t address);
  // The most records of size bytes the file can hold: the bound of a walk.
  word_t most(std::size_t size) const;

  io_tools::bfstream& s_;
  bool const agreement_;
  visitor const* visit_ = nullptr;
  std::unordered_set<word_t> seen_;
  word_t named_twice_ = no_address;
  std::vector<word_t> held_twice_;
};

}  // namespace disk_tools
