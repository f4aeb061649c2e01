// Checks a database file's structure without trusting any byte of it: the
// header, the allocator's two lists and the blocks they describe, and the
// root directory. Containers have typed checks of their own.
#pragma once

#include <string>
#include <vector>

namespace disk_tools {

struct database_check {
  // False when the file cannot be a database at all, whatever damage it may
  // have suffered: too short for the header, a list head that cannot be a
  // record's address (open_database refuses both with "not a database
  // file..."), or more than half of the directory's names without their
  // terminating 0 byte.
  bool is_database = true;
  // Every problem found, one sentence each; empty when the file is sound.
  std::vector<std::string> problems;
  // What the reader should know about what was checked: a journal beside the
  // file (then the file was checked as the next opening will find it), a
  // file that changed while it was read, or blocks in use that no root owns
  // (space lost; told when every root records its kind, which lets the check
  // walk it).
  std::vector<std::string> notes;
};

// Checks the database file at path, as the next opening will find it.
// Throws "unable to open db file..." when the file cannot be read at all, and
// "corrupt journal file..." when the journal beside it cannot be trusted.
database_check check_database(std::string const& path);

// The problems check_database finds in the file at path.
std::vector<std::string> check_database_file(std::string const& path);

}  // namespace disk_tools
