#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <disk_tools/detail/directory.h>
#include <disk_tools/odb_check.h>

namespace test_support {

scratch_dir::scratch_dir(std::string const& parent) {
  std::error_code ec;
  std::string const where = std::filesystem::is_directory(parent, ec) ? parent
                                : std::filesystem::temp_directory_path().string();
  std::string tmpl = (std::filesystem::path(where) / "odb-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a scratch folder");
  path_ = tmpl;
}

scratch_dir::~scratch_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

small_disk::small_disk(std::size_t bytes) {
  std::string const options = "size=" + std::to_string(bytes) + ",mode=0777";
  if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    why_ = std::string("cannot mount a small file system here: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

small_disk::~small_disk() {
  // Lazily: a child still killed may hold a file open for a moment.
  if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
}

std::int64_t small_disk::available() const {
  struct statvfs s {};
  if (::statvfs(dir_.path().c_str(), &s) != 0) return -1;
  return static_cast<std::int64_t>(s.f_bavail) * static_cast<std::int64_t>(s.f_frsize);
}

void small_disk::fill(std::int64_t leave) {
  int const fd = ::open(file("filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot make the filler file");
  struct stat st {};
  std::int64_t const take = available() - leave;
  int const r = ::fstat(fd, &st) != 0 ? errno
                : take > 0            ? ::posix_fallocate(fd, st.st_size, take)
                                      : 0;
  ::close(fd);
  if (r != 0) throw std::runtime_error("cannot fill the disk: " + std::string(std::strerror(r)));
}

void small_disk::free_filler() {
  ::unlink(file("filler").c_str());
}

bool small_disk::remount(bool read_only) {
  unsigned long const flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (read_only ? MS_RDONLY : 0);
  return ::mount("tmpfs", dir_.path().c_str(), "tmpfs", flags, nullptr) == 0;
}

std::vector<char> read_file(std::string const& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<char> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void write_file(std::string const& path, std::vector<char> const& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::int64_t file_size(std::string const& path) {
  std::error_code ec;
  auto const n = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<std::int64_t>(n);
}

std::int64_t word_at(std::vector<char> const& bytes, std::size_t offset) {
  return disk_tools::decode_word(&bytes.at(offset + 7) - 7);
}

void record_kind_in_file(std::string const& path, std::string const& root, std::string const& kind) {
  using disk_tools::directory_entry;
  std::vector<char> bytes = read_file(path);
  for (int i = 0; i < directory_entry::entry_count; ++i) {
    auto const at = static_cast<std::size_t>(directory_entry::address_of(i));
    if (at + directory_entry::entry_size > bytes.size()) break;
    directory_entry e = directory_entry::decode(&bytes[at]);
    if (e.name != root) continue;
    e.kind = kind;
    e.kind_status = disk_tools::kind_record::status::recorded;
    e.encode(&bytes[at]);
    write_file(path, bytes);
    return;
  }
  throw std::runtime_error("no root " + root + " in " + path);
}

::testing::AssertionResult checks_clean(std::string const& path) {
  disk_tools::database_check const c = disk_tools::check_database(path);
  if (c.problems.empty() && c.notes.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "problems " << ::testing::PrintToString(c.problems)
                                       << ", notes " << ::testing::PrintToString(c.notes);
}

void database_test::SetUp() {
  disk_tools::p_d_env = &env_;
  ASSERT_TRUE(disk_tools::create_database(name(), &env_));
  open();
}

void database_test::open() {
  db_ = options_ ? disk_tools::open_database(name(), &env_, *options_)
                 : disk_tools::open_database(name(), &env_);
}

void database_test::TearDown() {
  close();
  disk_tools::p_d_env = nullptr;
}

void database_test::close() {
  disk_tools::close_database(db_);
  db_ = nullptr;
  env_ = disk_tools::d_env{};
}

std::vector<char> database_test::bytes() const {
  std::vector<char> all = read_file(path());
  if (db_) all.resize(static_cast<std::size_t>(length()));
  return all;
}

std::int64_t database_test::length() const {
  return db_ ? db_->stream()->size() : file_size(path());
}

void database_test::reopen() {
  close();
  open();
}

void database_test::afresh() {
  close();
  ASSERT_TRUE(disk_tools::create_database(name(), &env_));
  open();
}

namespace {

// Appends what is ready on fd to out; false at end of file.
bool drain(int fd, std::string& out) {
  char buf[4096];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && errno == EINTR);
}

}  // namespace

run_result run_program(std::vector<std::string> const& argv, std::string const& cwd,
                       std::string const& input, int timeout_seconds) {
  int in[2], out[2], err[2];
  if (::pipe(in) || ::pipe(out) || ::pipe(err)) throw std::runtime_error("pipe failed");
  pid_t const pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  for (int fd : {in[0], out[1], err[1]}) ::close(fd);
  // A child that stops reading must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  // Feed the input while collecting both outputs, so that neither side can
  // block the other on a full pipe.
  run_result r;
  std::size_t fed = 0;
  int to_child = in[1];
  auto stop_feeding = [&] { ::close(to_child); to_child = -1; };
  if (input.empty()) stop_feeding();
  bool out_open = true, err_open = true;
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out_open || err_open) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                     {err_open ? err[0] : -1, POLLIN, 0},
                     {to_child, POLLOUT, 0}};
    if (::poll(fds, 3, 200) < 0) continue;
    if (fds[0].revents) out_open = drain(out[0], r.out);
    if (fds[1].revents) err_open = drain(err[0], r.err);
    if (to_child >= 0 && fds[2].revents) {
      ssize_t n = ::write(to_child, input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 || fed == input.size()) stop_feeding();
    }
  }
  for (int fd : {to_child, out[0], err[0]})
    if (fd >= 0) ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

signal_pipe::signal_pipe() {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  read_ = fds[0], write_ = fds[1];
}

signal_pipe::~signal_pipe() {
  ::close(read_);
  close_writer();
}

bool signal_pipe::say() const {
  char const c = 1;
  return ::write(write_, &c, 1) == 1;
}

bool signal_pipe::heard(std::chrono::steady_clock::time_point deadline) const {
  for (;;) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{read_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) == 1) {
      char c;
      return ::read(read_, &c, 1) == 1;
    }
  }
}

void signal_pipe::close_writer() {
  if (write_ >= 0) ::close(write_);
  write_ = -1;
}

child_processes::~child_processes() {
  for (pid_t pid : pids_) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

pid_t child_processes::start(std::function<int()> body) {
  pid_t const parent = ::getpid();
  pid_t const pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Bounded even when the test process dies without killing it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(101);
    ::alarm(lifetime_);
    int status = 100;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);
  }
  pids_.push_back(pid);
  return pid;
}

pid_t child_processes::start_held(std::function<void(std::function<void()> const&)> body) {
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  pid_t const pid = start([&] {
    body([&] {
      char const c = 1;
      if (::write(ready[1], &c, 1) == 1)
        for (;;) ::pause();
    });
    return 102;  // body returned without holding
  });
  ::close(ready[1]);
  char c = 0;
  // The child's end closes when it dies, so this read is bounded by its alarm.
  bool const held = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  return held ? pid : -1;
}

int child_processes::wait(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  forget(pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void child_processes::kill(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  forget(pid);
}

void child_processes::forget(pid_t pid) {
  for (auto it = pids_.begin(); it != pids_.end(); ++it) {
    if (*it == pid) {
      pids_.erase(it);
      return;
    }
  }
}

}  // namespace test_support
