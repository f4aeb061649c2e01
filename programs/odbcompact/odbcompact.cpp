// odbcompact DATABASE: rewrites a database into the smallest file that holds
// its contents (odb_compact.h), replacing the old file in one step; a crash
// at any instant leaves the old file or the new one. Exit status: 0 done,
// 1 the database could not be compacted (missing, in use, damaged, or a root
// whose kind is not recorded), 2 the command line is wrong.
#include <iostream>
#include <string>

#include <disk_tools/odb_compact.h>

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

int bad_usage(std::string const& what) {
  std::cerr << "odbcompact: " << what << " (see odbcompact --help)" << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  char const* database = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string const arg = argv[i];
    if (arg == "--help") {
      std::cout << usage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "odbcompact " << ODB_VERSION << '\n';
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-') return bad_usage("unknown option '" + arg + "'");
    if (database) return bad_usage("one database at a time");
    database = argv[i];
  }
  if (!database) return bad_usage("no database named");
  try {
    auto const r = disk_tools::compact_database(database);
    std::cout << r.file << ": " << r.length_before << " -> " << r.length_after << " bytes, "
              << r.blocks << (r.blocks == 1 ? " block\n" : " blocks\n");
    return 0;
  } catch (char const* message) {
    std::cerr << database << ": " << message << std::endl;
  } catch (std::exception const& e) {
    std::cerr << database << ": " << e.what() << std::endl;
  }
  return 1;
}
