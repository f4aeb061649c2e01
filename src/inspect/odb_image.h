// A database file as the next opening will find it, read by the tools
// (odbcheck, odbstat) without changing a byte or taking the writer's lock: a
// journal beside the file is played back in memory, as recovery would play it
// back on the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk_tools/detail/coding.h"

namespace disk_tools {

struct database_image {
  enum class journal_state {
    none,          // no journal: the database was closed cleanly
    idle,          // open in a program, or left by one that died between changes
    rolled_back,   // a transaction was under way; the image is from before it
    replayed,      // committed changes of a durable database replayed
  };

  std::vector<char> bytes;  // the data, as the next opening will find it
  word_t file_length = 0;   // the file's own length (grown ahead while open)
  journal_state journal = journal_state::none;
  // The file or its journal changed while they were read (a program has the
  // database open and is writing): the image may be of no single moment.
  bool changed_while_read = false;

  // One line on the journal for a tool's report; empty without one.
  std::string journal_note() const;
  // Whether open_database would take the bytes for a database: the whole
  // header, and list heads that are empty or name a record in the blocks.
  bool opens_as_database() const;
};

// Reads the database file at path and the journal beside it. Throws
// "unable to open db file..." when the file cannot be read, and
// "corrupt journal file..." when a journal is there whose records cannot be
// trusted, and "database file too large to read into memory..." when the
// copy it makes cannot be had.
database_image read_database_image(std::string const& path);

}  // namespace disk_tools
