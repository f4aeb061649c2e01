// The one stream layer through which every byte of a database file is read and
// written. The allocator, the database and every container work on a
// bfstream; nothing else touches the file.
//
// A bfstream keeps one file position shared by reading and writing, like a
// standard file stream, and offers the standard calls the rest of the system
// expects (seekg, tellg, read, write, flush and the state bits). On top of those
// it offers checked, absolute transfers (read_at, write_at, read_word,
// write_word, append) that the library uses for its records: a transfer that
// would leave the file, or start at a negative address, throws
// "corrupt database file..." instead of reading garbage or writing at -1.
//
// Every write is handed to the operating system before the call returns, so a
// process killed between two library operations loses nothing the first one
// wrote. A stream opened for reading and writing (the database's) maps the
// whole file shared: reads and writes inside the file are copies to and from
// the operating system's own pages of the file, with no system call, and only
// writes that lengthen the file go through a write call. A stream opened for
// reading alone keeps an image of the file in memory, read once at open and
// kept current by its own writes. Each stream has its own mapping or image:
// two databases never share one, and one file must not be written through two
// streams at once (each knows only its own idea of the file's length).
#pragma once

#include <cstddef>
#include <ios>
#include <string>
#include <vector>

#include "coding.h"

namespace io_tools {

class bfstream {
 public:
  bfstream() = default;
  // Opens name with mode; the binary flag is always added.
  bfstream(char const* name, std::ios_base::openmode mode);
  virtual ~bfstream();

  bfstream(bfstream const&) = delete;
  bfstream& operator=(bfstream const&) = delete;

  // Opens the file with the C stdio equivalent of mode: in|out gives "r+b",
  // in|out|trunc "w+b", in|out|app or in|app "a+b", out or out|trunc "wb", in
  // "rb", app or out|app "ab"; ate then moves to the end. Any other
  // combination, or a file that cannot be opened, sets the fail bit.
  void open(char const* name, std::ios_base::openmode mode);
  bool is_open() const { return fd_ >= 0; }
  // Takes an exclusive advisory lock on the file without waiting; false when
  // another open stream (in this process or another) holds it. The lock goes
  // with the stream's close or the process's end.
  bool try_lock();
  // Closes the file; sets the fail bit when closing fails.
  void close();

  // Standard positioning and transfers on the shared position.
  bfstream& seekg(std::streamoff pos);
  bfstream& seekg(std::streamoff off, std::ios_base::seekdir dir);
  std::streamoff tellg() const { return failed() ? -1 : pos_; }
  // Reads up to n bytes; a short read sets fail and eof and leaves the rest of
  // dst as it was.
  bfstream& read(char* dst, std::streamsize n);
  bfstream& write(char const* src, std::streamsize n);
  bfstream& flush();
  std::streamsize gcount() const { return gcount_; }

  bool good() const { return state_ == 0; }
  bool fail() const { return (state_ & (failbit | badbit)) != 0; }
  bool bad() const { return (state_ & badbit) != 0; }
  bool eof() const { return (state_ & eofbit) != 0; }
  void clear() { state_ = 0; }
  explicit operator bool() const { return !fail(); }

  // Checked absolute transfers used for the database's records.
  void read_at(disk_tools::word_t address, void* dst, std::size_t n);
  void write_at(disk_tools::word_t address, void const* src, std::size_t n);
  disk_tools::word_t read_word(disk_tools::word_t address);
  void write_word(disk_tools::word_t address, disk_tools::word_t value);
  // Writes n bytes at the end of the file and returns where they start.
  disk_tools::word_t append(void const* src, std::size_t n);
  // Length of the file in bytes.
  disk_tools::word_t size() const { return size_; }

  // Counts of the transfers that reached the operating system, for
  // measurements.
  struct io_counts {
    long long reads = 0;
    long long writes = 0;
  };
  io_counts const& counts() const { return counts_; }

  std::string const& name() const { return name_; }

 private:
  static constexpr int eofbit = 1, failbit = 2, badbit = 4;
  bool failed() const { return (state_ & (failbit | badbit)) != 0; }
  void write_fully(disk_tools::word_t address, char const* src, std::size_t n);
  bool load_image();
  // Maps the file shared, with room to grow to at least `least` bytes before
  // it must be mapped again; false when the system refuses.
  bool map_file(std::size_t least);
  void unmap();
  // The file's bytes as this stream sees them.
  char const* bytes() const { return mapped_ ? mapped_ : image_.data(); }

  int fd_ = -1;
  std::streamoff pos_ = 0;
  disk_tools::word_t size_ = 0;
  std::streamsize gcount_ = 0;
  int state_ = 0;
  bool appending_ = false;
  bool has_image_ = false;
  std::vector<char> image_;
  char* mapped_ = nullptr;
  std::size_t mapped_length_ = 0;
  io_counts counts_;
  std::string name_;
};

// Thrown when a record or value would lie outside the file, or a word read from
// the file cannot be what it claims to be.
extern char const* const corrupt_file_message;

}  // namespace io_tools
