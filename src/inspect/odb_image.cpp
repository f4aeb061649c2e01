#include "inspect/odb_image.h"

#include <sys/stat.h>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/d_db.h"
#include "disk_tools/detail/d_journal.h"

namespace disk_tools {

namespace {

// What tells a file that changed apart from one that did not, short of
// reading it twice: its length, its modification time, and the journal's
// header, whose words move with every transaction.
struct file_stamp {
  long long length = -1;
  long long modified_ns = -1;
  std::vector<char> journal_header;

  bool operator==(file_stamp const& o) const {
    return length == o.length && modified_ns == o.modified_ns &&
           journal_header == o.journal_header;
  }
};

file_stamp stamp_of(std::string const& path) {
  file_stamp s;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    s.length = st.st_size;
    s.modified_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  }
  io_tools::bfstream j(journal_file_of(path).c_str(), std::ios_base::in);
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

database_image read_database_image(std::string const& path) {
  // Writers of other processes copy no commit in while the file is read.
  publish_pause const pause(path);
  file_stamp const before = stamp_of(path);
  io_tools::bfstream db(path.c_str(), std::ios_base::in);
  if (db.fail()) throw error(errc::cannot_open, "unable to open db file...", path, db.open_errno());
  database_image image;
  image.file_length = db.size();
  char const* const all = db.view(0, static_cast<std::size_t>(db.size()));
  image.bytes.assign(all, all + db.size());

  io_tools::bfstream journal(journal_file_of(path).c_str(), std::ios_base::in);
  if (!journal.fail()) {
    char const* const j = journal.view(0, static_cast<std::size_t>(journal.size()));
    recovery_plan const plan =
        plan_recovery(j, static_cast<std::size_t>(journal.size()), db.size());
    if (plan.needed) {
      apply_recovery(plan, image.bytes);
      image.journal = plan.rolls_back                 ? database_image::journal_state::rolled_back
                      : plan.transactions > 0         ? database_image::journal_state::replayed
                                                      : database_image::journal_state::idle;
    }
  }
  image.changed_while_read = !(stamp_of(path) == before);
  return image;
}

}  // namespace disk_tools
