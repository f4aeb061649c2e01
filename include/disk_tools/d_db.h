// The open database, the environment that containers work through, and the
// functions that create, open, close and delete a database file (NAME.odb).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/d_alloc.h"
#include "disk_tools/detail/d_journal.h"
#include "disk_tools/detail/directory.h"
#include "disk_tools/detail/lock_file.h"
#include "disk_tools/error.h"

namespace disk_tools {

class d_database;

// How a database keeps its changes safe, chosen when it is opened.
//   atomic   every operation (and every transaction) happens completely or not
//            at all if the process dies at any instant; nothing is synced, so a
//            power loss or an operating-system crash may lose recent changes.
//   durable  as atomic, and once an operation or a commit returns, its change
//            survives a power loss or an operating-system crash; each commit
//            costs a sync of the journal.
//   off      no journal: fastest, for bulk loads only; a process that dies in
//            the middle of an operation may leave the database damaged, and a
//            transaction cannot be rolled back.
enum class d_journal { atomic, durable, off };

struct d_open_options {
  d_journal journal = d_journal::atomic;
  // Durable mode: once the journal holds this many bytes of committed
  // changes, the next commit also syncs the database and starts the journal
  // afresh (two syncs more). Beside other openings (either mode), the
  // journal starts afresh past this length once no reader reads it.
  std::size_t checkpoint_bytes = std::size_t{16} << 20;
  // A database whose file does not exist is created empty first; without
  // this a missing file is "unable to open alloc file...". Only a missing
  // file is created: an existing one is never emptied.
  bool create_if_missing = false;
  // Roots made while the database is open record their container kind
  // (root_kind.h) beside their name, and a root opened as another kind is
  // refused; so is a new root whose name leaves no room for its record. The
  // two plain calls (open_database(name, env) and the three-argument
  // d_database) record nothing, so that the files of the programs written
  // against them keep exactly the bytes they always had.
  bool record_kinds = true;
  // Only reads: every change throws "database is read-only...". The file is
  // opened for reading alone, so it may be one the process cannot write;
  // a journal left by a process that died, which only an opening for writing
  // can play back, is refused ("database needs recovery...").
  bool read_only = false;
  // Atomic and durable databases may be open in many processes (and threads,
  // each with its own d_database) at once; their write transactions take
  // turns. One that finds another under way waits this long for it to end,
  // then throws "database is busy..." having changed nothing; 0 waits not at
  // all, and neither does one whose thread's other opening holds the turn.
  std::chrono::milliseconds busy_timeout{5000};
};

// A root as the directory lists it.
struct d_root_info {
  std::string name;
  std::string kind;             // the recorded kind descriptor; "" when none is recorded
  word_t slot = no_address;     // the address of the root's slot
  word_t holds = no_address;    // the word in the slot: its container's block, -1 while empty
};

// What every container needs: the database's stream, its allocator and the
// database itself. The environment owns none of them.
struct d_env {
  io_tools::bfstream* stream = nullptr;
  d_alloc* allocator = nullptr;
  d_database* database = nullptr;
};

// The environment the program is using; the program points it at its own
// environment before it creates or opens a database.
extern d_env* p_d_env;

// What a persistent object keeps of its database, shared with it: whether the
// database is still open, and a count of the changes made to its file. Any
// number of objects may work on one container; each keeps some of the file in
// memory (a map's nodes, a vector's header words), and trusts it while no
// change to its container was counted after its own last operation
// (db_handle.h).
struct db_state {
  d_database* database = nullptr;  // null once the database is closed
  // Moves on with every change to a container, every reset, and every
  // change scope begun (whatever it goes on to write: any write may move
  // the mapping).
  std::uint64_t changes = 0;
  // The count at the last reset: a change that may have touched any
  // container (a rollback, or other openings' commits followed).
  std::uint64_t reset_at = 0;
  // The same for the resets that were not other openings' commits followed:
  // the bytes those changed the stream can name (bfstream::unchanged_since).
  std::uint64_t unnamed_reset_at = 0;
  // The count at the latest change of each container changed so far, by the
  // address of its handle slot. Entries stay while the database is open, so
  // a reference to one stays valid.
  std::unordered_map<word_t, std::uint64_t> changed_at;
  // Moves on each time the opening follows commits of other openings: an
  // iterator's copy of what it stands on is stale once this moved.
  std::uint64_t followed = 0;
  // Moves on each time an object attaches by its address to a list that is
  // no root's and was made before: such an object cannot tell whether the
  // list is an element of a list of lists already.
  std::uint64_t lists_found_by_address = 0;
  bool broken = false;  // a rollback failed: only reopening helps
  // The opening was inherited through fork: it is the parent's.
  bool inherited = false;

  // The database, or "database is closed..." / "database must be reopened..."
  // / "database was opened before this process forked...".
  d_database& open() const;

  // Counts a change of the container whose handle slot is at container.
  void note_change(word_t container) { changed_at[container] = ++changes; }
  // Counts a change that may have touched every container.
  void note_reset() { reset_at = unnamed_reset_at = ++changes; }
  // The same for other openings' commits, followed through the stream.
  void note_followed() { reset_at = ++changes; }
  // Whether the container changed after the count stood at seen.
  bool changed_since(word_t container, std::uint64_t seen) const {
    if (changes == seen) return false;
    if (reset_at > seen) return true;
    auto const at = changed_at.find(container);
    return at != changed_at.end() && at->second > seen;
  }

  // Containers kept inside others (a map's list and vector values) live in
  // blocks that are freed when their entry is erased, or when the
  // transaction that made them is rolled back, and the allocator may hand the
  // same blocks to a new container at once; a removed root's directory entry
  // is taken by the next new root. An object that still names such a
  // container must not follow its handle into another's records. So each
  // handle slot whose container went keeps the windows of counts at which an
  // object may have attached to a container now gone: an object whose last
  // count lies in one is refused. Erasing (removing) one ends every earlier
  // window at its count; a rollback takes that back, and adds the window
  // from a container's making in the scope to the rollback.
  enum class gone_reason { erased, rolled_back, removed, taken_out };
  struct gone_window {
    std::uint64_t from = 0, to = 0;
    gone_reason why = gone_reason::erased;
  };
  std::unordered_map<word_t, std::vector<gone_window>> gone;
  // The latest end of a window in gone: an object whose last count is at or
  // past it cannot lie in any, and is passed with one comparison.
  std::uint64_t gone_until = 0;
  // What the open scopes of change did to gone, so that a rollback puts it
  // back: the count as each scope began, innermost last, and each container
  // freed (with the windows its handle had before) or made meanwhile, in
  // order.
  struct scope_step {
    word_t container = no_address;
    std::uint64_t at = 0;
    bool made = false;
    std::vector<gone_window> before;
  };
  std::vector<std::uint64_t> scope_began;
  std::vector<scope_step> scope_steps;

  // The spans of counts, [from, to), whose changes rollbacks took back,
  // oldest first. What an iterator copied within one (a node, a pair) may
  // name blocks the rollback freed, or a state the file no longer holds; it
  // is refused when its container changed in or after the span. The two
  // oldest spans merge past undone_limit: an iterator that could have read
  // on may then be refused, but none that must be refused passes.
  struct undone_span {
    std::uint64_t from = 0, to = 0;
  };
  static constexpr std::size_t undone_limit = 64;
  std::vector<undone_span> undone;
  // The end of the latest span: a copy made at or past it is passed with
  // one comparison.
  std::uint64_t undone_until = 0;

  // A slot table's erase moves its last entry into the erased one's place.
  // Its iterators walk the entries in order and must not pass over an entry
  // moved from ahead of them to behind them, so each table keeps its latest
  // moves, by its handle slot: the count at the move, and the entries. Past
  // move_limit the older half is forgotten, and an iterator copied before
  // forgotten_until is told stale, as one copied before such a move is.
  struct entry_move {
    std::uint64_t at = 0;
    word_t from = 0, to = 0;
  };
  struct entry_moves {
    std::uint64_t forgotten_until = 0;
    std::vector<entry_move> latest;
  };
  static constexpr std::size_t move_limit = 4096;
  std::unordered_map<word_t, entry_moves> moves;
  void note_move(word_t container, word_t from, word_t to) {
    entry_moves& m = moves[container];
    if (m.latest.size() == move_limit) {
      auto const half = m.latest.begin() + move_limit / 2;
      m.forgotten_until = (half - 1)->at + 1;
      m.latest.erase(m.latest.begin(), half);
    }
    m.latest.push_back(entry_move{changes, from, to});
  }

  // Counts the freeing of the container whose handle slot is at container:
  // an inner container erased with its entry, or a removed root.
  void note_freed(word_t container, gone_reason why = gone_reason::erased);
  // Counts the making of an inner container or a new root, which a rollback
  // of the scope it was made in takes back.
  void note_made(word_t container);
  // "container was rolled back...", "container was erased..." or "container
  // was removed..." when the container went after the count stood at seen.
  void check_not_gone(word_t container, std::uint64_t seen) const;
  // "iterator is stale: it was made or moved in a transaction that was
  // rolled back..." when a copy made at the count copied of the container
  // whose handle slot is at container (-1: not known) lies in an undone span
  // and the container changed since the span began.
  void check_not_undone(word_t container, std::uint64_t copied) const;
  // A scope of change began, committed (depth scopes remain open) or was
  // rolled back (the innermost of depth open scopes; put_back false when the
  // journal is off and its changes stay).
  void scope_begun() { scope_began.push_back(changes); }
  void scope_committed(int depth);
  void scope_rolled_back(int depth, bool put_back);
};

class d_database {
 public:
  // Opens the database file name + ".odb" (or name itself when it ends in
  // ".odb"; an empty name is refused with "empty database name...") and its
  // allocator on one shared
  // stream, plays back a journal left by a process that died, and fills env.
  // Throws "unable to open alloc file..." when the file cannot be opened for
  // reading and writing, "database is in use..." when another open database
  // holds it, "not a database file..." when it is too short to hold the
  // header or its list heads point outside it, and "corrupt journal file..."
  // when a journal was left whose records cannot be trusted.
  d_database(std::string const& name, long const& directory_offset, d_env* env);
  d_database(std::string const& name, long const& directory_offset, d_env* env,
             d_open_options const& options);
  // Rolls back a transaction left open, cuts the file to its length and
  // removes the journal. Objects still attached to the database throw
  // "database is closed..." from then on. In a child of fork, an opening
  // the parent made only lets go of the child's mappings and descriptors:
  // its locks, reader slot and journal stay the parent's.
  ~d_database();

  // Marks an opening that this process inherited through fork (the
  // library's fork handler does): every use throws "database was opened
  // before this process forked...", and closing it writes nothing.
  void disown();

  d_database(d_database const&) = delete;
  d_database& operator=(d_database const&) = delete;

  // The address of the slot of the root called name, registering the name in
  // the first free directory entry when it is new; -1 when the directory is
  // full.
  long get_address(std::string const& name);

  // Whether a root called name is registered; nothing is written.
  bool has_root(std::string const& name);
  // Whether the root called name is registered, and whether its slot holds
  // a container; nothing is written.
  enum class root_state { absent, empty, holding };
  root_state root_holds(std::string const& name);
  // Every registered root, in directory order.
  std::vector<d_root_info> roots();
  // The address of the slot of the root called name for a container of kind,
  // as the name constructors attach: the name is registered when it is new
  // (d_root::existing refuses that with "no root ... in the database..."),
  // and a root made now records kind (when the database records kinds). A
  // root that records another kind is refused with a message naming the root
  // and both kinds. -1 when the directory is full.
  long attach_root(std::string const& name, std::string const& kind, d_root mode);
  // Frees the container kept at the root called name, with every block it
  // owns (a list of lists its inner lists too), and frees its directory entry,
  // as one change. False when there is no such root. A root holding a
  // container whose kind is not recorded is refused, since its blocks cannot
  // be told apart from others'.
  bool remove_root(std::string const& name);
  // Whether an element of a list of lists, at any root whose recorded kind
  // can hold a list of kind (at any depth, or in a map's values), names the
  // list whose handle block is at handle. It walks those roots whole.
  bool held_by_an_element(word_t handle, std::string const& kind);
  // Records kind for the root called name, which holds a container made
  // without a record (by the plain opening, or an older release), so that it
  // can be removed and compacted. The caller vouches for the element types;
  // the container's shape is checked as far as it tells (the container kind,
  // and a map's key and value widths), and a misfit is refused like a
  // mismatch. Throws "no root ... in the database..." for a missing root and
  // "root name too long to record its kind..." when the record does not fit
  // beside the name ("root kind too long to record..." when it fits none).
  void record_kind(std::string const& name, std::string const& kind);
  bool records_kinds() const { return record_kinds_; }

  io_tools::bfstream* stream() { return &stream_; }
  d_alloc* allocator() { return allocator_.get(); }
  std::string const& file_name() const { return file_name_; }
  d_journal journal_mode() const { return mode_; }
  db_journal const& journal() const { return *journal_; }

  // Scopes of change (d_transaction.h): every change to the file is made
  // inside one. The outermost is a transaction; inner ones are savepoints.
  void begin_change();
  // Ends the innermost scope keeping its changes; the outermost commits.
  void commit_change();
  // Ends the innermost scope putting its changes back; memory that mirrors
  // the file (the allocator's lists, every object's cached state) is made to
  // agree again. Never throws: when the bytes cannot be put back, the
  // database refuses all further work until it is reopened, and the journal
  // stays for that.
  void rollback_change() noexcept;
  int change_depth() const { return journal_->depth(); }
  // Other processes' commits: when one was made since this opening last
  // looked, the stream, the allocator and every object read the file afresh.
  // Called as every operation starts; nothing while a transaction of either
  // kind is under way (its view of the file stays as it began), nor inside an
  // operation that pinned its commit: the reads it makes after the first
  // belong to the same commit, and following a newer one half way would
  // change the file under them.
  void follow_commits() {
    if (lock_ && pinned_ == 0 && operations_ == 0 && journal_->depth() == 0) follow();
  }
  // An operation outside transactions, once follow_commits has pinned the
  // latest commit for it (db_handle::operation): true when this one counts.
  // As the outermost such operation ends its commit rests (lock_file.h), so
  // that an opening that reads and then rests holds no checkpoint back for
  // long; while one is under way the pin holds.
  bool begin_operation() {
    if (!lock_ || alone_ || pinned_ > 0 || journal_->depth() > 0) return false;
    ++operations_;
    return true;
  }
  // follow_commits and begin_operation in one, inline, for the common case
  // beside other openings: no scope of change, read transaction or
  // operation under way, and nothing published since this opening's slot
  // last pinned the commit its view shows, which it pins again. False when
  // the long way has work to do (nothing begun then).
  bool begin_operation_on_latest() {
    if (slot_ < 0 || pinned_ > 0 || operations_ > 0 || alone_ ||
        user_.load(std::memory_order_acquire) != nullptr || journal_->depth() > 0 ||
        !lock_->holds_latest(slot_, pinned_state_)) {
      return false;
    }
    ++operations_;
    return true;
  }
  // Whether an operation that begin_operation counted is under way and no
  // scope of change is: one begun inside it goes ahead on the same pin.
  bool inside_operation() const {
    return operations_ > 0 && user_.load(std::memory_order_acquire) == nullptr;
  }
  void end_operation() noexcept {
    if (--operations_ > 0 || pinned_ > 0 || journal_->depth() > 0 || slot_ < 0) return;
    lock_->rest(slot_);
  }
  // True when an operation may start at once: no thread is inside a scope of
  // change, and there is no other opening whose commits to follow (the
  // opening is alone and nobody asked to join); or the calling thread is
  // inside a scope of change of its own, where the view stays as the scope
  // began (the thread holds the writer's turn, and follow_commits does
  // nothing). Told in a few loads, for the reads made by the million and for
  // every operation of a transaction; otherwise check_thread and
  // follow_commits have work to do.
  bool quiet() const {
    void const* const user = user_.load(std::memory_order_acquire);
    if (user == nullptr) return __atomic_load_n(others_word_, __ATOMIC_ACQUIRE) == 0;
    return user == this_thread() && journal_->depth() > 0;
  }
  // Read transactions (d_read_transaction): one pins the latest commit in the
  // lock file's reader table, and the opening shows that commit until it
  // ends, whatever others commit meanwhile; nobody waits for anybody.
  void begin_read();
  void end_read();
  bool read_only() const { return read_only_; }
  std::shared_ptr<db_state> const& state() const { return state_; }

  // One thread at a time: the thread inside the outermost scope of change
  // owns the database until that scope ends, and any other thread that
  // starts an operation on it (a read, a change, a transaction) meanwhile is
  // refused with "database is in use by another thread...". Nothing is
  // waited for and nothing is changed by the refused call.
  void check_thread() const {
    void const* const user = user_.load(std::memory_order_acquire);
    if (user && user != this_thread()) refuse_thread();
  }

 private:
  void open(d_env* env);
  // The constructor's work once the file is open; abandon() undoes what
  // it did when it throws.
  void open_file(d_env* env, d_open_options const& options);
  void abandon() noexcept;
  void open_shared(d_open_options const& options);
  // The writer's turn, or "database is busy..."; finishes what a dead
  // writer left half done, and catches up with the others' commits.
  void take_turn();
  // The view shows the published state s (pinned, or the writer's turn held).
  void catch_up(published_state const& s);
  // Whether a change of the span of n bytes at address may change a root's
  // name or kind record (a change to slots alone does not).
  bool touches_root_names(word_t address, word_t n) const;
  // Tells the objects of roots that others' commits removed (the entries
  // before them in before, the file now after them) that their root went.
  void note_roots_gone(std::vector<directory_entry> const& before);
  void follow();
  // Pins the latest commit in this opening's slot and shows it.
  void follow_pinned();
  // The opening that had the database alone takes turns from now on.
  void go_shared();
  // A read transaction's pin of the file as the opening alone left it; false
  // (nothing pinned) when another asked to join: then it takes turns.
  bool pin_alone();
  // After the outermost scope: the writer's turn ends.
  void end_turn();
  // Whether another opening of the file in this process is inside a
  // transaction of the calling thread (so it stays open after this one).
  bool file_held_in_this_thread() const;
  // A token of the calling thread: the address of one of its thread-local
  // bytes. Inline: every operation inside a transaction asks for it.
  static void const* this_thread() {
    thread_local char token;
    return &token;
  }
  // Takes the database for the calling thread; true when this call took it
  // (the outermost scope), false when the thread had it already.
  bool enter();
  void leave_when_outermost_ended();
  // After the last close of a read-only opening: plays in the commits a
  // journal left behind holds, where this process may write.
  void settle_journal_left() const;
  [[noreturn]] void refuse_thread() const;
  // Refuses a root whose kind is not recorded when its container (at top)
  // has another kind's shape; strict: also when it has no kind's shape.
  void refuse_unlike(std::string const& name, std::string const& kind, word_t top, bool strict);
  // Refuses a root without a record that holds the other of the drivers' two
  // maps than the map of kind (whose shape it has).
  void refuse_other_map(std::string const& name, std::string const& kind, word_t top);
  // Whether the map at header_at has nodes of the size kind's key and value
  // types give them (true for other kinds).
  bool map_widths_fit(std::string const& kind, word_t header_at);

  std::string file_name_;
  d_journal mode_;
  io_tools::bfstream stream_;
  std::unique_ptr<db_journal> journal_;
  std::unique_ptr<d_alloc> allocator_;
  word_t directory_offset_;
  bool record_kinds_ = false;
  std::shared_ptr<db_state> state_;
  std::atomic<void const*> user_{nullptr};  // the thread inside a scope of change
  // Shared openings (atomic and durable): where they meet; null with the
  // journal off, or for a read-only opening that cannot make the file.
  std::unique_ptr<lock_file> lock_;
  bool read_only_ = false;
  bool inherited_ = false;  // disown()
  std::chrono::milliseconds busy_timeout_{0};
  log_view view_;   // the commit the stream shows
  // The count of the latest commit the view holds, this opening's own or one
  // it followed; another count in a state it catches up with means others
  // committed.
  std::uint64_t known_commits_ = 0;
  int slot_ = -1;   // this opening's slot in the reader table, once it needs one
  int pinned_ = 0;  // read transactions under way
  int operations_ = 0;  // operations under way that pinned (begin_operation)
  // The number of the lock file's state that the last pin of slot_ showed.
  std::uint64_t pinned_state_ = ~std::uint64_t{0};
  // The first opening works without locks until another asks to join
  // (lock_file.h).
  bool alone_ = false;
  // What quiet() reads beside the thread, 0 while there is no other opening
  // whose commits to follow: the lock file's join word while the opening
  // works alone, no_others without a lock file, with_others otherwise (also
  // until the opening is done). Set with alone_ (set_others_word).
  static constexpr std::uint64_t no_others = 0;
  static constexpr std::uint64_t with_others = 1;
  std::uint64_t const* others_word_ = &with_others;
  void set_others_word() {
    others_word_ = !lock_ ? &no_others : alone_ ? lock_->join_word() : &with_others;
  }
};

// Writes a new, empty database file, replacing any old one and any journal
// left beside it; false when the file cannot be opened or is in use by an open
// database. The file is written whole and synced beside the old one
// (NAME.odb-new-PID-N), then takes its name: once this returns it survives a
// power loss, and a crash meanwhile leaves the old file (or none) or the new
// one. Creates of one name at once each write their own file; the last to
// finish leaves its file under the name, or is refused if the file of one
// before it is open by then.
// Names here and below are taken as by database_file_of.
bool create_database(std::string const& name, d_env* env);
// Opens an existing database, fills env and returns the database, which the
// caller owns (and gives back through close_database).
d_database* open_database(std::string const& name, d_env* env);
d_database* open_database(std::string const& name, d_env* env, d_open_options const& options);
// Closes and frees db; a null db is ignored.
void close_database(d_database* db);
// db, when it is a database this process has open; throws "database is
// closed..." for a null one or one closed already (an env goes on naming the
// database it was given after its close). Containers and transactions made on
// an env ask this before they touch its database.
d_database* require_open(d_database* db);

// An open database that closes itself (close_database) when the handle goes,
// for code that would rather not call close_database on every way out.
// Containers made on it must go first: declare the handle before them.
struct database_closer {
  void operator()(d_database* db) const { close_database(db); }
};
using scoped_database = std::unique_ptr<d_database, database_closer>;
// Like open_database, the database held by a handle.
scoped_database open_database_scoped(std::string const& name, d_env* env,
                                     d_open_options const& options = d_open_options{});
// Overwrites the file name + ".odb" with zeros and removes it, with the files
// beside it; false when it cannot be opened or is in use by an open database.
bool delete_database(std::string const& name);

// The slot of the root called name, for a container constructed by that name:
// like get_address, but a full directory is thrown as "root directory full..."
// so that no container ever reads or writes at -1.
word_t root_slot(d_database* db, std::string const& name);
// The same for a container of kind (attach_root).
word_t root_slot(d_database* db, std::string const& name, std::string const& kind,
                 d_root mode = d_root::open_or_create);

// The file of a database named as the library names it (NAME stands for
// NAME.odb) or by its file's own name ending in ".odb". A symbolic link
// stands for the file it leads to (its full path), so that the files beside
// the database are found beside that file; a link to a file not made yet
// too, so that create_database makes the file there. A hard link is a name of its own:
// open a database by one name only. The empty name is refused with "empty
// database name...", and a name ending in '/' (a folder's) with "database
// name ends in '/'...": either would name a hidden ".odb"; so would "." and
// "..", refused with "database name is a folder's...". A name holding a
// 0 byte, which the system would cut there, with "database name holds a 0
// byte...".
std::string database_file_of(std::string const& name_or_file);

// The names of the files that live beside a database file: the journal, and
// the allocator's index of its lists (which only saves time at opening).
std::string journal_file_of(std::string const& database_file);
std::string index_file_of(std::string const& database_file);

}  // namespace disk_tools
