// Checks a database file's structure without trusting any byte of it: the
// header, the allocator's two lists and the blocks they describe, and the
// root directory. Containers have typed checks of their own.
#pragma once

#include <string>
#include <vector>

namespace disk_tools {

// Every problem found in the database file at path, one sentence each; empty
// when the file is sound. Throws "unable to open db file..." when the file
// cannot be read at all.
std::vector<std::string> check_database_file(std::string const& path);

}  // namespace disk_tools
