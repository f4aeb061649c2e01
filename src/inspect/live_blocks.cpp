#include "inspect/live_blocks.h"

#include <string>

#include "disk_tools/detail/d_alloc.h"
#include "disk_tools/detail/directory.h"
#include "disk_tools/error.h"

namespace disk_tools {

namespace {

std::unordered_map<word_t, word_t> blocks_in_use(io_tools::bfstream& s) {
  std::unordered_map<word_t, word_t> size_of;
  for (d_alloc_node const& r : d_alloc(s).allocation_list()) size_of[r.data] = r.size;
  return size_of;
}

// Walks the root of entry e, adding its blocks to live. A block that is not
// in use, or shorter than its length word says, ends the walk with "corrupt
// database file..."; `fault` says which first.
void walk_root(io_tools::bfstream& s, root_walker& walker, directory_entry const& e,
               live_blocks& live, std::string& fault) {
  walker.walk(e.kind, e.slot, [&](owned_block const& b) {
    auto const block = live.size_of.find(b.address);
    if (block == live.size_of.end()) {
      fault = "names the block at " + std::to_string(b.address) + ", which is not in use";
      throw io_tools::corrupt_file(s);
    }
    if (b.extent > block->second) {
      fault = "keeps in the block at " + std::to_string(b.address) + " (" +
              std::to_string(block->second) + " bytes) a value whose length says " +
              std::to_string(b.extent);
      throw io_tools::corrupt_file(s);
    }
    live.blocks.push_back(b);
  });
}

}  // namespace

live_blocks collect_live_blocks(io_tools::bfstream& s) {
  live_blocks live;
  live.size_of = blocks_in_use(s);
  root_walker walker(s);
  for (directory_entry const& e : read_directory(s, directory_entry::directory_offset)) {
    if (e.is_free()) continue;
    if (e.kind_status == kind_record::status::damaged) throw io_tools::corrupt_file(s);
    if (e.slot == no_address) continue;
    if (e.kind.empty()) {
      std::string const text =
          "root \"" + e.name + "\" records no kind: compaction cannot find its addresses...";
      throw error(errc::wrong_kind, text.c_str());
    }
    std::string fault;
    walk_root(s, walker, e, live, fault);
  }
  return live;
}

root_survey survey_roots(io_tools::bfstream& s) {
  root_survey survey;
  survey.live.size_of = blocks_in_use(s);
  root_walker walker(s);
  for (directory_entry const& e : read_directory(s, directory_entry::directory_offset)) {
    if (e.is_free() || e.slot == no_address) continue;
    if (e.kind.empty() || e.kind_status == kind_record::status::damaged) {
      ++survey.unwalked;
      continue;
    }
    std::size_t const walked = survey.live.blocks.size();
    std::size_t const held = walker.held_twice().size();
    std::string fault;
    try {
      walk_root(s, walker, e, survey.live, fault);
      for (std::size_t i = held; i < walker.held_twice().size(); ++i) {
        survey.held_twice.push_back(
            "root \"" + e.name + "\" (" + e.kind + ") holds the list whose handle block is at " +
            std::to_string(walker.held_twice()[i]) +
            " in two elements, as older releases could leave it: erasing either element frees "
            "the list under the other");
      }
    } catch (error const& failure) {
      survey.live.blocks.resize(walked);
      if (failure.code() != errc::corrupt) {
        ++survey.unwalked;
        survey.unknown.push_back("root \"" + e.name + "\" (" + e.kind +
                                 ") was not walked: " + failure.what());
        continue;
      }
      if (fault.empty() && walker.named_twice() != no_address) {
        fault = "names the block at " + std::to_string(walker.named_twice()) +
                " that another record names too: each owner would free it";
      }
      if (fault.empty()) {
        fault = "is damaged: a record it leads to is not what its kind keeps there";
      }
      survey.damaged.push_back("root \"" + e.name + "\" (" + e.kind + ") " + fault);
    }
  }
  return survey;
}

}  // namespace disk_tools
