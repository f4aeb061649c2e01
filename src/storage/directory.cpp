#include "disk_tools/detail/directory.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace disk_tools {

void directory_entry::encode(char* out) const {
  std::memset(out, 0, name_size);
  std::size_t const n = std::min(name.size(), max_name_length);
  std::memcpy(out, name.data(), n);
  if (!kind.empty()) kind_record::encode(out + n, name_size - n, kind);
  encode_word(out + slot_offset, slot);
}

directory_entry directory_entry::decode(char const* in) {
  directory_entry e;
  auto const* end = static_cast<char const*>(std::memchr(in, 0, name_size));
  e.name.assign(in, end ? end : in + name_size);
  e.slot = decode_word(in + slot_offset);
  if (end && !e.name.empty()) {
    e.kind_status = kind_record::decode(end, static_cast<std::size_t>(in + name_size - end), e.kind);
  }
  return e;
}

void check_root_name(std::string const& name) {
  // An empty name would match a free entry without claiming it, and a name
  // with a 0 byte would never match itself once stored: either would leave
  // its object's slot to be taken over by the next registration.
  if (name.empty()) throw error(errc::bad_name, "empty root name...");
  if (name.size() > directory_entry::max_name_length)
    throw error(errc::bad_name, "root name too long...");
  if (name.find('\0') != std::string::npos)
    throw error(errc::bad_name, "root name holds a 0 byte...");
}

std::vector<directory_entry> read_directory(io_tools::bfstream& s, word_t directory_offset) {
  std::vector<char> dir(directory_entry::entry_size * directory_entry::entry_count);
  s.read_at(directory_offset, dir.data(), dir.size());
  std::vector<directory_entry> entries;
  entries.reserve(directory_entry::entry_count);
  for (int i = 0; i < directory_entry::entry_count; ++i) {
    entries.push_back(directory_entry::decode(&dir[directory_entry::entry_size * i]));
  }
  return entries;
}

int find_root(std::vector<directory_entry> const& entries, std::string const& name) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!name.empty() && entries[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

void write_entry(io_tools::bfstream& s, word_t directory_offset, int index,
                 directory_entry const& entry) {
  char buf[directory_entry::entry_size];
  entry.encode(buf);
  s.write_at(directory_offset + static_cast<word_t>(directory_entry::entry_size) * index, buf,
             sizeof buf);
}

word_t find_or_register_root(io_tools::bfstream& s, word_t directory_offset,
                             std::string const& name) {
  check_root_name(name);
  std::vector<char> dir(directory_entry::entry_size * directory_entry::entry_count);
  s.read_at(directory_offset, dir.data(), dir.size());

  int first_free = -1;
  for (int i = 0; i < directory_entry::entry_count; ++i) {
    directory_entry const e = directory_entry::decode(&dir[directory_entry::entry_size * i]);
    if (e.name == name) {
      return directory_offset + static_cast<word_t>(directory_entry::entry_size) * i +
             static_cast<word_t>(directory_entry::slot_offset);
    }
    if (e.is_free() && first_free < 0) first_free = i;
  }
  if (first_free < 0) return no_address;

  directory_entry e;
  e.name = name;
  e.slot = no_address;
  char buf[directory_entry::entry_size];
  e.encode(buf);
  word_t const at =
      directory_offset + static_cast<word_t>(directory_entry::entry_size) * first_free;
  s.write_at(at, buf, sizeof buf);
  return at + static_cast<word_t>(directory_entry::slot_offset);
}

}  // namespace disk_tools
