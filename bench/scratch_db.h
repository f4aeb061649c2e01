// A new, open database in a scratch folder, closed when the object goes.
#pragma once

#include <stdexcept>
#include <string>

#include <disk_tools/d_db.h>
#include "journal.h"

namespace bench {

struct scratch_db {
  explicit scratch_db(std::string const& dir, journal mode = journal::plain,
                      char const* file = "containers")
      : name(dir + "/" + file) {
    if (!disk_tools::create_database(name, &env)) throw std::runtime_error("cannot create " + name);
    db = open_as(name, &env, mode);
  }
  ~scratch_db() { disk_tools::close_database(db); }
  scratch_db(scratch_db const&) = delete;
  scratch_db& operator=(scratch_db const&) = delete;

  std::string name;
  disk_tools::d_env env{};
  disk_tools::d_database* db = nullptr;
};

}  // namespace bench
