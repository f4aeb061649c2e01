#include "record_fields.h"

#include <map>
#include <set>

#include <disk_tools/coding.h>
#include <disk_tools/d_alloc_node.h>
#include <disk_tools/directory.h>
#include <disk_tools/hashmap_records.h>
#include <disk_tools/list_records.h>
#include <disk_tools/map_records.h>
#include <disk_tools/vector_header.h>

namespace test_support {

namespace {

namespace dt = disk_tools;
using dt::no_address;
using dt::word_t;

enum class element { text, number, inner_list };

class field_finder {
 public:
  explicit field_finder(std::vector<char> const& bytes)
      : bytes_(bytes), size_(static_cast<word_t>(bytes.size())) {
    if (size_ < dt::database_header_size) return;
    allocator_list("allocation list", dt::alloc_list_head);
    allocator_list("free list", dt::free_list_head);
    directory();
  }

  std::vector<record_field> fields;

 private:
  using words = std::initializer_list<std::pair<char const*, std::size_t>>;

  bool has(word_t at, word_t n) const { return at >= 0 && n >= 0 && at <= size_ - n; }
  word_t word(word_t at) const {
    return has(at, 8) ? dt::decode_word(&bytes_[static_cast<std::size_t>(at)]) : no_address;
  }

  void add(std::string kind, word_t at, std::size_t width = 8, word_t own = -1, word_t first = -1) {
    if (has(at, static_cast<word_t>(width)))
      fields.push_back({std::move(kind), static_cast<std::size_t>(at), width, own, first});
  }
  // Plain words at offsets of the record at `at`.
  void add(std::string const& prefix, word_t at, words offsets) {
    for (auto const& [name, offset] : offsets) add(prefix + name, at + static_cast<word_t>(offset));
  }
  // Visits each record of a chain once, until a link leaves the file or
  // reaches `stop`.
  template <class Visit>
  void walk(word_t first, std::size_t size, std::size_t next, Visit visit, word_t stop = -1) {
    std::set<word_t> seen;
    for (word_t at = first;
         at != stop && has(at, static_cast<word_t>(size)) && seen.insert(at).second;
         at = word(at + static_cast<word_t>(next)))
      visit(at);
  }

  void allocator_list(std::string const& name, word_t head) {
    using node = dt::d_alloc_node;
    add("allocator: " + name + " head", head);
    word_t const first = word(head);
    std::string const kind = name + " record: ";
    walk(first, node::record_size, node::next_offset, [&](word_t at) {
      add(kind, at,
          {{"own address", node::own_offset},
           {"data address", node::data_offset},
           {"size", node::size_offset}});
      add(kind + "next", at + node::next_offset, 8, at, first);
      add(kind + "free flag", at + node::free_offset, 1);
    });
  }

  void directory() {
    using dir = dt::directory_entry;
    bool free_seen = false;
    for (int i = 0; i < dir::entry_count; ++i) {
      word_t const entry = dir::address_of(i);
      auto const e = dir::decode(&bytes_[static_cast<std::size_t>(entry)]);
      if (e.is_free()) {
        if (!free_seen) add("directory: free entry's name", entry, 1);
        free_seen = true;
        continue;
      }
      word_t const slot = entry + static_cast<word_t>(dir::slot_offset);
      add("directory: name", entry, 1);
      add("directory: name's last byte", entry + static_cast<word_t>(dir::max_name_length), 1);
      add("directory: slot", slot);
      // The roots the drivers keep, by name.
      if (e.name == "the_list") list(slot, element::text);
      if (e.name == "ll") list(slot, element::inner_list);
      if (e.name == "htable") hash_map(slot);
      if (e.name == "str_vec") vector(slot);
      if (e.name == "var2") text_value("variable", word(slot));
      if (e.name == "bt") ordered_map(slot, true);
      if (e.name == "btree") ordered_map(slot, false);
    }
  }

  void text_value(std::string const& owner, word_t at) {
    if (at != no_address) add(owner + " text value: length", at);
  }

  void list(word_t handle, element kind) {
    using node = dt::list_node;
    using header = dt::list_header;
    if (!lists_.insert(handle).second) return;
    word_t const h = word(handle);
    if (!has(h, header::record_size)) return;
    add("list header: ", h,
        {{"sentinel", header::sentinel_offset}, {"count", header::count_offset}});
    word_t const s = word(h);
    if (!has(s, dt::list_sentinel::record_size)) return;
    add("list sentinel: ", s,
        {{"own address", node::own_offset},
         {"value", node::value_offset},
         {"count", dt::list_sentinel::count_offset}});
    add("list sentinel: next", s + node::next_offset, 8, s, s);
    add("list sentinel: prev", s + node::prev_offset, 8, s, s);
    word_t const first = word(s + node::next_offset);
    walk(
        first, node::record_size, node::next_offset,
        [&](word_t at) {
          add("list node: ", at,
              {{"own address", node::own_offset}, {"value", node::value_offset}});
          add("list node: next", at + node::next_offset, 8, at, first);
          add("list node: prev", at + node::prev_offset, 8, at, first);
          word_t const value = word(at + node::value_offset);
          if (kind == element::text) text_value("list element", value);
          if (kind == element::number) add("list element int value", value, 4);
          if (kind != element::inner_list) return;
          using inner = dt::inner_list_value;
          add("inner list value: ", value,
              {{"handle", inner::handle_offset}, {"count", inner::count_offset}});
          word_t const inner_handle = word(value + inner::handle_offset);
          add("inner list handle cell", inner_handle);
          list(inner_handle, element::number);
        },
        s);
  }

  void hash_map(word_t slot) {
    using header = dt::hashmap_header;
    using entry = dt::hashmap_entry;
    word_t const h = word(slot);
    if (!has(h, header::fixed_size)) return;
    add("hash map header: ", h,
        {{"count", header::count_offset}, {"buckets", header::buckets_offset}});
    word_t const buckets = word(h + header::buckets_offset);
    for (word_t b = 0; b < buckets && b < size_ / 8; ++b) {
      word_t const bucket = header::bucket_address(h, b);
      word_t const first = word(bucket);
      if (first == no_address) continue;
      add("hash map bucket", bucket);
      walk(first, entry::fixed_size, entry::next_offset, [&](word_t at) {
        add("hash map entry: next", at + entry::next_offset, 8, at, first);
        add("hash map entry: key length", at + entry::key_length_offset);
        add("hash map entry: key's first byte", at + entry::key_offset, 1);
        word_t const key_length = word(at + entry::key_length_offset);
        if (has(key_length, 0))
          add("hash map entry: value length", at + entry::key_offset + key_length);
      });
    }
  }

  void vector(word_t slot) {
    using header = dt::vector_header;
    word_t const h = word(slot);
    if (!has(h, header::fixed_size)) return;
    add("vector header: ", h,
        {{"capacity", header::capacity_offset}, {"count", header::count_offset}});
    word_t const count = word(h + header::count_offset);
    for (word_t i = 0; i < count && i < size_ / 8; ++i) {
      add("vector slot", header::slot_address(h, i));
      text_value("vector element", word(header::slot_address(h, i)));
    }
  }

  void ordered_map(word_t slot, bool text_pairs) {
    using header = dt::map_header;
    using node = dt::map_node_head;
    word_t const h = word(slot);
    if (!has(h, header::record_size)) return;
    add("map header: ", h,
        {{"size", header::size_offset},
         {"root", header::root_offset},
         {"chain head", header::chain_head_offset}});
    word_t const root = word(h + header::root_offset);
    word_t const chain_head = word(h + header::chain_head_offset);
    walk(chain_head, node::head_size, node::next_offset, [&](word_t at) {
      add("map node: left", at + node::left_offset, 8, at, root);
      add("map node: right", at + node::right_offset, 8, at, root);
      add("map node: parent", at + node::parent_offset, 8, at, root);
      add("map node: ", at, {{"count", node::count_offset}, {"own address", node::address_offset}});
      add("map node: next", at + node::next_offset, 8, at, chain_head);
      word_t const count = word(at + node::count_offset);
      for (word_t i = 0; i < count && i < node::max_pairs; ++i) {
        word_t const pair = at + static_cast<word_t>(node::head_size) + (text_pairs ? 16 : 8) * i;
        if (text_pairs) {
          add("map node: ", pair, {{"key slot", 0}, {"value slot", 8}});
          text_value("map key", word(pair));
          text_value("map value", word(pair + 8));
        } else {
          add("map node: unsigned key", pair, 4);
          add("map node: unsigned value", pair + 4, 4);
        }
      }
    });
  }

  std::vector<char> const& bytes_;
  word_t const size_;
  std::set<word_t> lists_;
};

}  // namespace

std::vector<record_field> sample_fields(std::vector<char> const& bytes, std::size_t per_kind) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<record_field>> by_kind;
  for (auto const& f : field_finder(bytes).fields) {
    auto& of_kind = by_kind[f.kind];
    if (of_kind.empty()) order.push_back(f.kind);
    of_kind.push_back(f);
  }
  std::vector<record_field> picked;
  for (auto const& kind : order) {
    auto const& all = by_kind[kind];
    std::size_t const n = std::min(per_kind, all.size());
    std::set<std::size_t> at;
    for (std::size_t i = 0; i < n; ++i) at.insert(n == 1 ? 0 : i * (all.size() - 1) / (n - 1));
    for (std::size_t i : at) picked.push_back(all[i]);
  }
  return picked;
}

}  // namespace test_support
