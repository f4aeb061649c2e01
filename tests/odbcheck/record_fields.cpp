#include "record_fields.h"

#include <map>
#include <set>

#include "coding.h"
#include "d_alloc_node.h"
#include "directory.h"
#include "hashmap_records.h"
#include "list_records.h"
#include "map_records.h"
#include "vector_header.h"

namespace test_support {

namespace {

using disk_tools::no_address;
using disk_tools::word_t;

enum class element { text, number, inner_list };

class field_finder {
 public:
  explicit field_finder(std::vector<char> const& bytes)
      : bytes_(bytes), size_(static_cast<word_t>(bytes.size())) {}

  std::vector<record_field> run() {
    if (size_ < disk_tools::database_header_size) return fields_;
    allocator_list("allocation list record", disk_tools::alloc_list_head);
    allocator_list("free list record", disk_tools::free_list_head);
    directory();
    return fields_;
  }

 private:
  using dir = disk_tools::directory_entry;

  bool has(word_t at, word_t n) const { return at >= 0 && n >= 0 && at <= size_ - n; }
  word_t word(word_t at) const {
    return has(at, 8) ? disk_tools::decode_word(&bytes_[static_cast<std::size_t>(at)]) : no_address;
  }
  // Counts and walks are bounded by what the file could hold.
  word_t most(word_t record_size) const { return size_ / record_size + 1; }

  void add(std::string kind, word_t offset, std::size_t width, word_t own = -1, word_t first = -1) {
    if (has(offset, static_cast<word_t>(width))) {
      fields_.push_back({std::move(kind), static_cast<std::size_t>(offset), width, own, first});
    }
  }

  void allocator_list(std::string const& kind, word_t head_word) {
    using node = disk_tools::d_alloc_node;
    add(kind == "free list record" ? "allocator: free list head"
                                   : "allocator: allocation list head",
        head_word, 8);
    word_t const first = word(head_word);
    std::set<word_t> seen;
    for (word_t at = first; has(at, node::record_size) && seen.insert(at).second;
         at = word(at + node::next_offset)) {
      add(kind + ": own address", at + node::own_offset, 8);
      add(kind + ": data address", at + node::data_offset, 8);
      add(kind + ": size", at + node::size_offset, 8);
      add(kind + ": next", at + node::next_offset, 8, at, first);
      add(kind + ": free flag", at + node::free_offset, 1);
    }
  }

  void directory() {
    bool free_seen = false;
    for (int i = 0; i < dir::entry_count; ++i) {
      word_t const entry = dir::address_of(i);
      auto const e = dir::decode(&bytes_[static_cast<std::size_t>(entry)]);
      word_t const slot = entry + static_cast<word_t>(dir::slot_offset);
      if (e.is_free()) {
        if (!free_seen) add("directory: free entry's name", entry, 1);
        free_seen = true;
        continue;
      }
      add("directory: name", entry, 1);
      add("directory: name's last byte", entry + static_cast<word_t>(dir::max_name_length), 1);
      add("directory: slot", slot, 8);
      root(e.name, slot);
    }
  }

  // The roots the drivers keep, by name.
  void root(std::string const& name, word_t slot) {
    if (name == "the_list") list(slot, element::text);
    if (name == "ll") list(slot, element::inner_list);
    if (name == "htable") hash_map(slot);
    if (name == "str_vec") vector(slot);
    if (name == "var2") text_value("variable", word(slot));
    if (name == "bt") ordered_map(slot, true);
    if (name == "btree") ordered_map(slot, false);
  }

  void text_value(std::string const& owner, word_t at) {
    if (at != no_address) add(owner + " text value: length", at, 8);
  }

  void list(word_t handle, element kind) {
    using node = disk_tools::list_node;
    using sentinel = disk_tools::list_sentinel;
    if (!lists_.insert(handle).second) return;
    word_t const header = word(handle);
    if (!has(header, disk_tools::list_header::record_size)) return;
    add("list header: sentinel", header + disk_tools::list_header::sentinel_offset, 8);
    add("list header: count", header + disk_tools::list_header::count_offset, 8);
    word_t const s = word(header);
    if (!has(s, sentinel::record_size)) return;
    add("list sentinel: own address", s + node::own_offset, 8);
    add("list sentinel: next", s + node::next_offset, 8, s, s);
    add("list sentinel: prev", s + node::prev_offset, 8, s, s);
    add("list sentinel: value", s + node::value_offset, 8);
    add("list sentinel: count", s + sentinel::count_offset, 8);
    word_t const first = word(s + node::next_offset);
    std::set<word_t> seen;
    for (word_t at = first; at != s && has(at, node::record_size) && seen.insert(at).second;
         at = word(at + node::next_offset)) {
      add("list node: own address", at + node::own_offset, 8);
      add("list node: next", at + node::next_offset, 8, at, first);
      add("list node: prev", at + node::prev_offset, 8, at, first);
      add("list node: value", at + node::value_offset, 8);
      word_t const value = word(at + node::value_offset);
      if (kind == element::text) text_value("list element", value);
      if (kind == element::number) add("list element int value", value, 4);
      if (kind == element::inner_list) {
        using inner = disk_tools::inner_list_value;
        add("inner list value: handle", value + inner::handle_offset, 8);
        add("inner list value: count", value + inner::count_offset, 8);
        word_t const inner_handle = word(value + inner::handle_offset);
        add("inner list handle cell", inner_handle, 8);
        list(inner_handle, element::number);
      }
    }
  }

  void hash_map(word_t slot) {
    using header = disk_tools::hashmap_header;
    using entry = disk_tools::hashmap_entry;
    word_t const h = word(slot);
    if (!has(h, header::fixed_size)) return;
    add("hash map header: count", h + header::count_offset, 8);
    add("hash map header: buckets", h + header::buckets_offset, 8);
    word_t const buckets = word(h + header::buckets_offset);
    for (word_t b = 0; b < buckets && b < most(8); ++b) {
      word_t const bucket = header::bucket_address(h, b);
      word_t const first = word(bucket);
      if (first == no_address) continue;
      add("hash map bucket", bucket, 8);
      std::set<word_t> seen;
      for (word_t at = first; has(at, entry::fixed_size) && seen.insert(at).second;
           at = word(at + entry::next_offset)) {
        add("hash map entry: next", at + entry::next_offset, 8, at, first);
        add("hash map entry: key length", at + entry::key_length_offset, 8);
        add("hash map entry: key's first byte", at + entry::key_offset, 1);
        word_t const key_length = word(at + entry::key_length_offset);
        if (has(key_length, 0)) {
          add("hash map entry: value length", at + entry::key_offset + key_length, 8);
        }
      }
    }
  }

  void vector(word_t slot) {
    using header = disk_tools::vector_header;
    word_t const h = word(slot);
    if (!has(h, header::fixed_size)) return;
    add("vector header: capacity", h + header::capacity_offset, 8);
    add("vector header: count", h + header::count_offset, 8);
    word_t const count = word(h + header::count_offset);
    for (word_t i = 0; i < count && i < most(8); ++i) {
      word_t const at = header::slot_address(h, i);
      add("vector slot", at, 8);
      text_value("vector element", word(at));
    }
  }

  void ordered_map(word_t slot, bool text_pairs) {
    using header = disk_tools::map_header;
    using node = disk_tools::map_node_head;
    word_t const h = word(slot);
    if (!has(h, header::record_size)) return;
    add("map header: size", h + header::size_offset, 8);
    add("map header: root", h + header::root_offset, 8);
    add("map header: chain head", h + header::chain_head_offset, 8);
    word_t const root = word(h + header::root_offset);
    word_t const chain_head = word(h + header::chain_head_offset);
    word_t const slot_width = text_pairs ? 16 : 8;
    std::set<word_t> seen;
    for (word_t at = chain_head; has(at, node::head_size) && seen.insert(at).second;
         at = word(at + node::next_offset)) {
      add("map node: left", at + node::left_offset, 8, at, root);
      add("map node: right", at + node::right_offset, 8, at, root);
      add("map node: parent", at + node::parent_offset, 8, at, root);
      add("map node: count", at + node::count_offset, 8);
      add("map node: own address", at + node::address_offset, 8);
      add("map node: next", at + node::next_offset, 8, at, chain_head);
      word_t const count = word(at + node::count_offset);
      for (word_t i = 0; i < count && i < node::max_pairs; ++i) {
        word_t const pair = at + node::head_size + slot_width * i;
        if (text_pairs) {
          add("map node: key slot", pair, 8);
          add("map node: value slot", pair + 8, 8);
          text_value("map key", word(pair));
          text_value("map value", word(pair + 8));
        } else {
          add("map node: unsigned key", pair, 4);
          add("map node: unsigned value", pair + 4, 4);
        }
      }
    }
  }

  std::vector<char> const& bytes_;
  word_t const size_;
  std::set<word_t> lists_;
  std::vector<record_field> fields_;
};

}  // namespace

std::vector<record_field> locate_fields(std::vector<char> const& bytes) {
  return field_finder(bytes).run();
}

std::vector<record_field> sample_fields(std::vector<record_field> const& fields,
                                        std::size_t per_kind) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<record_field const*>> by_kind;
  for (auto const& f : fields) {
    auto& of_kind = by_kind[f.kind];
    if (of_kind.empty()) order.push_back(f.kind);
    of_kind.push_back(&f);
  }
  std::vector<record_field> picked;
  for (auto const& kind : order) {
    auto const& all = by_kind[kind];
    std::size_t const n = std::min(per_kind, all.size());
    std::set<std::size_t> at;
    for (std::size_t i = 0; i < n; ++i) at.insert(n == 1 ? 0 : i * (all.size() - 1) / (n - 1));
    for (std::size_t i : at) picked.push_back(*all[i]);
  }
  return picked;
}

}  // namespace test_support
