#include "disk_tools/odb_copy.h"

#include <chrono>
#include <string>
#include <thread>

#include "disk_tools/d_db.h"
#include "disk_tools/detail/bfstream.h"
#include "inspect/odb_image.h"

namespace disk_tools {

namespace {

// A program that opened or closed the database while it was read may have
// changed it meanwhile: such a read is taken again.
constexpr int most_reads = 100;

database_image whole_image(std::string const& file) {
  for (int read = 1;; ++read) {
    database_image image = read_database_image(file);
    if (!image.changed_while_read) return image;
    if (read == most_reads) {
      throw error(errc::busy, "database kept changing while it was copied...", file);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

word_t copy_database(std::string const& source, std::string const& dest) {
  std::string const from = database_file_of(source);
  std::string const to = database_file_of(dest);
  database_image const image = whole_image(from);
  // What is not a database is not copied over the destination.
  if (!image.opens_as_database()) throw error(errc::not_a_database, "not a database file...", from);
  // Nobody may have the destination open while it is replaced.
  io_tools::bfstream guard(to.c_str(), std::ios_base::in | std::ios_base::out);
  if (guard.is_open() && !guard.try_lock()) throw error(errc::in_use, "database is in use...", to);
  // The copy is written under a name of its own, then takes DEST's name in
  // one rename: two copies to one destination at once each write a file of
  // their own, and the last rename stays. (Under the one name DEST.odb-new,
  // each removed or cut what the other was writing, and the first to finish
  // gave DEST the other's file half written.) A file already under the name
  // is what a process of this number left when it died; so are the others
  // of processes gone.
  std::string const fresh = io_tools::own_new_file_of(to);
  io_tools::remove_new_files_of_dead_writers(to);
  io_tools::remove_file(fresh);
  {
    io_tools::bfstream out(fresh.c_str(), std::ios_base::in | std::ios_base::out |
                                              std::ios_base::trunc);
    if (out.fail()) {
      throw error(errc::cannot_open, "unable to write db file...", fresh, out.open_errno());
    }
    try {
      out.write_at(0, image.bytes.data(), image.bytes.size());
      out.sync();
    } catch (error const&) {
      // A disk without room for the copy gets back what it took.
      out.close();
      io_tools::remove_file(fresh);
      throw;
    }
    out.close();
  }
  // A journal or side file of an old destination belongs to that file.
  io_tools::remove_file(journal_file_of(to));
  io_tools::remove_file(index_file_of(to));
  if (!io_tools::rename_file(fresh, to)) {
    io_tools::remove_file(fresh);
    throw error(errc::io_failure, "unable to write db file...", to);
  }
  io_tools::sync_directory_of(to);
  return static_cast<word_t>(image.bytes.size());
}

}  // namespace disk_tools
