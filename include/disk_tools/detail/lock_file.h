// The small file the processes that have one database open meet in
// (NAME.odb-lock): the locks that let them take turns, and the few words that
// tell each of them what the others committed. It is made by the first
// opening, made afresh by any opening that finds itself alone (so a damaged or
// stale one never counts), and removed by the last close. It holds nothing a
// crash could need: the database and its journal do.
//
//   offset  width  field (native byte order: the file never leaves the machine)
//   0       8      magic "odb-lock"
//   8       8      commits: moves on with every commit copied into the database
//   16      8      the database's length after the latest commit
//   24      8      where the journal's next record goes
//   32      8      1 while a writer copies a commit into the database
//   40      8      1 while the opening that found the database alone works
//                  without locks (no other opening has joined yet)
//   48      8      1 while that opening is inside a transaction
//   56      8      1 once another opening asked to join: the first takes
//                  turns like everyone from its next transaction on
//   64      8      1 while a writer holding the publish lock copies a commit
//                  in: a reader that gets the lock and finds it set knows
//                  the writer died half way
//
// An opening alone pays no system call per transaction: it announces each
// transaction in the busy word and looks at the join word (the two orders
// of store and load are fenced, so one of the two sides always sees the
// other). A joining opening waits until the first is between transactions;
// then the first has seen the request or will see it before it writes again.
//
// Byte locks on the file, held per open file (so two openings in one process
// are two holders, as two processes are), and let go by the system when
// their holder dies:
//   byte 0  gate      exclusive while one opening joins or leaves
//   byte 1  presence  shared by every opening; exclusive means alone
//   byte 2  writer    exclusive while a write transaction is under way
//   byte 3  publish   shared while a read transaction reads; exclusive while a
//                     commit is copied into the database
//   byte 4  alone     exclusive while the first opening works alone, so that
//                     one waiting to join can tell that it died
//   byte 5  turnstile readers pass it (shared) on their way to the publish
//                     lock; a writer holds it exclusive from before it asks
//                     for the publish lock, so new readers queue behind it
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "disk_tools/detail/coding.h"

namespace disk_tools {

class lock_file {
 public:
  static constexpr std::size_t magic_offset = 0;
  static constexpr std::size_t commits_offset = 8;
  static constexpr std::size_t length_offset = 16;
  static constexpr std::size_t log_end_offset = 24;
  static constexpr std::size_t publishing_offset = 32;
  static constexpr std::size_t alone_offset = 40;
  static constexpr std::size_t busy_offset = 48;
  static constexpr std::size_t join_offset = 56;
  static constexpr std::size_t copying_offset = 64;
  static constexpr std::size_t file_size = 4096;
  static constexpr char magic[9] = "odb-lock";

  // Opens (making it when missing) the lock file at path and joins the
  // openings of the database; alone() tells whether there were none. The
  // gate stays held until joined(), so that an opening that is alone can
  // set the database right (recovery) before anyone else joins. An opening
  // that finds one working alone asks it to share and waits up to
  // busy_timeout for it to be between transactions ("database is busy...").
  // Throws "unable to open lock file..." when the file cannot be made or
  // mapped.
  lock_file(std::string path, std::chrono::milliseconds busy_timeout);
  // Leaves without the closing work (a failed opening).
  ~lock_file();
  lock_file(lock_file const&) = delete;
  lock_file& operator=(lock_file const&) = delete;

  bool alone() const { return alone_; }
  // An opening that found itself alone starts the shared words afresh.
  void reset(word_t length, word_t log_end);
  // The opening alone works without locks until another asks to join.
  void work_alone();
  // Before each transaction of the opening alone: false when another asked
  // to join (it must take turns from now on, and is no longer alone).
  bool enter_alone();
  void leave_alone() { store_fenced(busy_offset, 0); }
  bool join_asked() const { return load(join_offset) != 0; }
  // The opening alone takes turns from now on.
  void stop_working_alone();
  // Lets others join: presence becomes shared, the gate is let go.
  void joined();

  // At close: takes the gate and tells whether this is the last opening.
  bool leaving();
  // Lets go of everything; the last opening removes the file first.
  void left(bool last);

  // The writer's turn: waits up to timeout (0: not at all); false when
  // another holds it still.
  bool take_writer(std::chrono::milliseconds timeout);
  void release_writer();
  // Readers share the publish lock; a commit takes it alone for the moment
  // it copies its bytes into the database.
  void read_lock();
  void read_unlock();
  void publish_lock();
  void publish_unlock();

  std::uint64_t commits() const { return load(commits_offset); }
  word_t length() const { return static_cast<word_t>(load(length_offset)); }
  word_t log_end() const { return static_cast<word_t>(load(log_end_offset)); }
  bool publishing() const { return load(publishing_offset) != 0; }
  bool copying() const { return load(copying_offset) != 0; }
  void set_copying(bool on) { store(copying_offset, on ? 1 : 0); }
  void set_log_end(word_t at) { store(log_end_offset, static_cast<std::uint64_t>(at)); }
  void set_publishing(bool on) { store(publishing_offset, on ? 1 : 0); }
  // A commit is in the database: its length is published, then the count.
  void published(word_t length);

 private:
  std::uint64_t load(std::size_t offset) const;
  void store(std::size_t offset, std::uint64_t value);
  void lock(int byte, short type);
  bool try_lock(int byte, short type);
  void unlock(int byte);
  void open_joined(std::chrono::milliseconds busy_timeout);
  // Waits for the opening alone to be between transactions; false when it
  // died meanwhile.
  bool ask_to_join(std::chrono::milliseconds busy_timeout);
  void store_fenced(std::size_t offset, std::uint64_t value);
  void close_fd();

  std::string path_;
  int fd_ = -1;
  char* map_ = nullptr;
  bool alone_ = false;
};

std::string lock_file_of(std::string const& database_file);

// Holds the publish lock shared while it lives, when the database has a lock
// file (it is open somewhere): no commit is copied into the file meanwhile.
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
