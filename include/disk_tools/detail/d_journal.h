// The journal of an open database (NAME.odb-journal, records in
// journal_records.h): what makes every change atomic, and in durable mode
// lasting.
//
// Changes happen in scopes. The outermost scope is a transaction; scopes
// opened inside it are savepoints, so that one operation that fails inside a
// larger transaction takes back only its own changes. Every write to the
// database passes the journal first (it is the database stream's guard):
//
// - atomic (the default): before bytes of the database change, the journal
//   saves them in an undo record in its own mapped file; the database is
//   written in place; a commit is one word of the journal. A process that dies
//   at any instant leaves an undo journal that the next opening plays back.
//   Both files reach the operating system at once and nothing is synced.
//   Inside a transaction of several operations the file needs each byte's
//   first before-image only; the scopes inside it keep what they change in
//   memory, for rolling back one of them alone.
// - durable: the database stream keeps its writes private; at commit the
//   changed bytes go to the journal as redo records with a commit record, the
//   journal is synced, and only then are they written to the database. One
//   sync per commit; every so often a checkpoint syncs the database and starts
//   the journal afresh. Undo records stay in memory, for rollbacks. The
//   session starts by syncing the database, which an earlier session (or the
//   recovery) may have left unsynced: the log holds only changes made since.
// - off: nothing is saved; the journal keeps only the database's length, so
//   that the room a database file is grown ahead by can be cut back.
//
// The database file is lengthened ahead in large steps (bfstream), so its
// true length lives here: in the header (committed length), and for a
// transaction under way the length it began with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/coding.h"
#include "disk_tools/detail/journal_records.h"

namespace disk_tools {

enum class d_journal;
class lock_file;
struct published_state;

// Where an opening's view of a shared database stands: the commit it shows,
// where that commit's records end in the journal, and the journal's
// generation then.
struct log_view {
  std::uint64_t commit = 0;
  word_t log_at = 0;
  std::uint64_t generation = ~std::uint64_t{0};  // none yet: start from the file
};

// How an opening uses the journal beside a database that others may have open:
//   alone   no other opening: play back what a dead process left, start afresh
//   join    others have it open: use their journal as it is
//   reader  a read-only opening: never writes; refuses a journal left by a
//           dead writer that an opening alone would have to play back
enum class journal_role { alone, join, reader };

extern char const* const corrupt_journal_message;

// What recovery does to a database: the writes to make, in order, and the
// length to leave it at. Planned apart from applying, so that a checker can
// look at a database as recovery will leave it without changing a byte.
struct recovery_plan {
  bool needed = false;  // a journal with a usable header was found
  journal_kind kind = journal_kind::undo;
  bool rolls_back = false;  // an undo journal of a transaction under way
  word_t transactions = 0;  // redo: committed transactions to replay
  std::vector<std::pair<word_t, std::vector<char>>> writes;
  word_t length = -1;
};

// Reads the journal bytes against a database file of database_length bytes.
// A journal without a whole header plans nothing (it was being started when
// its process died, before anything depended on it). Throws
// "corrupt journal file..." when a header is damaged, or whole but its records
// cannot be trusted, or they do not fit the database.
recovery_plan plan_recovery(char const* journal, std::size_t journal_length,
                            word_t database_length);
// Whether the journal file at path holds a header this code wrote, judged by
// its first bytes alone whatever the file's length, so that recovery must
// read the rest of it: false when there is none, or one never started whole.
// Throws "corrupt journal file..." (naming path) when its header is damaged.
bool journal_to_read(std::string const& path);
// Throws "corrupt journal file..." when the database file (its bytes as they
// are) is a database, and plan would leave none: the file cut short of its
// header, or list heads that name no record in it. A file is a database
// before its journal begins, so only a damaged journal (one cut short, say)
// plans that, and carrying it out would spoil a file that may be whole.
void refuse_plan_spoiling_database(recovery_plan const& plan, char const* database,
                                   std::size_t database_length);
// Carries out plan on an image of the database file.
void apply_recovery(recovery_plan const& plan, std::vector<char>& image);

// Words (8-byte granules) of a database, a bit for each, kept by line of 64
// words in a table that finds a line in a probe or two: the words whose bytes
// from before a transaction its journal file holds already.
class word_set {
 public:
  // Whether every word of [first, last) (numbered address / 8) is in the set.
  bool holds(word_t first, word_t last) const;
  // holds(word, word + 1), for the one-word writes most changes make.
  bool holds_word(word_t word) const;
  void add(word_t first, word_t last);
  void clear();

 private:
  struct line {
    word_t index = -1;  // the first word's number / 64; -1: a free entry
    std::uint64_t bits = 0;
  };
  std::size_t slot_of(word_t index) const;
  void grow();

  std::vector<line> lines_;        // a power of two long (or empty)
  std::vector<std::size_t> used_;  // the entries taken, for a quick clear()
};

class db_journal final : public io_tools::bfstream::write_guard {
 public:
  // Plays back the journal a dead process left at path, if any, onto db;
  // then starts this session's journal there and becomes db's guard.
  db_journal(io_tools::bfstream& db, std::string path, d_journal mode,
             word_t checkpoint_bytes);
  // The same for one of the openings that share the database through lock
  // (null for the journal-off mode, which is never shared). Atomic mode then
  // keeps a transaction's writes in memory like durable mode (it only skips
  // the syncs): a commit goes to the journal as redo records, and into the
  // database file at a checkpoint, behind the oldest pinned snapshot.
  db_journal(io_tools::bfstream& db, std::string path, d_journal mode,
             word_t checkpoint_bytes, lock_file* lock, journal_role role);
  // Closes as close() does, unless the journal is broken (then it stays for
  // the next opening to play back).
  ~db_journal();
  db_journal(db_journal const&) = delete;
  db_journal& operator=(db_journal const&) = delete;

  // Opens a scope of change.
  void begin();
  // Ends the innermost scope keeping its changes; ending the outermost
  // commits the transaction.
  void commit();
  // Ends the innermost scope putting back the bytes it changed and the
  // database's length.
  void rollback();
  int depth() const { return static_cast<int>(scopes_.size()); }
  bool can_roll_back() const;

  // Rolls back any open scope, cuts the database file to its length and
  // removes the journal file.
  void close();
  // The same for a shared opening; only the last one to close (last) cuts
  // the file and removes the journal, the others leave both as they are.
  void close(bool last);
  // Closes without rolling back, cutting or removing anything: the journal
  // is another process's (a child of fork drops its parent's opening).
  void forsake();
  // The writer that finds a writer died appending its commit publishes it
  // when it is whole, and wipes what it left of one that is not.
  void repair_dead_writer();
  // The writer that finds one died starting the log afresh finishes that.
  void finish_dead_restart();
  // Brings the view of the database (the stream) from v to the published
  // state s, whose snapshot is pinned (or the caller holds the writer's
  // turn): from the file at the checkpoint when the log started afresh
  // since, and the commits' records after it, laid over the view.
  // before_change, when given, is told each span of the view (address and
  // length) before it changes: the whole file before the view follows it.
  void follow_log(log_view& v, published_state const& s,
                  std::function<void(word_t, word_t)> const& before_change = {});
  // The writer that has just taken its turn, the first after the opening
  // alone went shared: the journal becomes the shared redo log.
  void take_up_redo_log();
  // The writer that has just taken its turn, before its view catches up:
  // tries again to start afresh a log that a reader kept from it (the view
  // then follows the file).
  void checkpoint_long_log();
  // Where the journal's next record goes (the undo journal: after its header).
  word_t log_end() const { return redo_ ? log_end_ : journal_header::record_size; }
  // Durable mode alone: the commits at the log's end whose bytes the database
  // file does not hold yet (this opening's view does), where the first of
  // their records starts, and the length the file holds the data of.
  std::uint64_t commits_not_in_file() const { return unwritten_commits_; }
  word_t log_not_in_file() const { return unwritten_commits_ > 0 ? unwritten_from_ : log_end(); }
  word_t length_in_file() const {
    return unwritten_commits_ > 0 ? written_length_ : db_.size();
  }
  // The opening had the database alone and others join it now: from its next
  // transaction on it works as they do.
  void share();
  // After a failure the journal can no longer vouch for what it holds: it is
  // left as it is for the next opening.
  void mark_broken() { broken_ = true; }

  void before_write(word_t address, char const* now, std::size_t n) override;
  void before_rewrite(word_t address, std::size_t n) override;

  // How many records and syncs this session has made, for measurements.
  struct stats {
    long long undo_records = 0;
    long long commits = 0;
    long long checkpoints = 0;
  };
  stats const& counts() const { return stats_; }

 private:
  struct scope {
    word_t undo_end;       // where the undo records stood when it began
    word_t length;         // the database's length when it began
    std::size_t kept_end;  // where the inner scopes' copies (inner_end_) stood
    bool grouped;          // began in a transaction of several operations
  };

  void recover();
  void start();
  // before_write for a write that may need its old bytes saved.
  [[gnu::noinline]] void save_before_write(word_t address, char const* now, std::size_t n);
  // The bytes a write of n at address must save as they are, in place, n cut
  // to those below the scope's floor; null when none need saving (the
  // journal off, where the length goes down first, or bytes the scope made).
  char const* bytes_to_save(word_t address, std::size_t& n);
  void save(word_t address, char const* old, std::size_t n);
  // Saves the changed bytes [address, address + n) as they were (old), in
  // the file or in memory as the scope needs them.
  void save_changed(word_t address, char const* old, std::size_t n);
  // Atomic mode alone, in a scope inside a transaction of several
  // operations: the scope keeps a copy in memory, and the file gets the
  // bytes below the transaction's length unless it holds them already.
  void save_inside(word_t address, char const* old, std::size_t n);
  // save_inside for the one aligned word at address, below the length.
  void save_word_inside(word_t address, char const* old);
  // save_inside for one word at address, the common cases without a call.
  void keep_word_inside(word_t address, char const* old);
  void keep_word_for_scope(word_t address, char const* old);
  void keep_for_scope(word_t address, char const* old, std::size_t n);
  // The same for n bytes at address that the file's record at record holds.
  void keep_reference(word_t address, std::size_t n, word_t record);
  char* inner_room(std::size_t n);
  // Puts back what the innermost scope kept in memory, newest first.
  void put_back_grouped(scope const& s);
  // A scope ended: what it kept in memory and what the transaction saved go
  // when nobody can need them any more.
  void forget_ended_scope(scope const& s);
  void put_back(word_t undo_end);
  // Writes back the bytes of the undo records from undo_end on, newest first.
  void replay(word_t undo_end);
  // Calls f(address, old bytes, n) for each undo record from from on, newest
  // first: each byte's oldest saved value comes last.
  template <class F>
  void for_each_undo_newest_first(word_t from, F const& f);
  void commit_atomic();
  void commit_redo();
  // A shared opening's commit: its records go to the journal and it is
  // published; the file gets it at a checkpoint.
  void commit_shared(word_t length);
  // Copies into the file the commits no pinned snapshot predates, when
  // enough of them wait (copy_due), and starts the log afresh when it is
  // long and nobody reads it. view_is_latest: this opening's view shows the
  // latest commit (it has just published it).
  void checkpoint_shared(bool view_is_latest);
  // Writes the commits' bytes that the view alone holds to the database file.
  void write_unwritten();
  // Inside a commit: the database file made to hold exactly the commits
  // before it, the transaction's own bytes kept out of it.
  void put_committed_in_file();
  bool copy_due(published_state const& s) const;
  // Copies in the commits of s that no pinned snapshot predates (resting
  // ones count unless pass_resting), unless a tool reads the file; false
  // when a snapshot held some back (fewer than a batch are left waiting).
  bool copy_in_up_to(published_state const& s, bool pass_resting, bool view_is_latest);
  // Writes the commits after the checkpoint of s up to target into the file;
  // view_is_latest: this opening's view shows the latest commit of s.
  void copy_in(published_state const& s, std::uint64_t target, bool view_is_latest);
  // [begin, end) of the database file.
  using byte_range = std::pair<word_t, word_t>;
  // ranges sorted, and joined where they overlap or touch.
  static std::vector<byte_range> joined_ranges(std::vector<byte_range> ranges);
  // Joins copy_in's writes (sorted, apart) that lie a little apart, for a
  // view that shows the bytes between them; false, changing nothing, when
  // the view does not hold them all.
  bool join_nearby(std::vector<byte_range>& writes) const;
  // False when a reader keeps the log from starting afresh.
  bool restart_shared();
  void write_log_header(word_t salt, word_t length);
  // The journal's bytes [from, to) as the file holds them: in place through
  // the journal's shared mapping where it has one (no system call while the
  // file has not grown past what it maps), else read into log_bytes_. Valid
  // until the journal is read or written again.
  char const* read_log(word_t from, word_t to);
  // The redo record at at of the size bytes of log (bytes read by
  // read_log), under the log's salt (its sum, redo_record::salted); throws
  // when none is whole there, or it names no address: published commits are
  // whole.
  redo_record logged_record(char const* log, word_t size, word_t at,
                            std::uint32_t salt_sum) const;
  io_tools::bfstream& log_reader();
  // The record at at, read from the file itself; false when none is whole.
  bool record_at(word_t at, word_t salt, redo_record& r);
  void wipe_log_tail(word_t from, word_t salt);
  // Opens the journal that the other openings use.
  void join();
  void join_holding_turn();
  // Starts the redo log over the undo journal of the opening that was
  // alone, whose commits the file (length bytes) holds.
  void start_redo_log(word_t length);
  // A read-only opening that is alone: refuses a journal that needs playing
  // back.
  void refuse_hot_journal();
  // Redo mode: the log starts afresh (a checkpoint), the file holding
  // length bytes (by default all of it).
  void restart_log();
  void restart_log(word_t length);
  // Lays out the records of the transaction's pending writes and its commit
  // record (the file then length bytes long) in scratch_.
  void encode_commit(word_t length);
  // Writes the commit laid out in scratch_ at the log's end; durable mode
  // writes it for the sync that follows.
  void write_log();
  // Makes room in the log for the commit laid out in scratch_ (the file
  // then length bytes long); on a disk too full for the log to grow,
  // starts the log afresh when it can and lays the commit out again.
  void make_log_room(word_t length);
  // The outermost rollback in redo mode: forgets the pending writes, or puts
  // back the file a failed commit copy left half changed.
  void take_back_commit();
  void checkpoint();
  void write_header(journal_header const& h);
  void write_header_word(std::size_t offset, word_t value);
  // The undo header's committed length, with its check after it.
  void write_committed_length(word_t length);
  // The undo end word's check (see checked_end in d_journal.cpp).
  void write_end_check(word_t end);
  char const* undo_bytes(word_t at, std::size_t n) const;

  io_tools::bfstream& db_;
  std::string path_;
  d_journal mode_;
  lock_file* lock_ = nullptr;  // null: unjournaled, or read-only without a lock file
  bool shared_ = false;        // others may have the database open: take turns
  // Opened beside others: a close that nobody told otherwise (an opening
  // that failed) leaves the journal to them. The lock file may be gone by
  // then, so this is kept here.
  bool joined_ = false;
  bool redo_ = false;          // writes kept in memory until commit (durable, or shared)
  bool reader_ = false;
  io_tools::bfstream file_;
  io_tools::bfstream reading_;  // a read-only opening's way to the log
  std::vector<char> log_bytes_;
  std::vector<scope> scopes_;
  // Bytes from here on were not data when the innermost scope began: changing
  // them needs no undo record.
  word_t floor_ = 0;
  word_t committed_length_ = 0;
  word_t undo_end_ = journal_header::record_size;
  // Atomic mode alone, inside a transaction of several operations: the words
  // of the database below the transaction's length whose bytes from before
  // it the journal file holds already (writing them again needs no record
  // there), and every span the scopes inside it changed, as it was before
  // (in memory, or named in the file), for rolling back one scope alone.
  word_set saved_;
  std::vector<char> inner_undo_;  // what the scopes keep, up to inner_end_
  std::size_t inner_end_ = 0;
  // The transaction under way has ended a scope inside it and begun another:
  // it groups operations, and its scopes save as above from now on. (A single
  // operation nests scopes too, but seldom writes a byte twice.)
  bool grouping_ = false;
  bool inner_ended_ = false;
  // Durable mode: undo records in memory, and the redo log's state.
  std::vector<char> memory_undo_;
  word_t log_end_ = journal_header::record_size;
  word_t salt_ = 0;
  word_t transaction_ = 0;
  word_t checkpoint_bytes_;
  // The log passed its bound and a reader kept it from starting afresh at
  // this writer's last try.
  bool restart_held_ = false;
  // The commits published when checkpoint_shared last looked at the reader
  // slots and found a batch held back (never_held: it did not).
  static constexpr std::uint64_t never_held = ~std::uint64_t{0};
  std::uint64_t held_at_ = never_held;
  std::vector<char> scratch_;
  // Durable mode alone: a commit's bytes stay in the view, and go to the
  // database file with those of later commits (write_unwritten), at the
  // latest before the log starts afresh or closes; until then the log holds
  // them. The commits since the file last had them, where the first one's
  // records start, and the length of the last one it had.
  std::uint64_t unwritten_commits_ = 0;
  word_t unwritten_from_ = journal_header::record_size;
  word_t written_length_ = 0;
  bool broken_ = false;
  bool unpublished_ = false;  // a commit's copy into the file failed part way
  bool closed_ = false;
  stats stats_;
};

}  // namespace disk_tools
