// odbcopy SOURCE DEST: a consistent copy of a database, taken while other
// programs have it open and write it (odb_copy.h). Exit status: 0 done, 1 the
// copy could not be made, 2 the command line is wrong.
#include <iostream>
#include <string>

#include <disk_tools/error.h>
#include <disk_tools/odb_copy.h>
#include "command_line.h"

namespace {

constexpr char const* usage =
    "usage: odbcopy SOURCE DEST\n"
    "Copies the database SOURCE.odb (or SOURCE itself when it ends in .odb) to\n"
    "DEST.odb as one commit left it, while other programs may have it open and write\n"
    "it. The copy is written beside DEST and takes its name in one step; DEST must not\n"
    "be open anywhere.\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "Exit status: 0 done, 1 not copied, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  odb_programs::command_line_rules rules{"odbcopy", usage, {}, true};
  rules.databases = 2;
  auto const line = odb_programs::read_command_line(rules, argc, argv);
  if (line.done()) return line.exit_status;
  try {
    auto const length = disk_tools::copy_database(line.database_name, line.second_database_name);
    std::cout << line.second_database_file << ": " << length << " bytes\n";
    return 0;
  } catch (disk_tools::error const& e) {
    // The file the error is about: the source, or the copy, named as DEST
    // when its new file beside DEST (DEST-new-...) failed.
    std::string const& dest = line.second_database_file;
    std::string about = e.path().empty() ? line.database_file : e.path();
    if (about.rfind(dest + "-new-", 0) == 0) about = dest;
    std::cerr << odb_programs::error_report(about, e) << std::endl;
  } catch (std::exception const& e) {
    std::cerr << odb_programs::error_report(line.database_file, e) << std::endl;
  }
  return 1;
}
