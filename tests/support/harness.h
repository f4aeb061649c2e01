// Helpers shared by the tests: a scratch folder per test, a fresh database in
// it, raw looks at the file, and running a built program with its output
// captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <disk_tools/d_db.h>

namespace test_support {

// A new empty folder under the system's temporary folder, removed with its
// contents when the object goes.
class scratch_dir {
 public:
  scratch_dir();
  // Under parent instead (e.g. a memory file system, where syncs cost
  // nothing: for tests that open thousands of databases).
  explicit scratch_dir(std::string const& parent);
  ~scratch_dir();
  scratch_dir(scratch_dir const&) = delete;
  scratch_dir& operator=(scratch_dir const&) = delete;

  std::string const& path() const { return path_; }
  // path/name
  std::string file(std::string const& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::vector<char> read_file(std::string const& path);
void write_file(std::string const& path, std::vector<char> const& bytes);
std::int64_t file_size(std::string const& path);
// The little-endian 8-byte word at offset of bytes.
std::int64_t word_at(std::vector<char> const& bytes, std::size_t offset);

// The message f threw, or "" when it threw none.
template <class F>
std::string thrown_by(F&& f) {
  try {
    f();
  } catch (char const* message) {
    return message;
  }
  return "";
}

// A fixture with a scratch folder, a new database "db" in it and the global
// environment pointing at it. reopen() closes and opens it again.
class database_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void reopen();
  void close();
  std::string name() const { return dir_.file("db"); }
  std::string path() const { return dir_.file("db.odb"); }
  // The database's bytes: while it is open the file is grown ahead of its
  // data, and only the data counts.
  std::vector<char> bytes() const;
  // Length of the data (of the file, once closed).
  std::int64_t length() const;

  scratch_dir dir_;
  disk_tools::d_env env_{};
  disk_tools::d_database* db_ = nullptr;
};

// The outcome of running a program.
struct run_result {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out;
  std::string err;
};

// A program started with its three standard streams on pipes.
struct child_process {
  int pid = -1;
  int in = -1;   // write end of its standard input
  int out = -1;  // read end of its standard output
  int err = -1;  // read end of its standard error
};

// Starts argv[0] with its arguments in folder cwd.
child_process spawn_program(std::vector<std::string> const& argv, std::string const& cwd);
// Appends what is ready on fd to out; false at end of file.
bool drain(int fd, std::string& out);
// Closes the child's pipes that are still open, waits for it and returns its
// exit status (128 + signal when it was killed).
int finish(child_process& child);

// Runs argv[0] with its arguments in folder cwd, feeding input on standard
// input; kills it after timeout_seconds.
run_result run_program(std::vector<std::string> const& argv, std::string const& cwd,
                       std::string const& input = "", int timeout_seconds = 120);

}  // namespace test_support
