// What a database file holds, in the figures a user asks for when it grows:
// its length, its roots, the blocks in use and free, the largest free block,
// and the blocks by size class. Read like odbcheck reads (odb_image.h):
// without the writer's lock, changing nothing, with a journal played back in
// memory; figures that cannot be trusted are said to be so.
#pragma once

#include <string>
#include <vector>

#include "disk_tools/detail/coding.h"

namespace disk_tools {

struct database_stats {
  struct root {
    std::string name;
    word_t slot = 0;                // address of the root's slot
    word_t holds = no_address;      // what the slot holds: a block's address, or -1
    std::string kind;               // the kind the root records; "" when none
    bool names_block_in_use = false;
  };
  struct size_class {
    word_t up_to = 0;  // blocks of more than half this size, up to it
    long long blocks = 0;
    long long bytes = 0;
  };

  word_t file_length = 0;  // the file's own length
  word_t data_length = 0;  // the data, as the next opening will find it
  std::vector<root> roots;
  long long blocks_in_use = 0, bytes_in_use = 0;
  long long free_blocks = 0, free_bytes = 0;
  word_t largest_free = 0;
  long long records = 0;  // the allocator's own records, 33 bytes each
  std::vector<size_class> classes;  // of the blocks in use, ascending
  // Why some figures cannot be trusted (a journal played back, a file that
  // changed while it was read, a list that could not be walked to its end).
  std::vector<std::string> doubts;
};

// The figures of the database file at path. Throws "unable to open db
// file..." when it cannot be read, "not a database file..." when it is too
// short to be one, and "corrupt journal file..." when its journal cannot be
// trusted.
database_stats stat_database(std::string const& path);

}  // namespace disk_tools
