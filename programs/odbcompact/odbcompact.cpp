// odbcompact DATABASE: rewrites a database into the smallest file that holds
// its contents (odb_compact.h), replacing the old file in one step; a crash
// at any instant leaves the old file or the new one. Exit status: 0 done,
// 1 the database could not be compacted (missing, in use, damaged, or a root
// whose kind is not recorded), 2 the command line is wrong.
#include <iostream>
#include <string>

#include <disk_tools/odb_compact.h>
#include "command_line.h"

namespace {

constexpr char const* usage =
    "usage: odbcompact DATABASE\n"
    "Rewrites the database file DATABASE.odb (or DATABASE itself when it ends in .odb)\n"
    "into the smallest file that holds its contents: no free blocks, and nothing that\n"
    "no root reaches. The new file is written beside the old one and replaces it in\n"
    "one step, so a crash leaves either. The database must not be open elsewhere, and\n"
    "every root holding a container must record its kind.\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "Exit status: 0 done, 1 not compacted, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  auto const line = odb_programs::read_command_line({"odbcompact", usage, {}, true}, argc, argv);
  if (line.done()) return line.exit_status;
  try {
    auto const r = disk_tools::compact_database(line.database_name);
    std::cout << r.file << ": " << r.length_before << " -> " << r.length_after << " bytes, "
              << r.blocks << (r.blocks == 1 ? " block\n" : " blocks\n");
    return 0;
  } catch (std::exception const& e) {
    std::cerr << odb_programs::error_report(line.database_file, e) << std::endl;
  }
  return 1;
}
