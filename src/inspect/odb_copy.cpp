#include "disk_tools/odb_copy.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
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

// DEST.odb-new-PID-N: a name no other copy running now has, this process's
// N-th copy.
std::string own_new_file_of(std::string const& dest) {
  static std::atomic<unsigned long> copies{0};
  return dest + "-new-" + std::to_string(::getpid()) + "-" + std::to_string(copies++);
}

// Removes what copies that died part way left beside dest: the files
// DEST.odb-new-PID-N of processes that are gone. A live process's file is
// its copy under way, and stays.
void remove_files_of_dead_copies(std::string const& dest) {
  namespace fs = std::filesystem;
  fs::path const to(dest);
  std::string const prefix = to.filename().string() + "-new-";
  fs::path const folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  std::error_code failed;
  for (fs::directory_iterator it(folder, failed), end; !failed && it != end;
       it.increment(failed)) {
    std::string const name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::size_t const digits = name.find_first_not_of("0123456789", prefix.size());
    if (digits == prefix.size() || digits == std::string::npos || name[digits] != '-' ||
        digits - prefix.size() > 9) {
      continue;
    }
    auto const pid = static_cast<pid_t>(std::stol(name.substr(prefix.size(), digits)));
    if (::kill(pid, 0) != 0 && errno == ESRCH) io_tools::remove_file(it->path().string());
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
  std::string const fresh = own_new_file_of(to);
  // DEST.odb-new is what a crash left of a copy made so; debris, and maybe no
  // file of ours: a link would be written through to the file it leads to.
  io_tools::remove_file(to + "-new");
  remove_files_of_dead_copies(to);
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
