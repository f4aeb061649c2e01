// The small file the processes that have one database open meet in
// (NAME.odb-lock): the locks that let them take turns, and the few words that
// tell each of them what the others committed. It is made by the first
// opening, made afresh by any opening that finds itself alone (so a damaged or
// stale one never counts), and removed by the last close. It holds nothing a
// crash could need: the database and its journal do.
//
//   offset  width  field (native byte order: the file never leaves the machine)
//   0       8      magic "odb-lk04"
//   8       8      current: the number of the state record in force, which
//                  lies at 128 + 128 * (current % 2); a writer fills the other
//                  record and then moves this word, so a reader never finds
//                  a record half written, and a writer killed while filling
//                  one leaves the one in force as it was
//   16      8      1 while a writer starts the journal afresh
//   40      8      1 while the opening that found the database alone works
//                  without locks (no other opening has joined yet)
//   48      8      1 while that opening is inside a transaction
//   56      8      1 once another opening asked to join: the first takes
//                  turns like everyone from its next transaction on
//   64      56     the writer's turn: a process-shared robust mutex, held
//                  while a write transaction is under way
//   120     8      1 while a writer appends a commit to the journal and has
//                  not yet published it: the next writer finds it set when
//                  that writer died half way (beside the turn, which only
//                  writers touch, rather than beside current, which every
//                  reader looks at: it changes twice a commit)
//   128     128    state record 0, then record 1 at 256:
//                    +0   its number (current, when it is in force)
//                    +8   commits: moves on with every commit
//                    +16  the database's length after the latest commit
//                    +24  where the journal's next record goes
//                    +32  checkpoint: the commits whose bytes the database
//                         file holds (the others are in the journal alone)
//                    +40  where the journal's records after the checkpoint start
//                    +48  the database's length at the checkpoint
//                    +56  generation: moves on each time the journal starts afresh
//                    +64  the journal's salt for this generation
//   512     32     reader slots, 112 of them to the end of the file:
//                    +0   process id of the opening that owns it; 0 when free
//                    +8   the commit its snapshot shows
//                    +16  1 while pinned; 3 while it also reads the journal;
//                         4 while resting: the opening pinned it for an
//                         operation that has ended; 5 while resting, for an
//                         opening that pins it again without a fence (below)
//
// A reader pins a snapshot with no system call: it stores the latest commit
// in its slot, fences, and looks again at the word current; when a writer
// published meanwhile it tries again. A writer publishes first and looks at
// the slots after, so one of the two always sees the other: no checkpoint
// passes a snapshot that is pinned, and the journal starts afresh only while
// nobody reads it. A slot whose process is gone (kill(pid, 0) fails with
// ESRCH) holds nothing back, and the next opening that needs a slot takes it.
//
// An operation outside a read transaction leaves its slot resting as it
// ends. A checkpoint in its batch still leaves a resting snapshot alone (what
// the opening read in place stays where it was), but one that finds the
// journal past its bound passes it: an opening that read once and then rests
// holds back no more than that. The opening pins the slot again as its next
// operation starts, and takes the latest commit when anything was published
// meanwhile. Pinning it again is fenced like a pin, but for a process that
// the system lets ask for a barrier in others' threads (membarrier's global
// expedited kind, registered for once per process): its slot rests as 5, and
// pinning it again is a plain store before the look at the word current. A
// writer about to pass such a snapshot first has the system run a barrier in
// every registered process's running threads, then looks at the slots again:
// a reader whose store had not reached the slots yet has it there by then,
// or looks at current after the barrier and finds the commit published
// before. Where the system refuses that barrier, such a snapshot is passed
// no more than a pinned one. An operation with nothing new costs a store and
// two loads then, and no fence; the barrier is asked for only when the
// journal has passed its bound and such a reader rests behind every pinned
// snapshot.
//
// An opening alone pays no system call per transaction: it announces each
// transaction in the busy word and looks at the join word (the two orders
// of store and load are fenced, so one of the two sides always sees the
// other). A joining opening waits until the first is between write
// transactions; then the first has seen the request or will see it before it
// writes again. A read transaction of the first pins its slot in the reader
// table before it looks at the join word, fenced as a pin is: either it sees
// the request and takes turns from then on, or the joiner's checkpoints see
// the pin.
//
// The writer's turn is taken without a system call when nobody else wants
// it: a mutex in the mapped file, shared between processes and robust, so
// that a holder that dies hands it to the next taker marked as left by the
// dead (who goes on as after any dead writer: the words at 16 and 32 tell
// what it left half done). It is made afresh with the rest of the file by an opening
// that finds itself alone, so a damaged one never counts.
//
// Byte locks on the file, held per open file (so two openings in one process
// are two holders, as two processes are), and let go by the system when
// their holder dies:
//   byte 0  gate      exclusive while one opening joins or leaves
//   byte 1  presence  shared by every opening; exclusive means alone
//   byte 3  publish   shared while a tool reads the database file and its
//                     journal without opening them; exclusive while a
//                     checkpoint copies commits into the database
//   byte 4  alone     exclusive while the first opening works alone, so that
//                     one waiting to join can tell that it died
//
// And one byte lock on the database file itself, at 2^62 (far past any data),
// shared by every opening for as long as it lives, read-only ones too. The
// lock file and the journal go beside the name the database was opened by,
// so an opening through another name of the same file (a hard link, or
// another path to it through a mount) would find neither and take itself for
// alone. An opening that finds itself alone at its lock file therefore asks
// whether anyone else holds that byte: someone does when the file is open
// through another name, and the opening is refused ("database is in use
// through another name..."). It takes its own share before it asks, so that
// of two names opened at once neither passes unseen by the other, and lets go
// of it before it removes the lock file or lets go of the gate, so that a
// newcomer alone never finds the share of one that is leaving.
#pragma once

#include <pthread.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "disk_tools/detail/coding.h"
#include "disk_tools/error.h"

namespace disk_tools {

// What the state record in force says (the layout above).
struct published_state {
  std::uint64_t number = 0;
  std::uint64_t commits = 0;
  word_t length = 0;
  word_t log_end = 0;
  std::uint64_t checkpoint = 0;
  word_t checkpoint_log = 0;
  word_t checkpoint_length = 0;
  std::uint64_t generation = 0;
  word_t salt = 0;
};

class lock_file {
 public:
  static constexpr std::size_t magic_offset = 0;
  static constexpr std::size_t current_offset = 8;
  static constexpr std::size_t restarting_offset = 16;
  static constexpr std::size_t alone_offset = 40;
  static constexpr std::size_t busy_offset = 48;
  static constexpr std::size_t join_offset = 56;
  static constexpr std::size_t writer_offset = 64;
  static constexpr std::size_t writer_size = 56;
  static constexpr std::size_t publishing_offset = 120;
  static constexpr std::size_t records_offset = 128;
  static constexpr std::size_t record_size = 128;
  static constexpr std::size_t slots_offset = 512;
  static constexpr std::size_t slot_size = 32;
  static constexpr std::size_t file_size = 4096;
  static constexpr int slot_count = static_cast<int>((file_size - slots_offset) / slot_size);
  static constexpr char magic[9] = "odb-lk04";
  // The slot states.
  static constexpr std::uint64_t pinned = 1;
  static constexpr std::uint64_t reading = 3;
  static constexpr std::uint64_t resting = 4;
  static constexpr std::uint64_t resting_unfenced = 5;

  // Opens (making it when missing) the lock file of database_file and joins the
  // openings of the database; alone() tells whether there were none. The
  // gate stays held until joined(), so that an opening that is alone can
  // set the database right (recovery) before anyone else joins. An opening
  // that finds one working alone asks it to share and waits up to
  // busy_timeout for it to be between transactions ("database is busy...").
  // Throws "unable to open lock file..." when the file cannot be made or
  // mapped. database_fd is a descriptor of database_file, for the byte lock
  // that finds openings through another name (above): an opening alone that
  // finds one is refused ("database is in use through another name...") and
  // removes the lock file, which no other opening uses.
  lock_file(std::string database_file, int database_fd, std::chrono::milliseconds busy_timeout);
  // Leaves without the closing work (a failed opening).
  ~lock_file();
  // Lets go of this process's mapping and descriptor alone, as a child of
  // fork must with its parent's opening: the reader slot, the writer's turn
  // and the byte locks stay the parent's (a descriptor shared through fork
  // shares its locks, and closing it releases none of them).
  void forsake();
  // In a child of fork, at once: the descriptors of the parent's opening name
  // /dev/null from now on, so that its byte locks go when the parent lets go
  // of them or dies, whatever the child does meanwhile (forsake still comes).
  void let_go_inherited();
  lock_file(lock_file const&) = delete;
  lock_file& operator=(lock_file const&) = delete;

  bool alone() const { return alone_; }
  // An opening that found itself alone starts the shared words afresh: the
  // database file holds every commit, the journal's records start at
  // log_end (0: there is no journal yet) and no slot is taken.
  void reset(word_t length, word_t log_end);
  // The opening alone works without locks until another asks to join.
  void work_alone();
  // Before each transaction of the opening alone: false when another asked
  // to join (it must take turns from now on, and is no longer alone).
  bool enter_alone() {
    store_fenced(busy_offset, 1);
    if (__atomic_load_n(join_word(), __ATOMIC_SEQ_CST) == 0) return true;
    store_fenced(busy_offset, 0);
    return false;
  }
  void leave_alone() { store_fenced(busy_offset, 0); }
  bool join_asked() const { return __atomic_load_n(join_word(), __ATOMIC_ACQUIRE) != 0; }
  // The join word in the mapping, which the opening alone looks at as every
  // operation starts (d_database::quiet).
  std::uint64_t const* join_word() const {
    return reinterpret_cast<std::uint64_t const*>(map_ + join_offset);
  }
  // The opening alone takes turns from now on.
  void stop_working_alone();
  // Lets others join: presence becomes shared, the gate is let go.
  void joined();

  // At close: takes the gate and tells whether this is the last opening.
  bool leaving();
  // Lets go of everything; the last opening removes the file first.
  void left(bool last);

  // The writer's turn: waits up to timeout (0: not at all); false when
  // another holds it still (or another opening of this thread does, which
  // cannot let go while this one waits). No system call when it is free.
  bool take_writer(std::chrono::milliseconds timeout);
  void release_writer();
  // The writer's turn for an opening that joins (it sets the journal up for
  // sharing, which takes a moment): waits up to the busy timeout it was
  // opened with; "database is busy..." when that runs out, or when another
  // opening of this thread holds the turn.
  void wait_writer();
  // Whether some live opening holds the writer's turn.
  bool writer_busy();
  // A checkpoint copies commits into the database only while no tool reads
  // the file: false, at once, when one does.
  bool try_publish_lock();
  void publish_unlock();
  void publish_lock();

  // The state record in force, read whole (the writer's own copy of it while
  // nobody else published since).
  published_state state() const;
  // The writer: a commit is in the journal (its records end at log_end).
  void publish_commit(word_t length, word_t log_end);
  // The writer alone: a commit. The database file holds all but the last
  // `behind` commits, whose records start at file_log, and the data of
  // file_length bytes. Returns the commit's count.
  std::uint64_t publish_in_place(word_t length, word_t log_end, std::uint64_t behind = 0,
                                 word_t file_log = -1, word_t file_length = -1);
  // The writer: the database file holds the commits up to `commit` now.
  void publish_checkpoint(std::uint64_t commit, word_t log_at, word_t length);
  // The writer: the journal starts afresh at log_start with salt, the file
  // holding every commit (and its length being length).
  void publish_log_start(word_t salt, word_t log_start, word_t length);

  bool publishing() const { return load(publishing_offset) != 0; }
  void set_publishing(bool on) { store(publishing_offset, on ? 1 : 0); }
  bool restarting() const { return load(restarting_offset) != 0; }
  // The writer, before it starts the journal afresh: false (and nothing
  // announced) when a reader is reading the journal.
  bool begin_restart();
  void end_restart() { store_fenced(restarting_offset, 0); }

  // A slot of the reader table for this opening (a free one, or one whose
  // process is gone). Throws "reader table full..." when there is none.
  int take_slot();
  void free_slot(int slot);
  // Pins the latest commit in slot, marked as reading the journal, and
  // returns the state it belongs to; no system call.
  published_state pin(int slot);
  // Whether slot is pinned (and not reading the journal) and the state in
  // force is still the one numbered number: then the snapshot pinned then is
  // the latest. Two loads and no store, for an opening that reads again
  // with nothing published meanwhile; a resting slot is pinned again first.
  // Inline: every operation outside transactions beside other openings
  // starts here.
  bool holds_latest(int slot, std::uint64_t number) {
    std::uint64_t const state = load_slot(slot, 16);
    if (state == resting || state == resting_unfenced) {
      // Nothing to keep when others published since: pin() takes the latest.
      if (load(current_offset) != number) return false;
      // Fenced as a pin is: a writer that passed the resting snapshot
      // published a commit first, which the look below then sees. Without a
      // fence, the writer's barrier in this thread does the same (above);
      // the compiler must still keep the look after the store.
      store_slot(slot, 16, pinned);
      if (state == resting) {
        __atomic_thread_fence(__ATOMIC_SEQ_CST);
      } else {
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
      }
    } else if (state != pinned) {
      return false;
    }
    return load(current_offset) == number;
  }
  // An operation that pinned slot has ended (see resting above).
  void rest(int slot) {
    if (load_slot(slot, 16) == pinned) store_slot(slot, 16, unfenced_ ? resting_unfenced : resting);
  }
  // The journal read: the snapshot stays pinned.
  void done_reading(int slot) { store_slot(slot, 16, pinned); }
  void unpin(int slot) { store_slot(slot, 16, 0); }
  // unpin for a slot that most likely is not pinned (the writer's, at every
  // commit): looked at first, so that the line it shares with another
  // reader's slot is not taken from that reader for nothing.
  void unpin_if_pinned(int slot) {
    if (load_slot(slot, 16) != 0) unpin(slot);
  }
  // The oldest commit a live reader has pinned, latest when none is older;
  // resting snapshots count unless pass_resting. Looks at a slot's process
  // only when it holds something back.
  // Resting snapshots that pin again without a fence are passed only after
  // the system's barrier in their threads (above).
  std::uint64_t oldest_pinned(std::uint64_t latest, bool pass_resting) const;

 private:
  std::uint64_t load(std::size_t offset) const {
    return __atomic_load_n(reinterpret_cast<std::uint64_t const*>(map_ + offset),
                           __ATOMIC_ACQUIRE);
  }
  void store(std::size_t offset, std::uint64_t value) {
    __atomic_store_n(reinterpret_cast<std::uint64_t*>(map_ + offset), value, __ATOMIC_RELEASE);
  }
  // The reads of a snapshot come before the stores that let it go; a pin is
  // fenced on its own (pin).
  void store_slot(int slot, std::size_t field, std::uint64_t value) {
    store(slots_offset + slot_size * static_cast<std::size_t>(slot) + field, value);
  }
  std::uint64_t load_slot(int slot, std::size_t field) const {
    return __atomic_load_n(reinterpret_cast<std::uint64_t const*>(
                               map_ + slots_offset + slot_size * static_cast<std::size_t>(slot) +
                               field),
                           __ATOMIC_SEQ_CST);
  }
  // The oldest commit a live reader has pinned, latest when none is older,
  // passing resting snapshots as told; passed, when given, comes down to
  // the oldest unfenced resting snapshot of a live reader that was passed.
  std::uint64_t oldest_of_slots(std::uint64_t latest, bool pass_fenced, bool pass_unfenced,
                                std::uint64_t* passed) const;
  // Whether the process that owns a slot is gone; this one never is.
  bool gone(std::uint64_t pid) const;
  // The same for the owner of slot i, asked of the system at most once in
  // alive_for while it lives: a slot that holds a commit back is looked at
  // by every commit, and a system call costs more than the commit. A dead
  // owner found late only holds its commit back a little longer.
  bool owner_gone(int slot, std::uint64_t pid) const;
  // The state record in force as kept_, read afresh unless kept_ is still
  // the one in force.
  published_state const& kept_state() const;
  // The same, for the writer to build the next record from.
  published_state& latest_to_write();
  // Publishes kept_ as the next record; kept_ is the record in force
  // (latest_to_write, or a reset whose current is 0).
  void write_record();
  void lock(int byte, short type);
  bool try_lock(int byte, short type);
  void unlock(int byte);
  void open_joined(int database_fd, std::chrono::milliseconds busy_timeout);
  // The gate, waited for up to busy_timeout and a second at least; "database
  // is busy..." when it stays held longer.
  void take_gate(std::chrono::milliseconds busy_timeout);
  // Holds this opening's share of the database file's byte lock (above),
  // through a descriptor of its own open file (a duplicate: the lock is the
  // stream's open file's, and lives as long as it does).
  void claim_database(int database_fd);
  // Lets go of it (unless forsaking: then it is the parent's).
  void release_database(bool forsaking);
  // Waits for the opening alone to be between transactions; false when it
  // died meanwhile.
  bool ask_to_join(std::chrono::milliseconds busy_timeout);
  void store_fenced(std::size_t offset, std::uint64_t value) {
    __atomic_store_n(reinterpret_cast<std::uint64_t*>(map_ + offset), value, __ATOMIC_SEQ_CST);
  }
  void close_fd();
  // The mutex of the writer's turn, in the mapped file.
  pthread_mutex_t* writer_mutex() const;
  void make_writer_mutex();
  // What pthread_mutex_*lock returned: true when the turn is this
  // opening's now (a dead holder's is taken over), false when busy.
  bool took_writer(int result);

  std::string database_file_;
  std::string path_;
  std::chrono::milliseconds busy_timeout_;
  int fd_ = -1;
  int database_fd_ = -1;  // the duplicate that holds the database file's byte lock
  char* map_ = nullptr;
  bool alone_ = false;
  bool writing_ = false;  // this opening holds the writer's turn
  int slot_ = -1;  // the reader slot this opening took, freed when it goes
  // This process may pin a resting snapshot again without a fence (above).
  bool unfenced_ = false;
  // The record this opening published or read last as the writer (number 0
  // before the first).
  mutable published_state kept_{};
  // This process's id, asked once (it names the slots this opening takes).
  std::uint64_t pid_;
  // When each slot's owner was last found alive, and which process that was.
  struct seen_alive {
    std::uint64_t pid = 0;
    std::chrono::steady_clock::time_point at{};
  };
  static constexpr std::chrono::milliseconds alive_for{100};
  mutable std::array<seen_alive, static_cast<std::size_t>(slot_count)> alive_{};
};

std::string lock_file_of(std::string const& database_file);

// Whether the database is open somewhere: an opening holds its lock file's
// presence lock. Needs only to read the lock file.
bool open_elsewhere(std::string const& database_file);

// Whether an opening holds the database file open, through whatever name (its
// byte lock above); one through database_fd's own open file does not count.
bool open_through_any_name(int database_fd);

// A read-only opening whose process may not write the lock file cannot follow
// anyone's commits, so it is let in only while nobody else has the database,
// and every later opening for writing is kept out while it stays. It marks
// itself with a shared byte lock on the database file (through database_fd's
// open file, so it goes when the file closes); false when the system refuses.
bool mark_unfollowed(int database_fd);
// Whether such an opening holds the database file open, through whatever name.
bool open_unfollowed(int database_fd);

// A descriptor a child of fork inherited names /dev/null from now on: the
// open file it shared with the parent, and the locks on it, are the parent's
// alone; fd stays a descriptor for its owner to close. Left as it is when
// /dev/null cannot be opened.
void let_go_inherited(int fd);

// The error for an opening through another name of a file that is open.
error in_use_through_another_name(std::string const& database_file);

// The state record in force in the lock file of a database that is open
// somewhere; false when it has no lock file (or one of another kind). Changes
// nothing; for the tools that look inside.
bool read_published_state(std::string const& database_file, published_state& out);

// What a tool that reads a database without opening it compares before and
// after: the number of the state record in force, which moves with every
// commit, and whether an opening alone is inside a transaction (it changes
// the file in place, and publishes only when it commits).
struct lock_stamp {
  bool open = false;  // the database has a lock file: it is open somewhere
  std::uint64_t number = 0;
  bool in_place = false;
  bool shared = false;  // its openings commit through the log: none writes in place
};
// Not open when the database has no lock file (or one of another kind).
lock_stamp read_lock_stamp(std::string const& database_file);

// Holds the publish lock shared while it lives, when the database has a lock
// file (it is open somewhere): no checkpoint copies commits into the file
// meanwhile (the commits go on, into the journal).
// Makes no file and changes no byte; for the tools that read a database
// without opening it.
class publish_pause {
 public:
  explicit publish_pause(std::string const& database_file);
  ~publish_pause();
  publish_pause(publish_pause const&) = delete;
  publish_pause& operator=(publish_pause const&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace disk_tools
