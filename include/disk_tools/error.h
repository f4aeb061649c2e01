// The one exception type the library throws. what() is the short message the
// programs print ("corrupt database file..."); code() tells the kinds apart
// without comparing text; path() and sys_errno() say which file and what the
// system answered, where the error has them.
#pragma once

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace disk_tools {

// What went wrong. The values are not stored anywhere: only the names count.
enum class errc {
  cannot_open = 1,    // a file cannot be opened or created (database, journal, a tool's input)
  not_a_database,     // too short for the header, or list heads that point outside the file
  corrupt,            // a record read from the database file cannot be right
  corrupt_journal,    // the journal beside the database holds records that cannot be trusted
  in_use,             // another open database holds the file's lock
  closed,             // the object's database was closed
  must_reopen,        // a rollback could not put the bytes back
  rolled_back,        // the container was made in a transaction that was rolled back
  transaction_ended,  // commit or rollback on a transaction that already ended
  directory_full,     // a new root name and no free directory entry
  bad_name,           // a root name that cannot be stored
  io_failure,         // the system refused a write, a lengthening, a mapping or a sync
  no_space,           // the allocator refused a block
  out_of_range,       // an index, iterator or proxy that names no element
  empty,              // a pop from an empty container
  bad_size,           // a size, capacity or bucket count out of range
  not_attached,       // a container object without a database
  wrong_kind,         // the root holds a container made another way (another hash)
  busy,               // another thread is inside an operation, or another writer's turn lasted too long
  read_only,          // a change to a database opened for reading, or one that needs a writer's recovery
  nested_open,        // a commit of a transaction while one begun inside it is still open
};

class error : public std::runtime_error {
 public:
  // path and sys_errno are "" and 0 when the error has no file or no system
  // error behind it.
  error(errc code, char const* message, std::string path = {}, int sys_errno = 0)
      : std::runtime_error(message),
        code_(code),
        path_(std::make_shared<std::string const>(std::move(path))),
        sys_errno_(sys_errno) {}

  errc code() const noexcept { return code_; }
  std::string const& path() const noexcept { return *path_; }
  int sys_errno() const noexcept { return sys_errno_; }

  // what(), then the file and the system's reason where there are:
  // "unable to open alloc file...: notes.odb: No such file or directory".
  std::string detail() const {
    std::string d = what();
    if (!path().empty()) d += ": " + path();
    if (sys_errno_ != 0) d += std::string(": ") + std::strerror(sys_errno_);
    return d;
  }

 private:
  errc code_;
  // Shared, so that copying the exception cannot throw.
  std::shared_ptr<std::string const> path_;
  int sys_errno_;
};

}  // namespace disk_tools
