#include "command_line.h"

#include <disk_tools/d_db.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace odb_programs {

namespace {

command_line refused(command_line_rules const& rules, std::string const& why) {
  std::cerr << rules.name << ": " << why << " (see " << rules.name << " --help)" << std::endl;
  command_line line;
  line.exit_status = bad_usage_status;
  return line;
}

command_line answered(std::string const& text) {
  std::cout << text;
  command_line line;
  line.exit_status = 0;
  return line;
}

bool is_option(std::string const& word) {
  return word.size() > 1 && word[0] == '-';
}

}  // namespace

command_line read_command_line(command_line_rules const& rules, int argc, char** argv) {
  command_line line;
  int named = 0;
  for (int i = 1; i < argc; ++i) {
    std::string const word = argv[i];
    if (word == "--help") return answered(rules.usage);
    if (word == "--version") return answered(std::string(rules.name) + " " + ODB_VERSION + "\n");
    if (is_option(word)) {
      bool const known =
          std::find(rules.flags.begin(), rules.flags.end(), word) != rules.flags.end();
      if (!known) return refused(rules, "unknown option '" + word + "'");
      line.flags.insert(word);
    } else if (rules.takes_database) {
      if (word.empty()) return refused(rules, "empty database name");
      if (word.back() == '/') return refused(rules, "database name '" + word + "' ends in '/'");
      // The library refuses these by throwing, which here would end the
      // program before it could say why.
      std::string const last = word.substr(word.rfind('/') + 1);
      if (last == "." || last == "..") {
        return refused(rules, "database name '" + word + "' is a folder's ('.' or '..')");
      }
      if (named == rules.databases) {
        return refused(rules, rules.databases == 1 ? "one database at a time"
                                                   : "too many databases named");
      }
      (named == 0 ? line.database_file : line.second_database_file) =
          disk_tools::database_file_of(word);
      (named == 0 ? line.database_name : line.second_database_name) = word;
      ++named;
    }
  }
  if (rules.takes_database && named == 0) return refused(rules, "no database named");
  if (rules.takes_database && named < rules.databases) {
    return refused(rules, "two databases needed");
  }
  return line;
}

std::string error_report(std::string const& file, std::exception const& e) {
  std::string line = file + ": " + e.what();
  auto const* ours = dynamic_cast<disk_tools::error const*>(&e);
  if (ours && ours->sys_errno() != 0) line += std::string(": ") + std::strerror(ours->sys_errno());
  return line;
}

}  // namespace odb_programs
