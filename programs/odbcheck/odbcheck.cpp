// odbcheck [--details] DATABASE: checks a database file and prints every
// problem found, one line each. DATABASE is the database's name, as the
// library opens it (NAME stands for NAME.odb), or the file's own name ending
// in ".odb". Exit status: 0 sound, 1 problems found, 2 the file could not be
// read or is not a database at all, or the command line is wrong.
#include <disk_tools/d_db.h>
#include <disk_tools/odb_check.h>

#include <iostream>
#include <string>

#include "command_line.h"

namespace {

constexpr char const* usage =
    "usage: odbcheck [--details] DATABASE\n"
    "Checks the database file DATABASE.odb, or DATABASE itself when it ends in .odb,\n"
    "and prints every problem found, one line each.\n"
    "  --details  also list what is wrong with a file that is not a database at all\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "A journal beside the file (the database is open in a program, or one died while\n"
    "using it) is played back in memory first, and a line says so: the file is checked\n"
    "as the next opening will find it, and not a byte of it changes.\n"
    "Exit status: 0 sound, 1 problems found, 2 unreadable, not a database, or bad usage.\n";

constexpr int unreadable = 2;

int check(std::string const& path, bool details) {
  try {
    auto const result = disk_tools::check_database(path);
    if (!result.is_database) {
      // Every byte of such a file is "wrong"; listing them helps only the
      // curious, who ask for the details.
      if (details) {
        for (auto const& p : result.problems) std::cout << path << ": " << p << '\n';
        std::cout.flush();
      }
      std::cerr << path << ": not a database file..." << std::endl;
      return unreadable;
    }
    for (auto const& n : result.notes) std::cout << path << ": " << n << '\n';
    for (auto const& p : result.problems) std::cout << path << ": " << p << '\n';
    if (result.problems.empty()) std::cout << path << ": no problems found\n";
    std::cout.flush();
    return result.problems.empty() ? 0 : 1;
  } catch (std::exception const& e) {
    std::cerr << odb_programs::error_report(path, e) << std::endl;
  }
  return unreadable;
}

}  // namespace

int main(int argc, char** argv) {
  auto const line =
      odb_programs::read_command_line({"odbcheck", usage, {"--details"}, true}, argc, argv);
  if (line.done()) return line.exit_status;
  return check(line.database_file, line.has("--details"));
}
