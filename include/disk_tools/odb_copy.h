// A copy of a database taken while programs have it open and write it (a hot
// backup): the file as one commit left it, read while no commit is copied in
// (lock_file.h), with the journal played back in memory as the next opening
// would, written beside the destination under a name of its own
// (DEST.odb-new-PID-N), synced, and given its name in one rename: copies to
// one destination at once each write a whole file, and the last stays. The
// copy is a closed database: no journal, no lock file.
#pragma once

#include <string>

#include "disk_tools/detail/coding.h"

namespace disk_tools {

// Copies the database source to dest (each NAME or NAME.odb, as
// database_file_of takes it); returns the copy's length. Throws
// "unable to open db file..." for a source that cannot be read, "not a
// database file..." for one that is no database (dest is left as it was),
// "corrupt journal file..." for a journal beside it that cannot be trusted,
// "database is in use..." when dest is open somewhere, "unable to write db
// file..." when the copy cannot be written, and "database kept changing while
// it was copied..." when no read of it came out whole.
word_t copy_database(std::string const& source, std::string const& dest);

}  // namespace disk_tools
