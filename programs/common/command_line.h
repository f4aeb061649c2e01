// What the library's programs share of their command lines: --help and
// --version answered on standard output, an unknown option refused on standard
// error with a pointer to the help, and the one database a tool works on, named
// as the library names it (NAME or NAME.odb). The whole line is read before a
// program touches anything, so a mistyped option changes nothing.
#pragma once

#include <exception>
#include <set>
#include <string>
#include <vector>

namespace odb_programs {

// A program's command line as its --help describes it.
struct command_line_rules {
  char const* name;                // the program's name, as messages give it
  char const* usage;               // what --help prints
  std::vector<std::string> flags;  // the options it knows besides --help and --version
  bool takes_database = false;     // one word names the database; otherwise words are ignored
  int databases = 1;               // with takes_database: how many words name databases
};

// What a command line asked for.
struct command_line {
  std::set<std::string> flags;  // the known options given
  std::string database_file;    // the file of the database named, when the program takes one
  std::string second_database_file;  // the second one, for a program that takes two
  // The databases as named, for the library's calls that take names: a name
  // through a link resolves to the target's path, which the library would take
  // for a name again (store.db would become store.db.odb).
  std::string database_name;
  std::string second_database_name;
  int exit_status = -1;         // 0 or more: the line was answered or refused; exit with it

  bool has(std::string const& flag) const { return flags.count(flag) != 0; }
  bool done() const { return exit_status >= 0; }
};

// Status of a command line the program cannot follow.
constexpr int bad_usage_status = 2;

// Reads argv by the rules, answering --help and --version and refusing what
// the rules do not allow (status 2) as it meets them, in order.
command_line read_command_line(command_line_rules const& rules, int argc, char** argv);

// The line a tool prints on standard error for an error about file: the
// file, the message, and the system's reason where the error has one
// ("db.odb: unable to open db file...: Permission denied").
std::string error_report(std::string const& file, std::exception const& e);

}  // namespace odb_programs
