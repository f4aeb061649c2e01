#include "inspect/odb_image.h"

#include <sys/stat.h>

#include <new>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/d_alloc_node.h"
#include "disk_tools/d_db.h"
#include "disk_tools/detail/d_journal.h"
#include "disk_tools/detail/lock_file.h"
#include "disk_tools/d_transaction.h"

namespace disk_tools {

namespace {

// What tells a file that changed apart from one that did not, short of
// reading it twice: its length, its modification time, the journal's header,
// and, while the database is open somewhere, the commit its lock file
// publishes (the modification time moves in steps of a clock tick, too
// coarse for a transaction written in place).
struct file_stamp {
  long long length = -1;
  long long modified_ns = -1;
  std::vector<char> journal_header;
  lock_stamp lock;

  // Whether nothing can have changed between the two stamps.
  bool same_as(file_stamp const& o) const {
    return length == o.length && modified_ns == o.modified_ns &&
           journal_header == o.journal_header && lock.open == o.lock.open &&
           lock.number == o.lock.number &&
           !lock.in_place && !o.lock.in_place;
  }
};

file_stamp stamp_of(std::string const& path) {
  file_stamp s;
  s.lock = read_lock_stamp(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    s.length = st.st_size;
    s.modified_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  }
  io_tools::bfstream j;
  j.open_head(journal_file_of(path).c_str(), journal_header::record_size);
  if (char const* h = j.view(0, journal_header::record_size)) {
    s.journal_header.assign(h, h + journal_header::record_size);
  }
  return s;
}

}  // namespace

std::string database_image::journal_note() const {
  switch (journal) {
    case journal_state::none:
      return "";
    case journal_state::idle:
      return "a journal is beside the database: a program has it open, or one died while "
             "using it; looked at as the next opening will find it";
    case journal_state::rolled_back:
      return "a journal holds a transaction that did not finish: looked at as the next opening "
             "will find it, with the transaction rolled back";
    case journal_state::replayed:
      return "a journal holds committed changes not yet in the file: looked at as the next "
             "opening will find it, with them replayed";
  }
  return "";
}

bool database_image::opens_as_database() const {
  auto const length = static_cast<word_t>(bytes.size());
  if (length < database_header_size) return false;
  auto const plausible = [&](word_t head_word) {
    word_t const head = decode_word(&bytes[static_cast<std::size_t>(head_word)]);
    return head == no_address ||
           (head >= database_header_size &&
            head <= length - static_cast<word_t>(d_alloc_node::record_size));
  };
  return plausible(alloc_list_head) && plausible(free_list_head);
}

namespace {

// The file and its journal as they are, the journal played back in memory.
database_image read_files(std::string const& path) {
  io_tools::bfstream db(path.c_str(), std::ios_base::in);
  if (db.fail()) throw error(errc::cannot_open, "unable to open db file...", path, db.open_errno());
  database_image image;
  image.file_length = db.size();
  char const* const all = db.view(0, static_cast<std::size_t>(db.size()));
  image.bytes.assign(all, all + db.size());

  // A journal never started whole is passed over without reading whatever
  // length its file has.
  if (!journal_to_read(journal_file_of(path))) return image;
  io_tools::bfstream journal(journal_file_of(path).c_str(), std::ios_base::in);
  if (!journal.fail()) {
    char const* const j = journal.view(0, static_cast<std::size_t>(journal.size()));
    recovery_plan plan;
    try {
      plan = plan_recovery(j, static_cast<std::size_t>(journal.size()), db.size());
      refuse_plan_spoiling_database(plan, image.bytes.data(), image.bytes.size());
    } catch (error const& e) {
      throw error(e.code(), e.what(), journal_file_of(path));  // the planning knows no file
    }
    if (plan.needed) {
      apply_recovery(plan, image.bytes);
      image.journal = plan.rolls_back                 ? database_image::journal_state::rolled_back
                      : plan.transactions > 0         ? database_image::journal_state::replayed
                                                      : database_image::journal_state::idle;
    }
  }
  return image;
}

// The latest commit, read as any reader reads it. An opening that had the
// database alone is asked to share it, and from then on commits through the
// journal as the others do.
database_image read_snapshot(std::string const& path) {
  d_env env{};
  d_open_options reading;
  reading.read_only = true;
  scoped_database const db = open_database_scoped(path, &env, reading);
  d_read_transaction const snapshot(&env);
  database_image image;
  auto const length = static_cast<std::size_t>(env.stream->size());
  char const* const all = env.stream->view(0, length);
  image.bytes.assign(all, all + length);
  struct stat st {};
  image.file_length = ::stat(path.c_str(), &st) == 0 ? st.st_size : static_cast<word_t>(length);
  image.journal = database_image::journal_state::idle;
  return image;
}

database_image read_image(std::string const& path) {
  // Beside openings that share the database, a snapshot costs them nothing.
  // The files read raw under a pause hold their checkpoints back for as long
  // as the log takes to read, and the log grows meanwhile: copies taken one
  // after another beside a busy writer each read a longer log than the last.
  // Should the snapshot fail (a dead writer's journal awaiting recovery, a
  // lock file this process may not write), the files are read as the next
  // opening will find them.
  if (read_lock_stamp(path).shared) {
    try {
      return read_snapshot(path);
    } catch (error const&) {
    }
  }
  database_image image;
  {
    // Writers of other processes copy no commit in while the files are read.
    publish_pause const pause(path);
    file_stamp const before = stamp_of(path);
    try {
      image = read_files(path);
    } catch (error const& e) {
      // A log that writers append to while it is read can show a later
      // commit's records past the end it had where the reading began, which
      // a log at rest holds only when damaged: read what an opening sees.
      if (e.code() != errc::corrupt_journal || !before.lock.open) throw;
      image.changed_while_read = true;
    }
    file_stamp const after = stamp_of(path);
    image.changed_while_read = image.changed_while_read || !after.same_as(before);
    // Only an opening alone writes into the file between checkpoints (in
    // place, unseen by the pause): what changed under the read was its work.
    if (!image.changed_while_read || !(before.lock.open || after.lock.open)) return image;
  }
  return read_snapshot(path);
}

}  // namespace

database_image read_database_image(std::string const& path) {
  // The tools look at a copy of the file in memory: a file longer than the
  // memory the process may have (a sparse file of terabytes) is refused as
  // such, rather than with the allocator's own words.
  try {
    return read_image(path);
  } catch (std::bad_alloc const&) {
    throw error(errc::io_failure, "database file too large to read into memory...", path);
  }
}

}  // namespace disk_tools
