#include "disk_tools/detail/lock_file.h"

#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <csignal>
#include <cstring>
#include <thread>

#include "disk_tools/error.h"

namespace disk_tools {

namespace {

constexpr int gate_byte = 0;
constexpr int presence_byte = 1;
constexpr int publish_byte = 3;
constexpr int alone_byte = 4;
// On the database file: shared by every opening, through whatever name.
constexpr off_t name_byte = off_t{1} << 62;
// On the database file: held by each read-only opening that cannot follow.
constexpr off_t unfollowed_byte = name_byte + 1;

char const* const unable_to_open_lock = "unable to open lock file...";

struct flock byte_lock(off_t byte, short type) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = byte;
  l.l_len = 1;
  return l;
}

// Whether fd is still the file at path: the last close removes the file, and
// an opening that waited at its gate meanwhile holds a file nobody else will
// find.
bool still_named(int fd, std::string const& path) {
  struct stat open_file {}, named {};
  return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open_file.st_ino == named.st_ino && open_file.st_dev == named.st_dev;
}

// Opens the lock file of database_file for a look that changes nothing. A
// named pipe in its place would keep a plain opening waiting for a writer.
int open_to_look(std::string const& database_file) {
  return ::open(lock_file_of(database_file).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

#ifdef __NR_membarrier
int membarrier(int command) { return static_cast<int>(::syscall(__NR_membarrier, command, 0, 0)); }
#endif

// Whether the process pid (the calling one) may pin a resting snapshot again
// without a fence: the system can run a barrier in its threads when a writer
// asks (lock_file.h). Asked of the system once per process; a child of fork
// asks afresh.
bool barrier_registered(std::uint64_t pid) {
#ifdef __NR_membarrier
  static std::atomic<std::uint64_t> registered{0};
  if (registered.load(std::memory_order_acquire) == pid) return true;
  int const offered = membarrier(MEMBARRIER_CMD_QUERY);
  if (offered < 0 || (offered & MEMBARRIER_CMD_GLOBAL_EXPEDITED) == 0 ||
      (offered & MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED) == 0 ||
      membarrier(MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED) != 0) {
    return false;
  }
  registered.store(pid, std::memory_order_release);
  return true;
#else
  (void)pid;
  return false;
#endif
}

// A barrier in every running thread of the processes registered above;
// false when the system refuses it.
bool others_barrier() {
#ifdef __NR_membarrier
  return membarrier(MEMBARRIER_CMD_GLOBAL_EXPEDITED) == 0;
#else
  return false;
#endif
}

}  // namespace

std::string lock_file_of(std::string const& database_file) {
  return database_file + "-lock";
}

bool open_through_any_name(int database_fd) {
  struct flock l = byte_lock(name_byte, F_WRLCK);
  return ::fcntl(database_fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

bool mark_unfollowed(int database_fd) {
  struct flock l = byte_lock(unfollowed_byte, F_RDLCK);
  while (::fcntl(database_fd, F_OFD_SETLK, &l) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool open_unfollowed(int database_fd) {
  struct flock l = byte_lock(unfollowed_byte, F_WRLCK);
  return ::fcntl(database_fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

error in_use_through_another_name(std::string const& database_file) {
  return error(errc::in_use,
               "database is in use through another name (a hard link or another path to the "
               "same file)...",
               database_file);
}

bool open_elsewhere(std::string const& database_file) {
  int const fd = open_to_look(database_file);
  if (fd < 0) return false;
  struct flock l = byte_lock(presence_byte, F_WRLCK);
  bool const held = ::fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

publish_pause::publish_pause(std::string const& database_file) {
  fd_ = open_to_look(database_file);
  if (fd_ < 0) return;
  struct flock l = byte_lock(publish_byte, F_RDLCK);
  while (::fcntl(fd_, F_OFD_SETLKW, &l) != 0) {
    if (errno == EINTR) continue;
    ::close(fd_);  // a lock file that cannot be locked guards nothing
    fd_ = -1;
    return;
  }
}

publish_pause::~publish_pause() {
  if (fd_ >= 0) ::close(fd_);
}

lock_file::lock_file(std::string database_file, int database_fd,
                     std::chrono::milliseconds busy_timeout)
    : database_file_(std::move(database_file)),
      path_(lock_file_of(database_file_)),
      busy_timeout_(busy_timeout),
      pid_(static_cast<std::uint64_t>(::getpid())) {
  open_joined(database_fd, busy_timeout);
  // Nobody else meets here, and the gate keeps newcomers out: an opening of
  // the file found now came through another name.
  if (alone_ && open_through_any_name(database_fd_)) {
    release_database(false);
    ::unlink(path_.c_str());
    close_fd();
    throw in_use_through_another_name(database_file_);
  }
}

lock_file::~lock_file() {
  close_fd();
}

void lock_file::forsake() {
  slot_ = -1;
  writing_ = false;
  release_database(true);
  close_fd();
}

void let_go_inherited(int fd) {
  if (fd < 0) return;
  int const null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null < 0) return;
  // dup2 closes fd's reference to the shared file and reuses the number.
  while (::dup2(null, fd) < 0 && errno == EINTR) {
  }
  ::close(null);
}

void lock_file::let_go_inherited() {
  disk_tools::let_go_inherited(fd_);
  disk_tools::let_go_inherited(database_fd_);
  if (!map_) return;
  // The mapping keeps the open file too: the child goes on with a private
  // copy of the words, which no other process sees.
  char words[file_size];
  std::memcpy(words, map_, file_size);
  void* const at = ::mmap(map_, file_size, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (at != MAP_FAILED) std::memcpy(map_, words, file_size);
}

void lock_file::claim_database(int database_fd) {
  database_fd_ = ::fcntl(database_fd, F_DUPFD_CLOEXEC, 0);
  int err = database_fd_ < 0 ? errno : 0;
  struct flock l = byte_lock(name_byte, F_RDLCK);
  while (err == 0 && ::fcntl(database_fd_, F_OFD_SETLK, &l) != 0) {
    if (errno != EINTR) err = errno;
  }
  if (err == 0) return;
  if (database_fd_ >= 0) ::close(database_fd_);
  database_fd_ = -1;
  // Nobody here takes that byte exclusive: another program holds the file.
  if (err == EAGAIN || err == EACCES) {
    throw error(errc::in_use, "database is in use...", database_file_);
  }
  throw error(errc::io_failure, "unable to lock db file...", database_file_, err);
}

void lock_file::release_database(bool forsaking) {
  if (database_fd_ < 0) return;
  // The lock is the open file's, which the stream (and, after a fork, the
  // parent) shares: closing a duplicate lets go of nothing.
  if (!forsaking) {
    struct flock l = byte_lock(name_byte, F_UNLCK);
    while (::fcntl(database_fd_, F_OFD_SETLK, &l) != 0 && errno == EINTR) {
    }
  }
  ::close(database_fd_);
  database_fd_ = -1;
}

void lock_file::close_fd() {
  // Before the gate opens, for the same reason (left).
  release_database(false);
  if (map_ && slot_ >= 0) free_slot(slot_);
  release_writer();
  slot_ = -1;
  if (map_) ::munmap(map_, file_size);
  map_ = nullptr;
  if (fd_ >= 0) ::close(fd_);  // every byte lock of this opening goes with it
  fd_ = -1;
}

void lock_file::open_joined(int database_fd, std::chrono::milliseconds busy_timeout) {
  for (;;) {
    do {
      fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw error(errc::cannot_open, unable_to_open_lock, path_, errno);
    try {
      take_gate(busy_timeout);
    } catch (...) {
      close_fd();
      throw;
    }
    if (still_named(fd_, path_)) break;
    close_fd();
  }
  try {
    claim_database(database_fd);
  } catch (...) {
    close_fd();
    throw;
  }
  alone_ = try_lock(presence_byte, F_WRLCK);
  if (!alone_) lock(presence_byte, F_RDLCK);
  struct stat st {};
  // The file's blocks are allocated, not only its length set: on a full disk
  // a page of the mapping with no block behind it faults (SIGBUS) when
  // written, where this is an error the opening can report.
  int err = ::fstat(fd_, &st) != 0 ? errno : 0;
  if (err == 0 && st.st_size < static_cast<off_t>(file_size)) {
    do {
      err = ::posix_fallocate(fd_, 0, static_cast<off_t>(file_size));
    } while (err == EINTR);
  }
  void* const at =
      err ? MAP_FAILED : ::mmap(nullptr, file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (at == MAP_FAILED) {
    int const e = err ? err : errno;
    close_fd();
    throw error(errc::cannot_open, unable_to_open_lock, path_, e);
  }
  map_ = static_cast<char*>(at);
  // Others keep these words; one that is not ours cannot be repaired under them.
  if (!alone_ && std::memcmp(map_ + magic_offset, magic, 8) != 0) {
    close_fd();
    throw error(errc::cannot_open, unable_to_open_lock, path_);
  }
  if (alone_ || load(alone_offset) == 0) return;
  bool joined = false;
  try {
    joined = ask_to_join(busy_timeout);
  } catch (...) {
    close_fd();
    throw;
  }
  if (joined) return;
  // The opening that worked alone died, maybe inside a transaction: this one
  // is alone now (the gate keeps newcomers out) and sets the database right.
  alone_ = try_lock(presence_byte, F_WRLCK);
  if (!alone_) {
    close_fd();
    throw error(errc::busy, "database is busy...", path_);
  }
}

void lock_file::take_gate(std::chrono::milliseconds busy_timeout) {
  // Others hold the gate a moment to join or leave, but one that joins beside
  // a writer inside a long transaction holds it while it waits for its turn,
  // up to its own timeout; so the wait here is bounded too, and is never
  // shorter than a second, which outlasts any moment.
  auto const wait = std::max<std::chrono::milliseconds>(busy_timeout, std::chrono::seconds(1));
  auto const deadline = std::chrono::steady_clock::now() + wait;
  while (!try_lock(gate_byte, F_WRLCK)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw error(errc::busy, "database is busy...", path_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool lock_file::ask_to_join(std::chrono::milliseconds busy_timeout) {
  store_fenced(join_offset, 1);
  auto const deadline = std::chrono::steady_clock::now() + busy_timeout;
  for (;;) {
    if (__atomic_load_n(reinterpret_cast<std::uint64_t const*>(map_ + busy_offset),
                        __ATOMIC_SEQ_CST) == 0) {
      // Between transactions: its next one sees the request.
      store(alone_offset, 0);
      return true;
    }
    if (try_lock(alone_byte, F_RDLCK)) {
      unlock(alone_byte);
      if (load(alone_offset) != 0) return false;  // died working alone
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw error(errc::busy, "database is busy...", path_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void lock_file::work_alone() {
  lock(alone_byte, F_WRLCK);
  store(busy_offset, 0);
  store(join_offset, 0);
  store_fenced(alone_offset, 1);
}

void lock_file::stop_working_alone() {
  store(alone_offset, 0);
  unlock(alone_byte);
}

void lock_file::reset(word_t length, word_t log_end) {
  store(publishing_offset, 0);
  store(restarting_offset, 0);
  store(alone_offset, 0);
  store(busy_offset, 0);
  store(join_offset, 0);
  std::memset(map_ + records_offset, 0, file_size - records_offset);
  kept_ = published_state{};
  kept_.length = kept_.checkpoint_length = length;
  kept_.log_end = kept_.checkpoint_log = log_end;
  store(current_offset, 0);
  write_record();
  make_writer_mutex();
  std::memcpy(map_ + magic_offset, magic, 8);
}

void lock_file::joined() {
  lock(presence_byte, F_RDLCK);  // a conversion: nobody can slip in between
  unlock(gate_byte);
}

bool lock_file::leaving() {
  lock(gate_byte, F_WRLCK);
  return try_lock(presence_byte, F_WRLCK);
}

void lock_file::left(bool last) {
  // Before the name goes: a newcomer that makes the file afresh does not
  // wait at this gate, and would take this opening's share for another name's.
  release_database(false);
  if (last) ::unlink(path_.c_str());
  close_fd();
}

static_assert(sizeof(pthread_mutex_t) <= lock_file::writer_size,
              "the writer's mutex fits its place in the lock file");
// Every reader looks at current again and again; a word the writer stores
// at every commit beside it would take the line from all of them each time.
static_assert(lock_file::publishing_offset / 64 != lock_file::current_offset / 64 &&
                  lock_file::publishing_offset / 64 == lock_file::writer_offset / 64,
              "the publishing mark shares a cache line with the writer's turn, not with current");

pthread_mutex_t* lock_file::writer_mutex() const {
  return reinterpret_cast<pthread_mutex_t*>(map_ + writer_offset);
}

void lock_file::make_writer_mutex() {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  // Robust: the system marks it when its holder dies, and the next taker
  // gets it with EOWNERDEAD instead of waiting forever.
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  // Error checking: a thread whose other opening holds it is told so
  // (EDEADLK) instead of waiting for itself.
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK);
  std::memset(map_ + writer_offset, 0, writer_size);
  int const r = pthread_mutex_init(writer_mutex(), &a);
  pthread_mutexattr_destroy(&a);
  if (r != 0) throw error(errc::io_failure, "unable to lock lock file...", path_, r);
}

bool lock_file::took_writer(int result) {
  if (result == EOWNERDEAD) {
    // Its holder died inside a write transaction: what it left half done is
    // marked in the words above, and the caller sets it right.
    pthread_mutex_consistent(writer_mutex());
    result = 0;
  }
  if (result == 0) {
    writing_ = true;
    return true;
  }
  if (result == EBUSY || result == ETIMEDOUT || result == EDEADLK) return false;
  // ENOTRECOVERABLE or EINVAL: the words are not a mutex any more.
  throw error(errc::io_failure, "unable to lock lock file...", path_, result);
}

bool lock_file::take_writer(std::chrono::milliseconds timeout) {
  if (writing_) return true;
  int const first = pthread_mutex_trylock(writer_mutex());
  if (took_writer(first)) return true;
  // Another opening of this very thread holds the turn: it cannot let go
  // while this one waits, so a wait would only stall the thread.
  if (timeout.count() <= 0 || first == EDEADLK) return false;
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  // A holder killed at the wrong moment can leave the mutex marked as left
  // by the dead but without the mark that others sleep on it: the system
  // then wakes none of them. So nobody sleeps on it for long, and each wait
  // that runs out looks at the mutex afresh.
  constexpr auto slice = std::chrono::milliseconds(20);
  for (;;) {
    auto const now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    auto const wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::min<std::chrono::steady_clock::duration>(deadline - now, slice));
    struct timespec at {};
    ::clock_gettime(CLOCK_MONOTONIC, &at);
    long long const ns = at.tv_nsec + static_cast<long long>(wait.count());
    at.tv_sec += static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    int r;
    do {
      r = pthread_mutex_clocklock(writer_mutex(), CLOCK_MONOTONIC, &at);
    } while (r == EINTR);
    if (r != ETIMEDOUT) return took_writer(r);
  }
}

void lock_file::wait_writer() {
  if (!take_writer(busy_timeout_)) throw error(errc::busy, "database is busy...", path_);
}

void lock_file::release_writer() {
  if (!writing_) return;
  writing_ = false;
  pthread_mutex_unlock(writer_mutex());
}

bool lock_file::writer_busy() {
  if (writing_) return true;
  int const r = pthread_mutex_trylock(writer_mutex());
  if (!took_writer(r)) return true;
  release_writer();
  return false;
}

bool lock_file::try_publish_lock() {
  return try_lock(publish_byte, F_WRLCK);
}

void lock_file::publish_lock() {
  lock(publish_byte, F_WRLCK);
}

void lock_file::publish_unlock() {
  unlock(publish_byte);
}

namespace {

constexpr std::size_t record_words = 9;

// Reads of a record that names another number than current, current
// standing still, before the file is taken for damaged.
constexpr int most_mismatches = 1 << 16;

// The state record in force in a lock file mapped at map (the file at path);
// "lock file is damaged..." when that record never names current's number.
published_state state_in(char const* map, std::string const& path) {
  auto const word = [map](std::size_t offset, int order) {
    return __atomic_load_n(reinterpret_cast<std::uint64_t const*>(map + offset), order);
  };
  for (int mismatches = 0;;) {
    std::uint64_t const number = word(lock_file::current_offset, __ATOMIC_ACQUIRE);
    std::size_t const at = lock_file::records_offset + lock_file::record_size * (number % 2);
    std::uint64_t w[record_words];
    // Unrolled: every commit of an opening alone reads and writes a record.
#pragma GCC unroll 16
    for (std::size_t i = 0; i < record_words; ++i) w[i] = word(at + 8 * i, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    // A writer that moved on twice meanwhile may have been filling this very
    // record: then current moved too.
    if (w[0] != number || word(lock_file::current_offset, __ATOMIC_ACQUIRE) != number) {
      // A writer fills the record out of force before it moves current: the
      // record in force names another number while current stands still only
      // in a damaged file, which would keep this loop turning for ever.
      bool const standing = word(lock_file::current_offset, __ATOMIC_ACQUIRE) == number;
      mismatches = standing ? mismatches + 1 : 0;
      if (mismatches == most_mismatches) {
        throw error(errc::io_failure,
                    "lock file is damaged: close every opening of the database, and the next "
                    "one makes it afresh...",
                    path);
      }
      continue;
    }
    published_state s;
    s.number = number;
    s.commits = w[1];
    s.length = static_cast<word_t>(w[2]);
    s.log_end = static_cast<word_t>(w[3]);
    s.checkpoint = w[4];
    s.checkpoint_log = static_cast<word_t>(w[5]);
    s.checkpoint_length = static_cast<word_t>(w[6]);
    s.generation = w[7];
    s.salt = static_cast<word_t>(w[8]);
    return s;
  }
}

// Maps the lock file of database_file to read it, and calls look(map, fd)
// when it is one of ours; false when there is none.
template <class Look>
bool look_at_lock_file(std::string const& database_file, Look&& look) {
  int const fd = open_to_look(database_file);
  if (fd < 0) return false;
  struct stat st {};
  void* const at = ::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(lock_file::file_size)
                       ? ::mmap(nullptr, lock_file::file_size, PROT_READ, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
  if (at == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  auto const* const map = static_cast<char const*>(at);
  bool const ours = std::memcmp(map + lock_file::magic_offset, lock_file::magic, 8) == 0;
  if (ours) look(map, fd);
  ::munmap(at, lock_file::file_size);
  ::close(fd);
  return ours;
}

}  // namespace

bool read_published_state(std::string const& database_file, published_state& out) {
  return look_at_lock_file(database_file, [&](char const* map, int) {
    out = state_in(map, lock_file_of(database_file));
  });
}

lock_stamp read_lock_stamp(std::string const& database_file) {
  lock_stamp out;
  out.open = look_at_lock_file(database_file, [&](char const* map, int fd) {
    auto const word = [map](std::size_t offset) {
      return __atomic_load_n(reinterpret_cast<std::uint64_t const*>(map + offset), __ATOMIC_SEQ_CST);
    };
    out.in_place = word(lock_file::alone_offset) != 0 && word(lock_file::busy_offset) != 0;
    out.number = word(lock_file::current_offset);
    out.shared = word(lock_file::alone_offset) == 0;
    if (!out.in_place) return;
    // Unless the opening alone died inside its transaction: then its byte
    // is free, and nothing moves any more.
    struct flock l = byte_lock(alone_byte, F_RDLCK);
    out.in_place = ::fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
  });
  return out;
}

published_state lock_file::state() const {
  // The writer looks at the state several times a commit, with nobody else
  // publishing meanwhile.
  return writing_ ? kept_state() : state_in(map_, path_);
}

published_state const& lock_file::kept_state() const {
  // Records are numbered, and a number once in force never names other words
  // (only a reset, made by an opening alone, numbers afresh): while current
  // still names the record kept here, that record is the one in force, and
  // reading it back would cost as much as the rest of a commit's publishing.
  // A record another opening published moves current on, and is read afresh.
  if (kept_.number == 0 || load(current_offset) != kept_.number) kept_ = state_in(map_, path_);
  return kept_;
}

published_state& lock_file::latest_to_write() {
  // Only the writer (or the opening alone) publishes, and nobody else writes
  // a record while it does.
  kept_state();
  return kept_;
}

void lock_file::write_record() {
  published_state const& s = kept_;
  ++kept_.number;
  // Readers that see this record's words being written also see current
  // moved past the record they read (free on most machines).
  __atomic_thread_fence(__ATOMIC_RELEASE);
  auto* const w =
      reinterpret_cast<std::uint64_t*>(map_ + records_offset + record_size * (s.number % 2));
  __atomic_store_n(w + 0, s.number, __ATOMIC_RELAXED);
  __atomic_store_n(w + 1, s.commits, __ATOMIC_RELAXED);
  __atomic_store_n(w + 2, static_cast<std::uint64_t>(s.length), __ATOMIC_RELAXED);
  __atomic_store_n(w + 3, static_cast<std::uint64_t>(s.log_end), __ATOMIC_RELAXED);
  __atomic_store_n(w + 4, s.checkpoint, __ATOMIC_RELAXED);
  __atomic_store_n(w + 5, static_cast<std::uint64_t>(s.checkpoint_log), __ATOMIC_RELAXED);
  __atomic_store_n(w + 6, static_cast<std::uint64_t>(s.checkpoint_length), __ATOMIC_RELAXED);
  __atomic_store_n(w + 7, s.generation, __ATOMIC_RELAXED);
  __atomic_store_n(w + 8, static_cast<std::uint64_t>(s.salt), __ATOMIC_RELAXED);
  // The record is whole before it is in force. No fence: an opening alone
  // publishes every commit, and looks at no slot; a writer that does fences
  // before it looks (oldest_pinned).
  store(current_offset, s.number);
}

void lock_file::publish_commit(word_t length, word_t log_end) {
  published_state& s = latest_to_write();
  ++s.commits;
  s.length = length;
  s.log_end = log_end;
  write_record();
}

std::uint64_t lock_file::publish_in_place(word_t length, word_t log_end, std::uint64_t behind,
                                           word_t file_log, word_t file_length) {
  published_state& s = latest_to_write();
  ++s.commits;
  s.checkpoint = s.commits - std::min(behind, s.commits);
  s.length = length;
  s.log_end = log_end;
  s.checkpoint_length = behind > 0 ? file_length : length;
  s.checkpoint_log = behind > 0 ? file_log : log_end;
  write_record();
  return s.commits;
}

void lock_file::publish_checkpoint(std::uint64_t commit, word_t log_at, word_t length) {
  published_state& s = latest_to_write();
  s.checkpoint = commit;
  s.checkpoint_log = log_at;
  s.checkpoint_length = length;
  write_record();
}

void lock_file::publish_log_start(word_t salt, word_t log_start, word_t length) {
  published_state& s = latest_to_write();
  s.checkpoint = s.commits;
  s.length = s.checkpoint_length = length;
  s.log_end = s.checkpoint_log = log_start;
  s.salt = salt;
  ++s.generation;
  write_record();
}

bool lock_file::begin_restart() {
  store_fenced(restarting_offset, 1);
  for (int i = 0; i < slot_count; ++i) {
    if (load_slot(i, 16) != reading) continue;
    std::uint64_t const pid = load_slot(i, 0);
    if (pid != 0 && !owner_gone(i, pid)) {
      store_fenced(restarting_offset, 0);
      return false;
    }
  }
  return true;
}

bool lock_file::gone(std::uint64_t pid) const {
  if (pid == pid_) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool lock_file::owner_gone(int slot, std::uint64_t pid) const {
  if (pid == pid_) return false;
  seen_alive& seen = alive_[static_cast<std::size_t>(slot)];
  auto const now = std::chrono::steady_clock::now();
  if (seen.pid == pid && now - seen.at < alive_for) return false;
  if (gone(pid)) return true;
  seen = {pid, now};
  return false;
}

int lock_file::take_slot() {
  std::uint64_t const me = pid_;
  for (bool reuse : {false, true}) {
    for (int i = 0; i < slot_count; ++i) {
      std::uint64_t pid = load_slot(i, 0);
      if (reuse ? pid == 0 || !gone(pid) : pid != 0) continue;
      auto* const word = reinterpret_cast<std::uint64_t*>(map_ + slots_offset + slot_size * i);
      if (__atomic_compare_exchange_n(word, &pid, me, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        store_slot(i, 16, 0);
        unfenced_ = barrier_registered(pid_);
        if (slot_ >= 0) free_slot(slot_);
        slot_ = i;
        return i;
      }
    }
  }
  throw error(errc::busy, "reader table full: too many openings of the database...", path_);
}

void lock_file::free_slot(int slot) {
  store_slot(slot, 16, 0);
  store_slot(slot, 0, 0);
  if (slot == slot_) slot_ = -1;
}

published_state lock_file::pin(int slot) {
  for (;;) {
    published_state const s = state();
    store_slot(slot, 8, s.commits);
    store_slot(slot, 16, reading);
    // One fence for both stores: the writer fences between publishing and
    // looking at the slots (oldest_pinned), so one of the two sees the other.
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    // A writer that published after the state was read may not have seen
    // the slot when it chose what to checkpoint: take its state instead.
    if (load(current_offset) == s.number) return s;
  }
}

std::uint64_t lock_file::oldest_pinned(std::uint64_t latest, bool pass_resting) const {
  // The commit published before is seen by a reader that pins after this,
  // or its slot is seen here.
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (!pass_resting) return oldest_of_slots(latest, false, false, nullptr);
  std::uint64_t passed = latest;
  std::uint64_t const oldest = oldest_of_slots(latest, true, true, &passed);
  if (passed >= oldest) return oldest;  // passing them moves nothing on
  // A reader may have pinned such a snapshot again with its store still on
  // its way here: after the barrier in its thread the store is here, or the
  // reader looks at current afterwards and finds the commit published
  // before. Without the barrier, those snapshots hold back as pinned ones.
  return oldest_of_slots(latest, true, others_barrier(), nullptr);
}

std::uint64_t lock_file::oldest_of_slots(std::uint64_t latest, bool pass_fenced, bool pass_unfenced,
                                         std::uint64_t* passed) const {
  std::uint64_t oldest = latest;
  for (int i = 0; i < slot_count; ++i) {
    std::uint64_t const state = load_slot(i, 16);
    if (state == 0 || (state == resting && pass_fenced)) continue;
    std::uint64_t const snapshot = load_slot(i, 8);
    if (state == resting_unfenced && pass_unfenced) {
      if (passed && snapshot < *passed) {
        std::uint64_t const pid = load_slot(i, 0);
        if (pid != 0 && !owner_gone(i, pid)) *passed = snapshot;
      }
      continue;
    }
    if (snapshot >= oldest) continue;
    std::uint64_t const pid = load_slot(i, 0);
    if (pid != 0 && !owner_gone(i, pid)) oldest = snapshot;
  }
  return oldest;
}

void lock_file::lock(int byte, short type) {
  struct flock l = byte_lock(byte, type);
  while (::fcntl(fd_, F_OFD_SETLKW, &l) != 0) {
    if (errno != EINTR) throw error(errc::io_failure, "unable to lock lock file...", path_, errno);
  }
}

bool lock_file::try_lock(int byte, short type) {
  struct flock l = byte_lock(byte, type);
  while (::fcntl(fd_, F_OFD_SETLK, &l) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return false;
    throw error(errc::io_failure, "unable to lock lock file...", path_, errno);
  }
  return true;
}

void lock_file::unlock(int byte) {
  struct flock l = byte_lock(byte, F_UNLCK);
  while (::fcntl(fd_, F_OFD_SETLK, &l) != 0 && errno == EINTR) {
  }
}

}  // namespace disk_tools
