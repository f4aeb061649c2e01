// The blocks a database's roots own, found by walking each root by its
// recorded kind: what a compaction copies, and what the checker compares
// with the blocks in use to find space that nobody can reach again.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/root_walk.h"

namespace disk_tools {

// The blocks every root owns, in walk order, and the size of every block in
// use (owned or not).
struct live_blocks {
  std::vector<owned_block> blocks;
  std::unordered_map<word_t, word_t> size_of;
};

// Throws "corrupt database file..." when a root names a block that is not in
// use, and "root ... records no kind..." for a root that cannot be walked.
live_blocks collect_live_blocks(io_tools::bfstream& s);

// Every root walked that can be: the blocks of those whose walk succeeds, a
// sentence for each whose records cannot be followed (its blocks left out),
// how many could not be walked at all (no kind recorded, or one this code
// does not know), and a sentence for each that records a kind this code
// does not know.
struct root_survey {
  live_blocks live;
  std::vector<std::string> damaged;
  int unwalked = 0;
  std::vector<std::string> unknown;
  // A sentence for each inner list that two elements hold.
  std::vector<std::string> held_twice;
};
root_survey survey_roots(io_tools::bfstream& s);

}  // namespace disk_tools
