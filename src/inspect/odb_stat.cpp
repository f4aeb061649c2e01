#include "disk_tools/odb_stat.h"

#include <set>

#include "disk_tools/detail/d_alloc_node.h"
#include "disk_tools/detail/directory.h"
#include "inspect/odb_image.h"

namespace disk_tools {

namespace {

constexpr auto record_size = static_cast<word_t>(d_alloc_node::record_size);

// The record at `at` of the image, when it lies whole in the blocks area and
// its block (unless it is emptied) lies in the blocks area too: the figures
// add up only sizes that fit in the file.
bool record_at(std::vector<char> const& image, word_t at, d_alloc_node& r) {
  auto const length = static_cast<word_t>(image.size());
  if (at < database_header_size || at > length - record_size) return false;
  r = d_alloc_node::decode(&image[static_cast<std::size_t>(at)]);
  return r.own == at && (r.empty() || (r.data >= database_header_size && r.size >= 0 &&
                                       r.data <= length - r.size));
}

// Walks one list from its head word, bounded by what the image can hold; calls
// visit for each record. False when the walk had to stop early.
template <class Visit>
bool walk(std::vector<char> const& image, word_t head_word, Visit visit) {
  word_t at = decode_word(&image[static_cast<std::size_t>(head_word)]);
  std::set<word_t> seen;
  while (at != no_address) {
    d_alloc_node r;
    if (!record_at(image, at, r) || !seen.insert(at).second) return false;
    visit(r);
    at = r.next;
  }
  return true;
}

word_t class_of(word_t size) {
  word_t up_to = 8;
  while (up_to < size) up_to *= 2;
  return up_to;
}

}  // namespace

database_stats stat_database(std::string const& path) {
  database_image image = read_database_image(path);
  std::vector<char> const& bytes = image.bytes;
  if (!image.opens_as_database()) throw error(errc::not_a_database, "not a database file...", path);
  database_stats st;
  st.file_length = image.file_length;
  st.data_length = static_cast<word_t>(bytes.size());
  if (!image.journal_note().empty()) st.doubts.push_back(image.journal_note());
  if (image.changed_while_read) {
    st.doubts.push_back("the file changed while it was read: a program is writing it, and the "
                        "figures may be of no single moment");
  }

  std::set<word_t> in_use;
  std::vector<database_stats::size_class> classes;
  bool const used_whole = walk(bytes, alloc_list_head, [&](d_alloc_node const& r) {
    ++st.records;
    if (r.empty()) return;
    ++st.blocks_in_use;
    st.bytes_in_use += r.size;
    in_use.insert(r.data);
    word_t const up_to = class_of(r.size);
    auto it = classes.begin();
    while (it != classes.end() && it->up_to < up_to) ++it;
    if (it == classes.end() || it->up_to != up_to) it = classes.insert(it, {up_to, 0, 0});
    ++it->blocks;
    it->bytes += r.size;
  });
  bool const free_whole = walk(bytes, free_list_head, [&](d_alloc_node const& r) {
    ++st.records;
    if (r.empty()) return;
    ++st.free_blocks;
    st.free_bytes += r.size;
    st.largest_free = std::max(st.largest_free, r.size);
  });
  st.classes = std::move(classes);
  for (auto const& [whole, list] : {std::pair{used_whole, "allocation"}, {free_whole, "free"}}) {
    if (!whole) {
      st.doubts.push_back(std::string("the ") + list +
                          " list could not be walked to its end: its figures are partial "
                          "(odbcheck tells what is wrong)");
    }
  }

  for (int i = 0; i < directory_entry::entry_count; ++i) {
    word_t const at = directory_entry::address_of(i);
    directory_entry const e = directory_entry::decode(&bytes[static_cast<std::size_t>(at)]);
    if (e.is_free()) continue;
    database_stats::root r;
    r.name = e.name;
    r.slot = at + static_cast<word_t>(directory_entry::slot_offset);
    r.holds = e.slot;
    r.kind = e.kind;
    r.names_block_in_use = in_use.count(e.slot) > 0;
    st.roots.push_back(r);
  }
  return st;
}

}  // namespace disk_tools
