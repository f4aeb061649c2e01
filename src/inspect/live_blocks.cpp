#include "inspect/live_blocks.h"

#include <string>

#include "disk_tools/detail/d_alloc.h"
#include "disk_tools/detail/directory.h"
#include "disk_tools/error.h"

namespace disk_tools {

live_blocks collect_live_blocks(io_tools::bfstream& s) {
  live_blocks live;
  for (d_alloc_node const& r : d_alloc(s).allocation_list()) live.size_of[r.data] = r.size;
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
    walker.walk(e.kind, e.slot, [&](owned_block const& b) {
      if (!live.size_of.count(b.address)) throw io_tools::corrupt_file(s);
      live.blocks.push_back(b);
    });
  }
  return live;
}

}  // namespace disk_tools
