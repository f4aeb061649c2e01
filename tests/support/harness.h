// Shared test helpers: scratch folders, a fresh database, raw file looks, running programs.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <disk_tools/d_db.h>
#include <disk_tools/detail/bfstream.h>

namespace test_support {

// A memory file system: syncs are free there, for tests that open or commit thousands of times.
inline char const* const memory_dir = "/dev/shm";

inline bool ends_with(std::string const& s, std::string const& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

inline char const* mode_name(disk_tools::d_journal mode) {
  using disk_tools::d_journal;
  return mode == d_journal::atomic ? "atomic" : mode == d_journal::durable ? "durable" : "off";
}

// Options for an opening in a journal mode that waits busy for its turn (the library's
// 5 s by default); reading() for one that only reads.
inline disk_tools::d_open_options options_for(
    disk_tools::d_journal mode, std::chrono::milliseconds busy = std::chrono::seconds(5)) {
  disk_tools::d_open_options o;
  o.journal = mode;
  o.busy_timeout = busy;
  return o;
}
inline disk_tools::d_open_options reading() {
  disk_tools::d_open_options o;
  o.read_only = true;
  return o;
}

// A new empty folder, removed with its contents when the object goes.
class scratch_dir {
 public:
  // Under parent when it is a folder (a memory file system makes syncs free for tests
  // that open thousands), else under the system's temporary folder.
  explicit scratch_dir(std::string const& parent = "");
  ~scratch_dir();
  scratch_dir(scratch_dir const&) = delete;
  scratch_dir& operator=(scratch_dir const&) = delete;

  std::string const& path() const { return path_; }
  std::string file(std::string const& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A file system of its own, bytes long (a tmpfs), mounted on a scratch folder for as long as
// the object lives, so that a test can fill the disk for real: a file there can still be
// lengthened sparsely, and a mapped page with no block behind it faults when written.
// Mounting needs privileges: where it is refused, mounted() is false and why() says so (the
// test skips). Unmounted, with whatever is in it, when the object goes.
class small_disk {
 public:
  explicit small_disk(std::size_t bytes);
  ~small_disk();
  small_disk(small_disk const&) = delete;
  small_disk& operator=(small_disk const&) = delete;

  bool mounted() const { return mounted_; }
  std::string const& why() const { return why_; }
  std::string const& path() const { return dir_.path(); }
  std::string file(std::string const& name) const { return dir_.file(name); }
  // Bytes the disk has free now.
  std::int64_t available() const;
  // Takes all the free space but `leave` bytes with a filler file (a file already there
  // grows).
  void fill(std::int64_t leave = 0);
  // Removes the filler: the space comes back.
  void free_filler();
  // Mounts the disk again read-only, or writable; false when the system refuses.
  bool remount(bool read_only);

 private:
  scratch_dir dir_;
  bool mounted_ = false;
  std::string why_;
};

// The whole content of a file; empty when it cannot be read.
std::vector<char> read_file(std::string const& path);
void write_file(std::string const& path, std::vector<char> const& bytes);
std::int64_t file_size(std::string const& path);
// The little-endian 8-byte word at offset of bytes.
std::int64_t word_at(std::vector<char> const& bytes, std::size_t offset);
// Rewrites, in the closed database file at path, the kind recorded for root: to make a file
// as older code wrote it.
void record_kind_in_file(std::string const& path, std::string const& root, std::string const& kind);
// An open database's data as its opening sees it: the file is grown ahead of it, and
// beside another opening the latest commits may be in the journal alone.
inline std::vector<char> data_of(disk_tools::d_database* db) {
  char const* at = db->stream()->view(0, static_cast<std::size_t>(db->stream()->size()));
  return std::vector<char>(at, at + db->stream()->size());
}

// The message f threw, or "" when it threw none.
template <class F>
std::string thrown_by(F&& f) {
  try {
    f();
  } catch (std::exception const& e) {
    return e.what();
  }
  return "";
}

// The code of the error f threw; errc{} when it threw none.
template <class F>
disk_tools::errc code_thrown_by(F&& f) {
  try {
    f();
  } catch (disk_tools::error const& e) {
    return e.code();
  }
  return disk_tools::errc{};
}

// Success when f throws a disk_tools::error with this code and message; else what it threw.
template <class F>
::testing::AssertionResult throws_error(F&& f, disk_tools::errc code, std::string const& message) {
  try {
    f();
  } catch (disk_tools::error const& e) {
    if (e.code() == code && message == e.what()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "threw code " << static_cast<int>(e.code()) << ": \"" << e.what() << "\"";
  } catch (std::exception const& e) {
    return ::testing::AssertionFailure() << "threw another error: \"" << e.what() << "\"";
  }
  return ::testing::AssertionFailure() << "threw nothing";
}

// Success when the check of the closed database file at path finds no problem and no note
// (a note names blocks no root owns, or a root it could not walk); else what it found.
::testing::AssertionResult checks_clean(std::string const& path);

// Makes the database name (when missing) hold every container kind, with n elements or so
// each, after replacing and erasing enough to leave free blocks (and, in the string map,
// replaced values no one names). The roots: v n l inner ll vec h ht hs ms mu ts tn ti hi tv hv.
void fill_every_kind(std::string const& name, int n);
// What those roots hold, as text, walked in order; with every_path, read too through
// every other read path of every container: walks back, lookups, bounds, ranges,
// proxies read, sizes and checks (the string map by plain keys and by its stored keys).
std::string every_kind_contents(disk_tools::d_env& env, bool every_path = false);

// A fixture with a scratch folder (under parent, see scratch_dir), a new database "db"
// in it and the global environment pointing at it, opened with options_ (the plain
// call when there are none). reopen() closes and opens it again; afresh() makes it
// empty again first.
class database_test : public ::testing::Test {
 protected:
  explicit database_test(std::string const& parent = "",
                         std::optional<disk_tools::d_open_options> options = {})
      : dir_(parent), options_(options) {}
  void SetUp() override;
  void TearDown() override;
  void open();
  void reopen();
  void afresh();
  void close();
  std::string name() const { return dir_.file("db"); }
  std::string path() const { return dir_.file("db.odb"); }
  // The database's data: while it is open the file is grown ahead of it.
  std::vector<char> bytes() const;
  std::int64_t length() const;

  scratch_dir dir_;
  std::optional<disk_tools::d_open_options> options_;
  disk_tools::d_env env_{};
  disk_tools::d_database* db_ = nullptr;
};

// The outcome of running a program.
struct run_result {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs argv[0] in folder cwd, fed input, killed after timeout_seconds.
run_result run_program(std::vector<std::string> const& argv, std::string const& cwd,
                       std::string const& input = "", int timeout_seconds = 120);

// A pipe for one-byte signals between a test and the processes it forks (or
// its threads); both ends close with the object.
class signal_pipe {
 public:
  signal_pipe();
  ~signal_pipe();
  signal_pipe(signal_pipe const&) = delete;
  signal_pipe& operator=(signal_pipe const&) = delete;

  bool say() const;
  // Whether a byte came before deadline; false at once when every writing end
  // is closed (see close_writer).
  bool heard(std::chrono::steady_clock::time_point deadline =
                 std::chrono::steady_clock::now() + std::chrono::seconds(60)) const;
  // Closes this process's writing end, so that a child that ends early ends the wait.
  void close_writer();

 private:
  int read_ = -1, write_ = -1;
};

// Processes a test forks. Each child dies with the test process and, at the
// latest, when its alarm of lifetime seconds rings; whatever is left when the
// object goes (a failed assertion included) is killed and reaped.
class child_processes {
 public:
  explicit child_processes(unsigned lifetime_seconds = 120) : lifetime_(lifetime_seconds) {}
  ~child_processes();
  child_processes(child_processes const&) = delete;
  child_processes& operator=(child_processes const&) = delete;

  // Runs body in a new process, which exits with body's result (100 when it
  // throws).
  pid_t start(std::function<int()> body);
  // Runs body in a new process and returns once body calls the function it is
  // given, which keeps the child there (whatever body holds open) until it is
  // killed; -1 when the child ended first.
  pid_t start_held(std::function<void(std::function<void()> const& hold)> body);
  // The child's exit status, waiting until deadline at most; -1 when it was
  // killed by a signal or had to be killed at the deadline.
  int wait(pid_t pid, std::chrono::steady_clock::time_point deadline);
  // Runs body in a new process and waits for its status as wait() gives it, limit at most.
  int run(std::function<int()> body, std::chrono::seconds limit = std::chrono::seconds(60)) {
    return wait(start(std::move(body)), std::chrono::steady_clock::now() + limit);
  }
  // Kills the child with SIGKILL and reaps it.
  void kill(pid_t pid);

 private:
  void forget(pid_t pid);
  unsigned lifetime_;
  std::vector<pid_t> pids_;
};

// Once installed (io_tools::set_io_observer), sleeps delay before every
// write to a file whose name starts with beside: what widens the window in
// which two processes write files of one name at once.
struct slow_writes : io_tools::io_observer {
  std::string beside;
  std::chrono::milliseconds delay{0};
  void on_event(io_tools::io_event const& e) override {
    if (e.what == io_tools::io_event::kind::write && e.file->rfind(beside, 0) == 0) {
      std::this_thread::sleep_for(delay);
    }
  }
};

}  // namespace test_support
