// Compaction: a database rewritten into the smallest file that holds its
// contents, the way a store rebuilds itself as a dense copy. Every root's
// container is copied block by block, in the order its walk meets them
// (root_walk.h), into a new file beside the old one; the words that hold
// addresses are re-aimed at the blocks' new places; the new file reaches the
// disk and then takes the old one's name in one rename. A crash at any
// instant leaves the old file or the new one, never a mix.
//
// Afterwards every container reads as before, the file holds no free block
// and no allocator record of one, and blocks no root reaches (a value a
// program allocated and never stored, a string a map replaced and left
// behind) are gone. Addresses a program kept elsewhere (in memory, or as a
// plain number in a variable) name nothing after it.
#pragma once

#include <string>

#include "disk_tools/detail/coding.h"

namespace disk_tools {

struct compaction_result {
  std::string file;           // the database file compacted
  word_t length_before = 0;   // bytes of the file before
  word_t length_after = 0;    // and after
  long long blocks = 0;       // blocks copied
};

// Compacts the database name (NAME or NAME.odb, as database_file_of takes
// it). Throws the library's opening messages ("unable to open alloc file...",
// "database is in use...", "not a database file...", "corrupt database
// file..."), and one naming the root for a root whose kind is not recorded,
// since its addresses cannot be found. The database must not be open.
compaction_result compact_database(std::string const& name);

// The file compaction writes before it takes the database's name.
std::string compaction_file_of(std::string const& database_file);

}  // namespace disk_tools
