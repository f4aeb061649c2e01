#include "disk_tools/detail/root_walk.h"

#include <algorithm>

#include "disk_tools/detail/directory.h"
#include "disk_tools/detail/hashmap_records.h"
#include "disk_tools/detail/list_records.h"
#include "disk_tools/detail/map_records.h"
#include "disk_tools/detail/typed_map_records.h"
#include "disk_tools/detail/vector_header.h"

namespace disk_tools {

namespace {

error unknown_kind(std::string const& text) {
  std::string const message = "unknown root kind \"" + text + "\"...";
  return error(errc::wrong_kind, message.c_str());
}

// Parses one descriptor from text at pos.
kind_tree parse_at(std::string const& text, std::size_t& pos, int depth) {
  if (depth > 32) throw unknown_kind(text);
  kind_tree t;
  while (pos < text.size() && text[pos] != '<' && text[pos] != ',' && text[pos] != '>') {
    t.word += text[pos++];
  }
  if (t.word.empty()) throw unknown_kind(text);
  if (pos < text.size() && text[pos] == '<') {
    do {
      ++pos;
      t.args.push_back(parse_at(text, pos, depth + 1));
    } while (pos < text.size() && text[pos] == ',');
    if (pos >= text.size() || text[pos] != '>') throw unknown_kind(text);
    ++pos;
  }
  return t;
}

std::string text_of(kind_tree const& t) {
  std::string out = t.word;
  for (std::size_t i = 0; i < t.args.size(); ++i) out += (i ? "," : "<") + text_of(t.args[i]);
  return t.args.empty() ? out : out + ">";
}

// Bytes a key or value takes in a map node's slot: the map keeps numbers in
// place and strings as the address of their block.
std::size_t map_field_width(kind_tree const& t) {
  if (t.word == "unsigned" && t.args.empty()) return map_slot_field<unsigned>::width;
  if (t.word == "string" && t.args.empty()) return map_slot_field<d_ref<std::string>>::width;
  throw unknown_kind(text_of(t));
}

bool is_string(kind_tree const& t) {
  return t.word == "string" && t.args.empty();
}

// How the typed map holds a key or value in a slot (typed_map_records.h).
enum class typed_field { plain, text, block, container };

// Whether a map's values are containers kept by their handle blocks (a list
// or a vector of one element type).
bool is_container(kind_tree const& t) {
  bool const container = t.word == "list" || t.word == "vector";
  if (container && t.args.size() != 1) throw unknown_kind(text_of(t));
  return container;
}

struct typed_field_shape {
  typed_field how;
  std::size_t width;
};

// The width of a plain type named by its word, 0 for none.
std::size_t plain_width(kind_tree const& t) {
  static std::pair<char const*, std::size_t> const words[] = {
      {"bool", sizeof(bool)},           {"char", 1},
      {"signed char", 1},               {"unsigned char", 1},
      {"short", sizeof(short)},         {"unsigned short", sizeof(short)},
      {"int", sizeof(int)},             {"unsigned", sizeof(unsigned)},
      {"long", sizeof(long)},           {"unsigned long", sizeof(long)},
      {"long long", sizeof(long long)}, {"unsigned long long", sizeof(long long)},
      {"float", sizeof(float)},         {"double", sizeof(double)},
      {"long double", sizeof(long double)}};
  if (!t.args.empty()) return 0;
  for (auto const& [word, width] : words) {
    if (t.word == word) return width;
  }
  return 0;
}

// Whether t is one of the words that say how a slot holds a value of the
// user's own type: codec, or bytes<N>.
bool is_shape(kind_tree const& t) {
  return (t.word == "codec" && t.args.empty()) || (t.word == "bytes" && t.args.size() == 1);
}

typed_field_shape typed_shape(kind_tree const& t) {
  if (is_string(t)) return {typed_field::text, map_slot_field<map_text_slot>::width};
  if (t.word == "codec" && t.args.empty()) return {typed_field::block, word_size};
  if (is_container(t)) return {typed_field::container, word_size};
  if (t.word == "bytes" && t.args.size() == 1 && t.args[0].args.empty()) {
    std::string const& n = t.args[0].word;
    if (!n.empty() && n.size() < 6 && n.find_first_not_of("0123456789") == std::string::npos &&
        std::stoul(n) > 0) {
      return {typed_field::plain, std::stoul(n)};
    }
  }
  if (std::size_t const width = plain_width(t)) return {typed_field::plain, width};
  // A word of the user's own, with its slot's shape last (root_kind.h).
  if (!t.args.empty() && is_shape(t.args.back())) return typed_shape(t.args.back());
  throw unknown_kind(text_of(t));
}

}  // namespace

namespace {

bool inside(io_tools::bfstream const& s, word_t address, word_t width) {
  return is_block_address(address) && address <= s.size() - width;
}

bool could_be_list(io_tools::bfstream& s, word_t top) {
  list_header const h = list_header::read(s, top);
  list_sentinel::read(s, h.sentinel);  // throws unless it is one
  return true;
}

bool could_be_vector(io_tools::bfstream& s, word_t top) {
  vector_header const h = vector_header::read(s, top);
  for (word_t v : vector_header::read_slots(s, top, 0, std::min<word_t>(h.count, 8))) {
    if (!inside(s, v, 0)) return false;
  }
  return true;
}

bool could_be_hashmap(io_tools::bfstream& s, word_t top) {
  hashmap_header const h = hashmap_header::read(s, top);
  if (h.slots) return true;  // one block, checked whole by the read
  for (word_t e : hashmap_header::read_heads(s, top, 0, std::min<word_t>(h.buckets, 8))) {
    if (e != no_address) hashmap_entry::read(s, e, hashmap_entry::part::key_only);
  }
  return true;
}

bool could_be_map(io_tools::bfstream& s, word_t top) {
  map_header const h = map_header::read(s, top);
  if (!h.initialised()) return h.root == no_address;
  // A node names itself; its head is the same for every kind of map.
  if (!inside(s, h.root, static_cast<word_t>(map_node_head::head_size))) return false;
  word_t const own = s.read_word(h.root + static_cast<word_t>(map_node_head::address_offset));
  word_t const count = s.read_word(h.root + static_cast<word_t>(map_node_head::count_offset));
  return own == h.root && count >= 0 && count <= map_node_head::max_pairs &&
         inside(s, h.chain_head, static_cast<word_t>(map_node_head::head_size));
}

}  // namespace

bool could_hold(io_tools::bfstream& s, std::string const& word, word_t top) {
  try {
    if (word == "list") return could_be_list(s, top);
    if (word == "vector") return could_be_vector(s, top);
    if (word == "hashmap") return could_be_hashmap(s, top);
    if (word == "map") return could_be_map(s, top);
    // The typed map always records its kind: a root without a record is not
    // one, whatever its records look like.
    if (word == "ordered") return false;
  } catch (error const&) {
    return false;
  }
  return true;
}

namespace {

// The library's words that take arguments of their own; any other word with
// a shape as its last argument got it as a word of the user's own.
bool takes_arguments(kind_tree const& t) {
  static char const* const words[] = {"bytes", "list", "vector", "map", "var", "hashmap", "ordered"};
  for (char const* w : words) {
    if (t.word == w) return true;
  }
  return false;
}

kind_tree without_shapes(kind_tree t) {
  if (!takes_arguments(t) && !t.args.empty() && is_shape(t.args.back())) t.args.pop_back();
  for (kind_tree& a : t.args) a = without_shapes(a);
  return t;
}

}  // namespace

bool same_kind(std::string const& recorded, std::string const& wanted) {
  if (recorded == wanted) return true;
  try {
    return recorded == text_of(without_shapes(kind_tree::parse(wanted)));
  } catch (error const&) {
    return false;
  }
}

kind_tree kind_tree::parse(std::string const& text) {
  std::size_t pos = 0;
  kind_tree t = parse_at(text, pos, 0);
  if (pos != text.size()) throw unknown_kind(text);
  return t;
}

void check_walkable(std::string const& kind) {
  kind_tree const t = kind_tree::parse(kind);
  std::size_t const args = t.args.size();
  bool const one = args == 1 && (t.word == "var" || t.word == "list" || t.word == "vector");
  bool const two = args == 2 && (t.word == "hashmap" || t.word == "map" || t.word == "ordered");
  if (!one && !two) throw unknown_kind(kind);
  // What a walk asks of the element types once the container holds any.
  if (t.word == "list" && t.args[0].word == "list") is_container(t.args[0]);
  if (t.word == "hashmap") is_container(t.args[1]);
  if (t.word == "map") {
    for (kind_tree const& field : t.args) map_field_width(field);
  }
  if (t.word == "ordered") {
    for (kind_tree const& field : t.args) typed_shape(field);
  }
}

void root_walker::walk(std::string const& kind, word_t top, visitor const& visit) {
  kind_tree const tree = kind_tree::parse(kind);
  named_twice_ = no_address;
  if (top == no_address) return;
  visit_ = &visit;
  walk_kind(tree, top);
  visit_ = nullptr;
}

void root_walker::walk_element(std::string const& list_kind, word_t value, visitor const& visit) {
  kind_tree const tree = kind_tree::parse(list_kind);
  bool const of_lists = tree.word == "list" && tree.args.size() == 1 &&
                        tree.args[0].word == "list" && tree.args[0].args.size() == 1;
  if (!of_lists) throw unknown_kind(list_kind);
  visit_ = &visit;
  walk_inner_list(tree.args[0].args[0], value);
  visit_ = nullptr;
}

word_t root_walker::most(std::size_t size) const {
  return s_.size() / static_cast<word_t>(size) + 1;
}

bool root_walker::take(word_t address, std::vector<std::size_t> links, std::size_t run_offset,
                       word_t run_words, word_t extent, bool shared) {
  if (!is_block_address(address) || address >= s_.size()) throw io_tools::corrupt_file(s_);
  if (!seen_.insert(address).second) {
    // Two owners would both free it.
    if (agreement_ && !shared) {
      named_twice_ = address;
      throw io_tools::corrupt_file(s_);
    }
    return false;
  }
  owned_block b;
  b.address = address;
  b.links = std::move(links);
  b.run_offset = run_offset;
  b.run_words = run_words;
  b.extent = extent;
  (*visit_)(b);
  return true;
}

bool root_walker::take_value(kind_tree const& element, word_t address) {
  bool const text = is_string(element);
  if (!text && !(element.word == "codec" && element.args.empty())) return take(address);
  if (!is_block_address(address) || address >= s_.size()) throw io_tools::corrupt_file(s_);
  // A string counts its terminating 0; a codec value may be empty.
  word_t const length = s_.read_word(address);
  if (length < (text ? 1 : 0) || length > s_.size()) throw io_tools::corrupt_file(s_);
  return take(address, {}, 0, 0, static_cast<word_t>(word_size) + length);
}

void root_walker::walk_kind(kind_tree const& kind, word_t top) {
  std::size_t const args = kind.args.size();
  if (kind.word == "var" && args == 1) {
    take_value(kind.args[0], top);
  } else if (kind.word == "list" && args == 1) {
    walk_list(kind.args[0], top);
  } else if (kind.word == "vector" && args == 1) {
    walk_vector(kind.args[0], top);
  } else if (kind.word == "hashmap" && args == 2) {
    walk_hashmap(kind, top);
  } else if (kind.word == "map" && args == 2) {
    walk_map(kind, top);
  } else if (kind.word == "ordered" && args == 2) {
    walk_typed_map(kind, top);
  } else {
    throw unknown_kind(text_of(kind));
  }
}

void root_walker::walk_list(kind_tree const& element, word_t header_at) {
  list_header const header = list_header::read(s_, header_at);
  // A handle may name the sentinel itself (its first word is its own
  // address): such a list has no header block.
  bool const bare = header.sentinel == header_at;
  if (!bare && !take(header_at, {list_header::sentinel_offset})) return;
  list_sentinel const sentinel = list_sentinel::read(s_, header.sentinel);
  word_t const s = sentinel.links.own;
  if (!take(s, {list_node::own_offset, list_node::next_offset, list_node::prev_offset})) return;
  bool const of_lists = element.word == "list";
  word_t steps = 0;
  // Each node's prev names the node before it, the first's the sentinel, and
  // the sentinel's the last node: a walk backwards meets the same nodes.
  word_t before = s;
  for (word_t at = sentinel.links.next; at != s; ++steps) {
    if (steps > most(list_node::record_size)) throw io_tools::corrupt_file(s_);
    list_node const n = list_node::read(s_, at);
    if (n.value == no_address || (agreement_ && n.prev != before)) throw io_tools::corrupt_file(s_);
    before = at;
    take(at, {list_node::own_offset, list_node::next_offset, list_node::prev_offset,
              list_node::value_offset});
    if (of_lists) {
      if (element.args.size() != 1) throw unknown_kind(text_of(element));
      walk_inner_list(element.args[0], n.value);
    } else {
      take_value(element, n.value);
    }
    at = n.next;
  }
  // The count size() gives is the number of nodes.
  if (agreement_ && (steps != sentinel.count || sentinel.links.prev != before)) {
    throw io_tools::corrupt_file(s_);
  }
}

void root_walker::walk_inner_list(kind_tree const& element, word_t value) {
  inner_list_value const v = inner_list_value::read(s_, value);
  take(value, {inner_list_value::handle_offset});
  // A list kept in a root slot belongs to its root; one kept in a block of
  // its own (made by create_list) belongs to the list that holds it. Older
  // releases could leave two elements holding one (a push of it twice, or
  // removing its root): it is walked once, and told.
  if (!is_block_address(v.handle)) return;
  if (!take(v.handle, {0}, 0, 0, 0, true)) {
    held_twice_.push_back(v.handle);
    return;
  }
  word_t const header = s_.read_word(v.handle);
  if (header != no_address) walk_list(element, header);
}

void root_walker::walk_vector(kind_tree const& element, word_t header_at) {
  vector_header const h = vector_header::read(s_, header_at);
  take(header_at, {}, vector_header::slots_offset, h.count);
  for (word_t value : vector_header::read_slots(s_, header_at, 0, h.count)) {
    take_value(element, value);
  }
}

void root_walker::walk_nested(kind_tree const& kind, word_t handle) {
  if (!take(handle, {0})) return;
  word_t const top = s_.read_word(handle);
  if (kind.word == "list") {
    walk_list(kind.args[0], top);
  } else {
    walk_vector(kind.args[0], top);
  }
}

void root_walker::walk_hashmap(kind_tree const& kind, word_t header_at) {
  hashmap_header const h = hashmap_header::read(s_, header_at);
  // A slot table keeps its keys and values in its own block, and no address.
  if (h.slots) {
    take(header_at);
    return;
  }
  take(header_at, {}, hashmap_header::table_offset, h.buckets);
  bool const of_containers = is_container(kind.args[1]);
  word_t const bound = most(hashmap_header::smallest_entry);
  word_t steps = 0;
  for (word_t entry : hashmap_header::read_heads(s_, header_at, 0, h.buckets)) {
    while (entry != no_address) {
      if (++steps > bound) throw io_tools::corrupt_file(s_);
      if (!of_containers) {
        hashmap_entry const e = hashmap_entry::read(s_, entry, hashmap_entry::part::key_only);
        // The entry runs to the end of its value, whose length follows the
        // key and its terminating 0.
        word_t const value_length_at =
            static_cast<word_t>(hashmap_entry::key_offset + e.key.size() + 1);
        word_t const value_length = s_.read_word(entry + value_length_at);
        if (value_length < 1 || value_length > s_.size()) throw io_tools::corrupt_file(s_);
        take(entry, {hashmap_entry::next_offset}, 0, 0,
             value_length_at + static_cast<word_t>(word_size) + value_length);
        entry = e.next;
        continue;
      }
      // A container value is the address of the container's handle block.
      hashmap_entry const e = hashmap_entry::read(s_, entry, hashmap_entry::part::exact);
      if (e.value.size() != sizeof(word_t)) throw io_tools::corrupt_file(s_);
      std::size_t const value_at = hashmap_entry::key_offset + e.key.size() + 1 + sizeof(word_t);
      word_t const handle = s_.read_word(entry + static_cast<word_t>(value_at));
      take(entry, {hashmap_entry::next_offset, value_at}, 0, 0,
           static_cast<word_t>(value_at + word_size));
      walk_nested(kind.args[1], handle);
      entry = e.next;
    }
  }
  // The count size() gives is the number of entries.
  if (agreement_ && steps != h.count) throw io_tools::corrupt_file(s_);
}

namespace {

// What a map's walk along its node chain checks of the tree: the header's
// root and every node's left, right and parent name nodes of the chain (or
// none), and the header's size counts the pairs the nodes hold.
class tree_check {
 public:
  explicit tree_check(map_header const& header) : header_(header) { aimed_.push_back(header.root); }

  void node(word_t at, map_node_head const& head) {
    nodes_.insert(at);
    aimed_.insert(aimed_.end(), {head.left, head.right, head.parent});
    pairs_ += head.count;
  }

  void finish(io_tools::bfstream const& s) const {
    if (header_.root == no_address || pairs_ != header_.size) throw io_tools::corrupt_file(s);
    for (word_t a : aimed_) {
      if (a != no_address && nodes_.count(a) == 0) throw io_tools::corrupt_file(s);
    }
  }

 private:
  map_header const header_;
  std::unordered_set<word_t> nodes_;
  std::vector<word_t> aimed_;
  word_t pairs_ = 0;
};

}  // namespace

void root_walker::walk_map(kind_tree const& kind, word_t header_at) {
  map_header const header = map_header::read(s_, header_at);
  take(header_at, {map_header::root_offset, map_header::chain_head_offset});
  if (!header.initialised()) return;
  tree_check tree(header);
  std::size_t const key_width = map_field_width(kind.args[0]);
  std::size_t const value_width = map_field_width(kind.args[1]);
  std::size_t const slot_width = key_width + value_width;
  std::size_t const record_size =
      map_node_head::head_size + map_node_head::max_pairs * slot_width;
  bool const string_keys = is_string(kind.args[0]);
  bool const string_values = is_string(kind.args[1]);
  word_t steps = 0;
  for (word_t at = header.chain_head; at != no_address; ++steps) {
    if (steps > most(record_size)) throw io_tools::corrupt_file(s_);
    map_node_head const head = map_node_head::read(s_, at, record_size);
    tree.node(at, head);
    std::vector<std::size_t> links = {map_node_head::left_offset, map_node_head::right_offset,
                                      map_node_head::parent_offset, map_node_head::address_offset,
                                      map_node_head::next_offset};
    std::vector<word_t> strings;
    for (word_t i = 0; i < head.count; ++i) {
      std::size_t const slot =
          map_node_head::head_size + static_cast<std::size_t>(i) * slot_width;
      if (string_keys) links.push_back(slot);
      if (string_values) links.push_back(slot + key_width);
    }
    for (std::size_t i = 5; i < links.size(); ++i) {
      strings.push_back(s_.read_word(at + static_cast<word_t>(links[i])));
    }
    take(at, std::move(links));
    // A string may be both a pair's key and its value.
    for (word_t block : strings) {
      if (block != no_address) take(block, {}, 0, 0, 0, true);
    }
    at = head.next;
  }
  if (agreement_) tree.finish(s_);
}

}  // namespace disk_tools

namespace disk_tools {

void root_walker::walk_typed_map(kind_tree const& kind, word_t header_at) {
  map_header const header = map_header::read(s_, header_at);
  take(header_at, {map_header::root_offset, map_header::chain_head_offset});
  if (!header.initialised()) return;
  tree_check tree(header);
  typed_field_shape const fields[] = {typed_shape(kind.args[0]), typed_shape(kind.args[1])};
  std::size_t const slot_width = fields[0].width + fields[1].width;
  std::size_t const record_size = map_node_head::head_size + map_node_head::max_pairs * slot_width;
  word_t steps = 0;
  for (word_t at = header.chain_head; at != no_address; ++steps) {
    if (steps > most(record_size)) throw io_tools::corrupt_file(s_);
    map_node_head const head = map_node_head::read(s_, at, record_size);
    tree.node(at, head);
    std::vector<std::size_t> links = {map_node_head::left_offset, map_node_head::right_offset,
                                      map_node_head::parent_offset, map_node_head::address_offset,
                                      map_node_head::next_offset};
    // What each used slot names: a long string's block, a codec value's
    // block, an inner container's handle block (with the container behind
    // it).
    struct named_block {
      word_t address;
      typed_field how;
      word_t length;  // a long string's, which its block's length word must count
    };
    std::vector<named_block> named;
    for (word_t i = 0; i < head.count; ++i) {
      std::size_t field_at = map_node_head::head_size + static_cast<std::size_t>(i) * slot_width;
      for (typed_field_shape const& f : fields) {
        bool names_block = f.how != typed_field::plain;
        std::size_t word_at = field_at;
        word_t length = 0;
        if (f.how == typed_field::text) {
          // Only a string longer than the slot's room has a block.
          length = s_.read_word(at + static_cast<word_t>(field_at));
          if (length < 0 || length > s_.size()) throw io_tools::corrupt_file(s_);
          names_block = length > static_cast<word_t>(map_text_slot::inline_room);
          word_at = field_at + 8 + map_text_slot::address_at;
        }
        if (names_block) {
          links.push_back(word_at);
          named.push_back({s_.read_word(at + static_cast<word_t>(word_at)), f.how, length});
        }
        field_at += f.width;
      }
    }
    take(at, std::move(links));
    for (named_block const& b : named) {
      if (b.how == typed_field::container) {
        walk_nested(kind.args[1], b.address);
      } else if (b.how == typed_field::text) {
        // The block holds the whole string, counted with a 0 after it.
        if (!is_block_address(b.address) || b.address >= s_.size() ||
            s_.read_word(b.address) != b.length + 1) {
          throw io_tools::corrupt_file(s_);
        }
        take(b.address, {}, 0, 0, static_cast<word_t>(word_size) + b.length + 1);
      } else {
        take_value(kind_tree{"codec", {}}, b.address);
      }
    }
    at = head.next;
  }
  if (agreement_) tree.finish(s_);
}

}  // namespace disk_tools
