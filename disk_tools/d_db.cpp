#include "d_db.h"

#include <cstdio>
#include <vector>

namespace disk_tools {

d_env* p_d_env = nullptr;

namespace {

constexpr char const* extension = ".odb";

// A list head is either -1 or the address of a record inside the blocks area.
bool plausible_head(word_t head, word_t file_size) {
  return head == no_address || (head >= database_header_size &&
                                head <= file_size - static_cast<word_t>(d_alloc_node::record_size));
}

}  // namespace

d_database::d_database(std::string const& name, long const& directory_offset, d_env* env)
    : file_name_(name + extension), directory_offset_(directory_offset) {
  stream_.open(file_name_.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::ate);
  // The allocator shares this stream, so a file that cannot be opened is the
  // allocator's failure.
  if (stream_.fail() || stream_.bad()) throw "unable to open alloc file...";
  // Two processes writing one file would corrupt it without either noticing.
  if (!stream_.try_lock()) throw "database is in use...";
  if (stream_.size() < database_header_size) throw "not a database file...";
  word_t const size = stream_.size();
  if (!plausible_head(stream_.read_word(alloc_list_head), size) ||
      !plausible_head(stream_.read_word(free_list_head), size)) {
    throw "not a database file...";
  }
  allocator_ = std::make_unique<d_alloc>(stream_);
  if (env) {
    env->allocator = allocator_.get();
    env->stream = &stream_;
  }
}

d_database::~d_database() = default;

long d_database::get_address(std::string const& name) {
  return find_or_register_root(stream_, directory_offset_, name);
}

bool create_database(std::string const& name, d_env* /*env*/) {
  std::string const file = name + extension;
  // A database that is open somewhere must not be emptied under its user:
  // hold its lock while the new file is written.
  io_tools::bfstream guard(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (guard.is_open() && !guard.try_lock()) return false;
  io_tools::bfstream s(file.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::trunc |
                                         std::ios_base::ate);
  if (s.fail() || s.bad()) return false;
  std::vector<char> header(static_cast<std::size_t>(database_header_size));
  encode_word(&header[alloc_list_head], no_address);
  encode_word(&header[free_list_head], no_address);
  directory_entry const free_entry;
  for (int i = 0; i < directory_entry::entry_count; ++i) {
    free_entry.encode(&header[static_cast<std::size_t>(directory_entry::address_of(i))]);
  }
  s.write_at(0, header.data(), header.size());
  return true;
}

d_database* open_database(std::string const& name, d_env* env) {
  auto db = std::make_unique<d_database>(name, directory_entry::directory_offset, env);
  if (env) {
    env->database = db.get();
    env->stream = db->stream();
    env->allocator = db->allocator();
  }
  return db.release();
}

void close_database(d_database* db) {
  delete db;
}

bool delete_database(std::string const& name) {
  std::string const file = name + extension;
  io_tools::bfstream s(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (s.fail()) {
    // A missing file is created so that it can be wiped and removed like any
    // other.
    s.clear();
    s.open(file.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::trunc);
  }
  if (s.fail() || s.bad() || !s.try_lock()) return false;
  constexpr std::size_t block = 1024;
  std::vector<char> const zeros(block, 0);
  word_t const blocks = s.size() / static_cast<word_t>(block) + 1;
  for (word_t i = 0; i < blocks; ++i) {
    s.write_at(i * static_cast<word_t>(block), zeros.data(), zeros.size());
  }
  s.close();
  std::remove(file.c_str());
  return true;
}

word_t root_slot(d_database* db, std::string const& name) {
  word_t const slot = db->get_address(name);
  if (slot == no_address) throw "root directory full...";
  return slot;
}

}  // namespace disk_tools
