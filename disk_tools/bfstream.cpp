#include "bfstream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace io_tools {

char const* const corrupt_file_message = "corrupt database file...";

namespace {

// Maps a standard open mode to open(2) flags the way C stdio maps its mode
// strings; returns -1 for a combination stdio has no mode for.
int open_flags(std::ios_base::openmode mode) {
  using std::ios_base;
  auto const m = mode & (ios_base::in | ios_base::out | ios_base::trunc | ios_base::app);
  if (m == (ios_base::in | ios_base::out)) return O_RDWR;
  if (m == (ios_base::in | ios_base::out | ios_base::trunc)) return O_RDWR | O_CREAT | O_TRUNC;
  if (m == (ios_base::in | ios_base::out | ios_base::app) || m == (ios_base::in | ios_base::app)) {
    return O_RDWR | O_CREAT | O_APPEND;
  }
  if (m == ios_base::out || m == (ios_base::out | ios_base::trunc)) {
    return O_WRONLY | O_CREAT | O_TRUNC;
  }
  if (m == ios_base::in) return O_RDONLY;
  if (m == ios_base::app || m == (ios_base::out | ios_base::app)) {
    return O_WRONLY | O_CREAT | O_APPEND;
  }
  return -1;
}

}  // namespace

bfstream::bfstream(char const* name, std::ios_base::openmode mode) {
  open(name, mode);
}

bfstream::~bfstream() {
  if (is_open()) close();
}

void bfstream::open(char const* name, std::ios_base::openmode mode) {
  if (is_open()) {
    state_ |= failbit;
    return;
  }
  int const flags = open_flags(mode);
  if (flags < 0) {
    state_ |= failbit;
    return;
  }
  int fd;
  do {
    fd = ::open(name, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    state_ |= failbit;
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    state_ |= failbit;
    return;
  }
  fd_ = fd;
  name_ = name;
  size_ = st.st_size;
  appending_ = (flags & O_APPEND) != 0;
  has_image_ = (flags & O_ACCMODE) != O_WRONLY;
  // Where the system cannot map the file, an image serves instead.
  bool const shared = (flags & O_ACCMODE) == O_RDWR && !appending_ && map_file(size_);
  if (has_image_ && !shared && !load_image()) {
    ::close(fd_);
    fd_ = -1;
    state_ |= failbit;
    return;
  }
  pos_ = (mode & std::ios_base::ate) ? size_ : 0;
  state_ = 0;
}

bool bfstream::load_image() {
  image_.assign(static_cast<std::size_t>(size_), 0);
  std::size_t done = 0;
  while (done < image_.size()) {
    ssize_t const got =
        ::pread(fd_, image_.data() + done, image_.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    ++counts_.reads;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool bfstream::map_file(std::size_t least) {
  // Room to double before the next mapping; the pages past the end of the
  // file are reserved address space only and are never touched.
  std::size_t const page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::size_t const wanted = std::max<std::size_t>(least * 2, std::size_t{1} << 20);
  std::size_t const length = (wanted + page - 1) / page * page;
  void* const at = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (at == MAP_FAILED) return false;
  unmap();
  mapped_ = static_cast<char*>(at);
  mapped_length_ = length;
  return true;
}

void bfstream::unmap() {
  if (mapped_) ::munmap(mapped_, mapped_length_);
  mapped_ = nullptr;
  mapped_length_ = 0;
}

bool bfstream::try_lock() {
  if (!is_open()) return false;
  int r;
  do {
    r = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

void bfstream::close() {
  if (!is_open()) {
    state_ |= failbit;
    return;
  }
  unmap();
  if (::close(fd_) != 0) state_ |= failbit;
  fd_ = -1;
  image_.clear();
  image_.shrink_to_fit();
  has_image_ = false;
}

bfstream& bfstream::seekg(std::streamoff pos) {
  // Like a standard stream, a failed stream ignores positioning.
  if (failed() || !is_open() || pos < 0) {
    state_ |= failbit;
    return *this;
  }
  state_ &= ~eofbit;
  pos_ = pos;
  return *this;
}

bfstream& bfstream::seekg(std::streamoff off, std::ios_base::seekdir dir) {
  std::streamoff base = 0;
  if (dir == std::ios_base::cur) base = pos_;
  if (dir == std::ios_base::end) base = size_;
  return seekg(base + off);
}

bfstream& bfstream::read(char* dst, std::streamsize n) {
  gcount_ = 0;
  if (failed() || !is_open() || !has_image_) {
    state_ |= failbit;
    return *this;
  }
  std::streamsize const available = std::max<std::streamoff>(0, size_ - pos_);
  gcount_ = std::min(n, available);
  if (gcount_ > 0) std::memcpy(dst, bytes() + pos_, static_cast<std::size_t>(gcount_));
  if (gcount_ < n) state_ |= failbit | eofbit;
  pos_ += gcount_;
  return *this;
}

void bfstream::write_fully(disk_tools::word_t address, char const* src, std::size_t n) {
  if (appending_) address = size_;  // the system places every write at the end
  auto const end = address + static_cast<disk_tools::word_t>(n);
  if (mapped_ && end <= size_) {
    // The mapping is the system's own copy of the file: the bytes are handed
    // over as they are copied.
    std::memcpy(mapped_ + address, src, n);
    ++counts_.writes;
    return;
  }
  std::size_t done = 0;
  while (done < n) {
    ssize_t const put = ::pwrite(fd_, src + done, n - done, address + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      state_ |= badbit;
      throw "unable to write db file...";
    }
    ++counts_.writes;
    done += static_cast<std::size_t>(put);
  }
  size_ = std::max(size_, end);
  if (mapped_) {
    // The write call lengthened the file, and the mapping shows it as far as
    // it reaches; beyond that a larger one is needed (or, failing that, an
    // image).
    if (static_cast<std::size_t>(size_) > mapped_length_ &&
        !map_file(static_cast<std::size_t>(size_))) {
      unmap();
      if (!load_image()) {
        state_ |= badbit;
        throw "unable to write db file...";
      }
    }
  } else if (has_image_) {
    if (end > static_cast<disk_tools::word_t>(image_.size())) {
      image_.resize(static_cast<std::size_t>(end), 0);
    }
    std::memcpy(image_.data() + address, src, n);
  }
}

bfstream& bfstream::write(char const* src, std::streamsize n) {
  if (failed() || !is_open()) {
    state_ |= failbit;
    return *this;
  }
  if (n <= 0) return *this;
  write_fully(pos_, src, static_cast<std::size_t>(n));
  pos_ += n;
  return *this;
}

bfstream& bfstream::flush() {
  // Writes reach the operating system as they are made; there is nothing
  // buffered here to hand over.
  if (!is_open()) state_ |= badbit;
  return *this;
}

void bfstream::read_at(disk_tools::word_t address, void* dst, std::size_t n) {
  auto const len = static_cast<disk_tools::word_t>(n);
  if (!is_open() || !has_image_ || address < 0 || len < 0 || address > size_ - len) {
    throw corrupt_file_message;
  }
  if (n > 0) std::memcpy(dst, bytes() + address, n);
  pos_ = address + len;
}

void bfstream::write_at(disk_tools::word_t address, void const* src, std::size_t n) {
  if (!is_open() || address < 0) throw corrupt_file_message;
  write_fully(address, static_cast<char const*>(src), n);
  pos_ = address + static_cast<disk_tools::word_t>(n);
}

disk_tools::word_t bfstream::read_word(disk_tools::word_t address) {
  char w[disk_tools::word_size];
  read_at(address, w, sizeof w);
  return disk_tools::decode_word(w);
}

void bfstream::write_word(disk_tools::word_t address, disk_tools::word_t value) {
  char w[disk_tools::word_size];
  disk_tools::encode_word(w, value);
  write_at(address, w, sizeof w);
}

disk_tools::word_t bfstream::append(void const* src, std::size_t n) {
  disk_tools::word_t const at = size_;
  write_at(at, src, n);
  return at;
}

}  // namespace io_tools
