// odbstat DATABASE: what a database file holds, in the figures a user asks for
// when it grows: its length, its roots, the blocks in use and free, the
// largest free block and the blocks by size. It reads without the writer's
// lock (so it works while another program has the database open) and changes
// nothing. Exit status: 0 done, 2 the file could not be read or is not a
// database, or the command line is wrong.
#include <disk_tools/d_db.h>
#include <disk_tools/odb_stat.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "command_line.h"

namespace {

constexpr char const* usage =
    "usage: odbstat DATABASE\n"
    "Reports what the database file DATABASE.odb (or DATABASE itself when it ends in\n"
    ".odb) holds: its length, its roots, the blocks in use and free, the largest free\n"
    "block, and the blocks in use by size. It works while another program has the\n"
    "database open, changes nothing, and says when a figure cannot be trusted.\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "Exit status: 0 done, 2 unreadable, not a database, or bad usage.\n";

constexpr int unreadable = 2;

void line(char const* label, std::string const& text) {
  std::printf("  %-16s %s\n", label, text.c_str());
}

std::string blocks(long long n, long long bytes) {
  return std::to_string(n) + (n == 1 ? " block, " : " blocks, ") + std::to_string(bytes) + " bytes";
}

void report(std::string const& path, disk_tools::database_stats const& st) {
  std::printf("%s\n", path.c_str());
  line("file", std::to_string(st.file_length) + " bytes (data " + std::to_string(st.data_length) +
                   " bytes)");
  line("in use", blocks(st.blocks_in_use, st.bytes_in_use));
  line("free", blocks(st.free_blocks, st.free_bytes) + ", the largest " +
                   std::to_string(st.largest_free) + " bytes");
  line("records", std::to_string(st.records) + " allocator records, " +
                      std::to_string(st.records * 33) + " bytes");
  std::printf("  roots (%zu of 100)\n", st.roots.size());
  for (auto const& r : st.roots) {
    std::string const what =
        r.holds == -1          ? "empty"
        : r.names_block_in_use ? "holds the block at " + std::to_string(r.holds)
                               : "holds " + std::to_string(r.holds) + ", which is no block in use";
    std::string const kind = r.kind.empty() ? "" : " (" + r.kind + ")";
    std::printf("    %-24s slot %-8lld %s%s\n", r.name.c_str(), static_cast<long long>(r.slot),
                what.c_str(), kind.c_str());
  }
  std::printf("  blocks in use by size\n");
  for (auto const& c : st.classes) {
    std::printf("    up to %-10lld %s\n", static_cast<long long>(c.up_to),
                blocks(c.blocks, c.bytes).c_str());
  }
  for (auto const& d : st.doubts) std::printf("  note: %s\n", d.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  auto const line = odb_programs::read_command_line({"odbstat", usage, {}, true}, argc, argv);
  if (line.done()) return line.exit_status;
  std::string const& path = line.database_file;
  try {
    report(path, disk_tools::stat_database(path));
    return 0;
  } catch (std::exception const& e) {
    std::cerr << odb_programs::error_report(path, e) << std::endl;
  }
  return unreadable;
}
