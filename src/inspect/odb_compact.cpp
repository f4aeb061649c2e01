#include "disk_tools/odb_compact.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <unordered_map>
#include <vector>

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/root_walk.h"
#include "disk_tools/odb_check.h"
#include "inspect/live_blocks.h"

namespace disk_tools {

namespace {

bool exists(std::string const& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

void remove_database_files(std::string const& file) {
  std::remove(file.c_str());
  std::remove(journal_file_of(file).c_str());
  std::remove(index_file_of(file).c_str());
}

bool plausible_head(word_t head, word_t file_size) {
  return head == no_address ||
         (head >= database_header_size &&
          head <= file_size - static_cast<word_t>(d_alloc_node::record_size));
}

// The database file opened and locked for the whole compaction, with no
// journal of its own: it is only read, and a journal left beside it would be
// played back onto the new file once that takes the old one's name.
std::unique_ptr<io_tools::bfstream> lock_database(std::string const& file) {
  // A journal left by a process that died is played back first, by an
  // ordinary opening and closing.
  if (exists(journal_file_of(file))) {
    d_env env{};
    close_database(open_database(file, &env));
  }
  auto s = std::make_unique<io_tools::bfstream>(file.c_str(),
                                                std::ios_base::in | std::ios_base::out);
  if (s->fail() || s->bad()) {
    throw error(errc::cannot_open, "unable to open alloc file...", file, s->open_errno());
  }
  // A journal that appeared meanwhile belongs to a program that has opened
  // the database since.
  if (!s->try_lock() || exists(journal_file_of(file))) {
    throw error(errc::in_use, "database is in use...", file);
  }
  word_t const size = s->size();
  if (size < database_header_size || !plausible_head(s->read_word(alloc_list_head), size) ||
      !plausible_head(s->read_word(free_list_head), size)) {
    throw error(errc::not_a_database, "not a database file...", file);
  }
  return s;
}

// Where a word that held an address points now: blocks moved, root slots
// (which an inner list's handle may name) stayed.
word_t moved_to(io_tools::bfstream const& old, std::unordered_map<word_t, word_t> const& moved,
                word_t address) {
  if (address == no_address) return no_address;
  if (address >= directory_entry::directory_offset && address < database_header_size) {
    return address;
  }
  auto const it = moved.find(address);
  if (it == moved.end()) throw io_tools::corrupt_file(old);
  return it->second;
}

// Writes the new file at temp: the blocks in walk order, then their address
// words re-aimed, then the directory with its slots re-aimed.
void write_compacted(io_tools::bfstream& old, live_blocks const& live, std::string const& temp) {
  if (!create_database(temp, nullptr)) {
    throw error(errc::cannot_open, "unable to open alloc file...", temp);
  }
  d_open_options options;
  options.journal = d_journal::off;
  options.record_kinds = false;
  d_env env{};
  std::unique_ptr<d_database, void (*)(d_database*)> db(open_database(temp, &env, options),
                                                          close_database);
  io_tools::bfstream& out = *db->stream();
  in_change(*db, [&] {
    std::unordered_map<word_t, word_t> moved;
    moved.reserve(live.blocks.size());
    for (owned_block const& b : live.blocks) {
      word_t const size = live.size_of.at(b.address);
      text_tools::bstringstream bytes;
      if (size > 0) {
        char const* const from = old.view(b.address, static_cast<std::size_t>(size));
        if (!from) throw io_tools::corrupt_file(old);
        bytes.cpy(from, static_cast<unsigned long>(size));
      }
      moved[b.address] = db->allocator()->allocate(static_cast<long>(size), bytes);
    }
    auto re_aim = [&](word_t block, std::size_t offset) {
      word_t const word = old.read_word(block + static_cast<word_t>(offset));
      out.write_word(moved.at(block) + static_cast<word_t>(offset), moved_to(old, moved, word));
    };
    for (owned_block const& b : live.blocks) {
      for (std::size_t offset : b.links) re_aim(b.address, offset);
      for (word_t i = 0; i < b.run_words; ++i) {
        re_aim(b.address, b.run_offset + static_cast<std::size_t>(i) * word_size);
      }
    }
    // The directory is copied as it is (names, kind records, free entries),
    // with each slot aimed at its container's new place.
    std::vector<char> dir(static_cast<std::size_t>(database_header_size) -
                          static_cast<std::size_t>(directory_entry::directory_offset));
    old.read_at(directory_entry::directory_offset, dir.data(), dir.size());
    for (int i = 0; i < directory_entry::entry_count; ++i) {
      char* const slot = &dir[directory_entry::entry_size * static_cast<std::size_t>(i) +
                              directory_entry::slot_offset];
      encode_word(slot, moved_to(old, moved, decode_word(slot)));
    }
    out.write_at(directory_entry::directory_offset, dir.data(), dir.size());
  });
}

}  // namespace

std::string compaction_file_of(std::string const& database_file) {
  return database_file + "-compact.odb";
}

compaction_result compact_database(std::string const& name) {
  if (name.empty()) throw error(errc::bad_name, "empty database name...");
  compaction_result result;
  result.file = database_file_of(name);
  std::string const temp = compaction_file_of(result.file);
  std::unique_ptr<io_tools::bfstream> const old = lock_database(result.file);
  // What an earlier compaction that died left behind is of no use; one still
  // under way holds the lock taken above, and its file is left alone.
  remove_database_files(temp);
  // The new file is laid out from the allocator's records: a damaged one
  // would be copied into a file worse than the old, which it replaces.
  if (!check_database(result.file).problems.empty()) {
    throw io_tools::corrupt_file(*old);
  }
  result.length_before = old->size();
  live_blocks const live = collect_live_blocks(*old);
  result.blocks = static_cast<long long>(live.blocks.size());
  try {
    write_compacted(*old, live, temp);
    // The new file is on the disk, and locked, before it takes the name: from
    // the rename on, whoever opens the database finds it whole and waits for
    // this lock like any other.
    io_tools::bfstream fresh(temp.c_str(), std::ios_base::in | std::ios_base::out);
    if (fresh.fail() || !fresh.try_lock()) {
      throw error(errc::cannot_open, "unable to open alloc file...", temp);
    }
    fresh.sync();
    result.length_after = fresh.size();
    // The old file's index describes the old file.
    std::remove(index_file_of(result.file).c_str());
    if (std::rename(temp.c_str(), result.file.c_str()) != 0) {
      throw error(errc::io_failure, "unable to replace the database file...", result.file, errno);
    }
    io_tools::sync_directory_of(result.file);
    std::rename(index_file_of(temp).c_str(), index_file_of(result.file).c_str());
  } catch (...) {
    remove_database_files(temp);
    throw;
  }
  return result;
}

}  // namespace disk_tools
