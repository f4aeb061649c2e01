// The open database, the environment that containers work through, and the
// functions that create, open, close and delete a database file (NAME.odb).
#pragma once

#include <memory>
#include <string>

#include "bfstream.h"
#include "d_alloc.h"
#include "directory.h"

namespace disk_tools {

class d_database;

// What every container needs: the database's stream, its allocator and the
// database itself. The environment owns none of them.
struct d_env {
  io_tools::bfstream* stream = nullptr;
  d_alloc* allocator = nullptr;
  d_database* database = nullptr;
};

// The environment the program is using; the program points it at its own
// environment before it creates or opens a database.
extern d_env* p_d_env;

class d_database {
 public:
  // Opens the database file name + ".odb" and its allocator on one shared
  // stream, and fills env. Throws "unable to open alloc file..." when the file
  // cannot be opened for reading and writing, "database is in use..." when
  // another open database holds it, and "not a database file..."
  // when it is too short to hold the header or its list heads point outside
  // it.
  d_database(std::string const& name, long const& directory_offset, d_env* env);
  ~d_database();

  d_database(d_database const&) = delete;
  d_database& operator=(d_database const&) = delete;

  // The address of the slot of the root called name, registering the name in
  // the first free directory entry when it is new; -1 when the directory is
  // full.
  long get_address(std::string const& name);

  io_tools::bfstream* stream() { return &stream_; }
  d_alloc* allocator() { return allocator_.get(); }
  std::string const& file_name() const { return file_name_; }

 private:
  std::string file_name_;
  io_tools::bfstream stream_;
  std::unique_ptr<d_alloc> allocator_;
  word_t directory_offset_;
};

// Writes a new, empty database file, replacing any old one; false when the file
// cannot be opened or is in use by an open database.
bool create_database(std::string const& name, d_env* env);
// Opens an existing database, fills env and returns the database, which the
// caller owns (and gives back through close_database).
d_database* open_database(std::string const& name, d_env* env);
// Closes and frees db; a null db is ignored.
void close_database(d_database* db);
// Overwrites the file name + ".odb" with zeros and removes it; false when it
// cannot be opened or is in use by an open database.
bool delete_database(std::string const& name);

// The slot of the root called name, for a container constructed by that name:
// like get_address, but a full directory is thrown as "root directory full..."
// so that no container ever reads or writes at -1.
word_t root_slot(d_database* db, std::string const& name);

}  // namespace disk_tools
