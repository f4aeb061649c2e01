#include "disk_tools/detail/bfstream.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

namespace io_tools {

char const* const corrupt_file_message = "corrupt database file...";

disk_tools::error corrupt_file(bfstream const& s) {
  return disk_tools::error(disk_tools::errc::corrupt, corrupt_file_message, s.name());
}

namespace {

char const* const write_failed = "unable to write db file...";

// What the system refused while the file was written (err: its errno, 0 for
// none).
disk_tools::error write_error(std::string const& file, int err,
                              char const* message = write_failed) {
  return disk_tools::error(disk_tools::errc::io_failure, message, file, err);
}

// Address space reserved beyond the file at open, so that growing the mapping
// rarely has to move it.
constexpr std::size_t least_reservation = std::size_t{256} << 20;
// How far ahead of a write at the end the mapping's pages are brought in at
// once: one system call instead of a page fault per page. A small file gets
// a short step, so that a few appends do not pay for pages they never use;
// a large one no more than 64 pages a call, which keeps the calls rare while
// the pages made ready and not yet used stay a small part of what the
// process holds (a step of 1 MiB left 0.77 MB of them beside a 9 MB file).
constexpr std::size_t least_populate_step = std::size_t{64} << 10;
constexpr std::size_t most_populate_step = std::size_t{256} << 10;

std::size_t page_size() {
  static std::size_t const page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

std::size_t round_up(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

std::size_t round_down(std::size_t n, std::size_t to) {
  return n / to * to;
}

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

io_observer* active_observer = nullptr;

void set_io_observer(io_observer* o) {
  active_observer = o;
}

namespace {

void notify_folder(io_event::kind what, std::string const& file, std::string const* to = nullptr) {
  if (!active_observer) return;
  active_observer->on_event(io_event{what, nullptr, 0, to ? to->data() : nullptr,
                                     to ? to->size() : 0, &file});
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
  if (flags & O_TRUNC) notify_folder(io_event::kind::create, name);
  int fd;
  // Without O_NONBLOCK, opening a named pipe waits for a program at its
  // other end, which may never come: such a file opens at once, and is found
  // empty. Reads and writes of the file block as usual.
  do {
    fd = ::open(name, flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    open_errno_ = errno;
    state_ |= failbit;
    return;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    state_ |= failbit;
    return;
  }
  fd_ = fd;
  name_ = name;
  size_ = physical_ =
      head_limit_ >= 0 ? std::min<disk_tools::word_t>(st.st_size, head_limit_) : st.st_size;
  appending_ = (flags & O_APPEND) != 0;
  has_image_ = (flags & O_ACCMODE) != O_WRONLY;
  // Where the system cannot map the file, an image serves instead.
  bool const mapped = (flags & O_ACCMODE) == O_RDWR && !appending_ && map_file();
  if (has_image_ && !mapped && !load_image()) {
    ::close(fd_);
    fd_ = -1;
    has_image_ = false;
    state_ |= failbit;
    return;
  }
  pos_ = (mode & std::ios_base::ate) ? size_ : 0;
  state_ = 0;
}

void bfstream::open_head(char const* name, std::size_t most) {
  head_limit_ = static_cast<disk_tools::word_t>(most);
  open(name, std::ios_base::in);
  head_limit_ = -1;
}

void bfstream::open_bytes(std::vector<char> bytes, std::string const& name) {
  if (is_open()) {
    state_ |= failbit;
    return;
  }
  image_ = std::move(bytes);
  has_image_ = in_memory_ = true;
  name_ = name;
  size_ = physical_ = static_cast<disk_tools::word_t>(image_.size());
  pos_ = 0;
  state_ = 0;
}

bool bfstream::load_image() {
  image_.assign(static_cast<std::size_t>(physical_), 0);
  std::size_t done = 0;
  while (done < image_.size()) {
    ssize_t const got =
        ::pread(fd_, image_.data() + done, image_.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      // The file got shorter since its length was taken: another opening
      // cut its room ahead (as the last one to close does). The image ends
      // where the file does now.
      image_.resize(done);
      physical_ = static_cast<disk_tools::word_t>(done);
      size_ = std::min(size_, physical_);
      break;
    }
    ++counts_.reads;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool bfstream::reserve(std::size_t length) {
  void* const at =
      ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (at == MAP_FAILED) return false;
  base_ = static_cast<char*>(at);
  reserved_ = length;
  mapped_ = 0;
  return true;
}

bool bfstream::map_file() {
  std::size_t const file = round_up(static_cast<std::size_t>(physical_), page_size());
  if (!reserve(std::max(least_reservation, 2 * file))) return false;
  try {
    map_through(static_cast<std::size_t>(physical_));
  } catch (disk_tools::error const&) {
    unmap();
    return false;
  }
  // The file's own pages fault in as they are used; appends beyond them are
  // brought in ahead (populate).
  populated_ = mapped_;
  return true;
}

void bfstream::map_through(std::size_t length) {
  std::size_t const need = round_up(length, page_size());
  if (need <= mapped_) return;
  if (need > reserved_) {
    // Out of reserved room: map the file anew in a larger range. Pointers
    // into the old range (view()) go stale, as documented.
    char* const old_base = base_;
    std::size_t const old_reserved = reserved_;
    if (!reserve(std::max(least_reservation, 2 * need))) {
      base_ = old_base;
      reserved_ = old_reserved;
      throw write_error(name_, errno);
    }
    ::munmap(old_base, old_reserved);
    populated_ = round_down(static_cast<std::size_t>(size_), page_size());
  }
  void* const at = ::mmap(base_ + mapped_, need - mapped_, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_FIXED, fd_, static_cast<off_t>(mapped_));
  if (at == MAP_FAILED) throw write_error(name_, errno);
  mapped_ = need;
}

void bfstream::populate(disk_tools::word_t address, disk_tools::word_t end) {
#ifdef MADV_POPULATE_WRITE
  auto const page = page_size();
  auto const from = round_down(std::max(populated_, static_cast<std::size_t>(address)), page);
  auto const step = std::clamp(static_cast<std::size_t>(size_) / 8, least_populate_step,
                               most_populate_step);
  auto const to = std::min(mapped_, round_up(static_cast<std::size_t>(end) + step, page));
  // Only a speed-up: where the system cannot, the pages fault in one by one.
  if (to > from) {
    ++counts_.maps;
    if (::madvise(base_ + from, to - from, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
      can_populate_ = false;
    }
  }
  populated_ = std::max(populated_, to);
#else
  (void)address;
  (void)end;
  can_populate_ = false;
#endif
}

void bfstream::unmap() {
  if (base_) ::munmap(base_, reserved_);
  base_ = nullptr;
  reserved_ = mapped_ = populated_ = 0;
}

bool bfstream::try_lock() {
  if (!is_open()) return false;
  int r;
  do {
    r = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

bool bfstream::try_lock_shared() {
  if (!is_open()) return false;
  int r;
  do {
    r = ::flock(fd_, LOCK_SH | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

void bfstream::follow_file(disk_tools::word_t length) {
  if (!is_open() || in_memory_) return;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw write_error(name_, errno);
  physical_ = st.st_size;
  size_ = std::min<disk_tools::word_t>(length, physical_);
  kept_.clear();
  overlaid_anywhere();
  if (!base_) {
    // A stream without a mapping keeps an image: read it again.
    if (has_image_ && !load_image()) throw corrupt_file(*this);
    return;
  }
  std::size_t const file = round_up(static_cast<std::size_t>(physical_), page_size());
  if (file > reserved_) {
    char* const old_base = base_;
    std::size_t const old_reserved = reserved_;
    if (!reserve(std::max(least_reservation, 2 * file))) {
      base_ = old_base;
      reserved_ = old_reserved;
      throw write_error(name_, errno);
    }
    ::munmap(old_base, old_reserved);
  }
  if (file > 0 && ::mmap(base_, file, PROT_READ | PROT_WRITE,
                         (private_ ? MAP_PRIVATE : MAP_SHARED) | MAP_FIXED, fd_, 0) == MAP_FAILED) {
    throw write_error(name_, errno);
  }
  mapped_ = std::max(mapped_, file);
  unmap_beyond_file();
  populated_ = round_down(static_cast<std::size_t>(size_), page_size());
}

void bfstream::drop_inherited_mapping() {
  if (!base_) return;
  if (::mmap(base_, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
             -1, 0) != MAP_FAILED) {
    mapped_ = populated_ = 0;
  }
}

void bfstream::close() {
  if (!is_open()) {
    state_ |= failbit;
    return;
  }
  pending_.clear();
  drop_held();
  kept_.clear();
  overlaid_anywhere();
  if (in_memory_) {
    in_memory_ = has_image_ = false;
    image_.clear();
    return;
  }
  try {
    if (!private_ && !keep_length_ && physical_ > size_) trim();
  } catch (disk_tools::error const&) {
    state_ |= failbit;
  }
  unmap();
  private_ = false;
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

void bfstream::notify(io_event::kind what, disk_tools::word_t address, char const* src,
                      std::size_t n) const {
  if (active_observer) active_observer->on_event(io_event{what, this, address, src, n, &name_});
}

void bfstream::resize_file(disk_tools::word_t length) {
  notify(io_event::kind::resize, length, nullptr, 0);
  int r;
  if (length > physical_) {
    // Blocks are allocated now, so that a full disk is this call's error and
    // never a fault when the mapped page is touched.
    do {
      r = ::posix_fallocate(fd_, static_cast<off_t>(physical_),
                            static_cast<off_t>(length - physical_));
    } while (r == EINTR);
  } else {
    do {
      r = ::ftruncate(fd_, static_cast<off_t>(length)) == 0 ? 0 : errno;
    } while (r == EINTR);
  }
  ++counts_.calls;
  if (r != 0) throw write_error(name_, r);
  bool const shrinks = length < physical_;
  physical_ = length;
  // Pages cut off the file are gone from the mapping too. (A private view's
  // pages past the file are its own memory, which the file growing under
  // them leaves as ready as they were.)
  if (shrinks || !private_) {
    populated_ = std::min(populated_, round_down(static_cast<std::size_t>(length), page_size()));
  }
  if (shrinks) unmap_beyond_file();
}

void bfstream::unmap_beyond_file() {
  // A page of the mapping past the end of the file faults (SIGBUS) when
  // touched, and a private view grows into pages it already maps without
  // asking the file: the cut pages go back to reserved address space.
  std::size_t const file = round_up(static_cast<std::size_t>(physical_), page_size());
  if (!base_ || mapped_ <= file) return;
  if (::mmap(base_ + file, mapped_ - file, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == MAP_FAILED) {
    throw write_error(name_, errno);
  }
  mapped_ = file;
}

void bfstream::grow_to(disk_tools::word_t end) {
  if (private_) {
    // Appends stay in memory: the reserved range past the file becomes
    // writable, private memory, a step ahead as the file grows ahead (page
    // by page, every page appended cost a call here and one to make it ready).
    auto const need = round_up(static_cast<std::size_t>(end), page_size());
    if (need <= mapped_) return;
    if (need > reserved_) {
      relocate_private(need);
      return;
    }
    std::size_t const ahead =
        std::min(reserved_, std::max(need, round_up(mapped_ + least_populate_step, page_size())));
    ++counts_.maps;
    if (::mprotect(base_ + mapped_, ahead - mapped_, PROT_READ | PROT_WRITE) != 0) {
      throw write_error(name_, errno);
    }
    mapped_ = ahead;
    return;
  }
  if (end <= physical_) return;
  disk_tools::word_t target = end;
  if (growth_step_ > 0) {
    auto const step = std::max<disk_tools::word_t>(static_cast<disk_tools::word_t>(growth_step_),
                                                   physical_ / 4);
    target = static_cast<disk_tools::word_t>(
        round_up(static_cast<std::size_t>(physical_ + step), page_size()));
    target = std::max(target, end);
  }
  try {
    resize_file(target);
  } catch (disk_tools::error const&) {
    // Near a size limit or a full disk, the step may not fit where the write
    // itself still does.
    if (target == end) throw;
    resize_file(end);
  }
  if (base_) map_through(static_cast<std::size_t>(physical_));
}

void bfstream::relocate_private(std::size_t need) {
  char* const old_base = base_;
  std::size_t const old_reserved = reserved_;
  std::size_t const old_mapped = mapped_;  // reserve() starts the count afresh
  if (!reserve(std::max(least_reservation, 2 * need))) {
    base_ = old_base;
    reserved_ = old_reserved;
    throw write_error(name_, errno);
  }
  // The file holds everything written back; only the pending and kept
  // ranges live in the old view alone.
  std::size_t const file = round_up(static_cast<std::size_t>(physical_), page_size());
  bool ok = file == 0 || ::mmap(base_, file, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_,
                                0) != MAP_FAILED;
  ok = ok && (need <= file ||
              ::mprotect(base_ + file, need - file, PROT_READ | PROT_WRITE) == 0);
  if (!ok) {
    ::munmap(base_, reserved_);
    base_ = old_base;
    reserved_ = old_reserved;
    throw write_error(name_, errno);
  }
  for (auto const& [begin, end] : pending_) {
    std::memcpy(base_ + begin, old_base + begin, static_cast<std::size_t>(end - begin));
  }
  // Whole granules: the old view's bytes around a kept range are the file's
  // or ones kept before, and either is what the view shows.
  for (std::size_t w = 0; w < kept_.size(); ++w) {
    for (std::uint64_t bits = kept_[w]; bits != 0; bits &= bits - 1) {
      std::size_t const begin = (w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))) *
                                kept_granule;
      if (begin >= old_mapped) break;
      std::memcpy(base_ + begin, old_base + begin, std::min(kept_granule, old_mapped - begin));
    }
  }
  ::munmap(old_base, old_reserved);
  mapped_ = std::max(need, file);
  populated_ = round_down(static_cast<std::size_t>(size_), page_size());
}

void bfstream::pwrite_fully(disk_tools::word_t address, char const* src, std::size_t n) {
  notify(io_event::kind::write, address, src, n);
  std::size_t done = 0;
  while (done < n) {
    ssize_t const put = ::pwrite(fd_, src + done, n - done, address + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      state_ |= badbit;
      throw write_error(name_, put < 0 ? errno : 0);
    }
    ++counts_.calls;
    done += static_cast<std::size_t>(put);
  }
  physical_ = std::max(physical_, address + static_cast<disk_tools::word_t>(n));
}

void bfstream::write_fully(disk_tools::word_t address, char const* src, std::size_t n,
                           bool guarded) {
  if (in_memory_) throw write_error(name_, 0);
  if (appending_) address = size_;  // the system places every write at the end
  auto const end = address + static_cast<disk_tools::word_t>(n);
  if (guarded && guard_) guard_->before_write(address, src, n);
  if (!base_) {
    pwrite_fully(address, src, n);
    if (has_image_) {
      if (end > static_cast<disk_tools::word_t>(image_.size())) {
        image_.resize(static_cast<std::size_t>(end), 0);
      }
      std::memcpy(image_.data() + address, src, n);
    }
  } else {
    if (end > (private_ ? static_cast<disk_tools::word_t>(mapped_) : physical_)) grow_to(end);
    if (private_) {
      add_pending(address, end);
    } else {
      // The mapping is the system's own copy of the file: the bytes are
      // handed over as they are copied.
      notify(io_event::kind::write, address, src, n);
    }
    if (end > static_cast<disk_tools::word_t>(populated_) && can_populate_) populate(address, end);
    std::memcpy(base_ + address, src, n);
  }
  ++counts_.writes;
  size_ = std::max(size_, end);
}

void bfstream::add_range(std::map<disk_tools::word_t, disk_tools::word_t>& ranges,
                         disk_tools::word_t begin, disk_tools::word_t end) {
  auto it = ranges.upper_bound(begin);
  if (it != ranges.begin() && std::prev(it)->second >= begin) {
    // The range before reaches this one: it grows in place (no node is made
    // or freed when a write lands where one was made already).
    auto const before = std::prev(it);
    if (before->second >= end) return;
    while (it != ranges.end() && it->first <= end) {
      end = std::max(end, it->second);
      it = ranges.erase(it);
    }
    before->second = end;
    return;
  }
  while (it != ranges.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = ranges.erase(it);
  }
  ranges.emplace_hint(it, begin, end);
}

bfstream& bfstream::write(char const* src, std::streamsize n) {
  if (failed() || !is_open()) {
    state_ |= failbit;
    return *this;
  }
  if (n <= 0) return *this;
  write_fully(pos_, src, static_cast<std::size_t>(n), true);
  pos_ += n;
  return *this;
}

bfstream& bfstream::flush() {
  // Writes reach the operating system as they are made; there is nothing
  // buffered here to hand over.
  if (!is_open()) state_ |= badbit;
  return *this;
}

void bfstream::write_at_slowly(disk_tools::word_t address, void const* src, std::size_t n) {
  if (!is_open() || address < 0) throw corrupt_file(*this);
  write_fully(address, static_cast<char const*>(src), n, true);
  pos_ = address + static_cast<disk_tools::word_t>(n);
}

void bfstream::write_rewritten(disk_tools::word_t address, char const* src, std::size_t n) {
  if (!is_open() || address < 0) throw corrupt_file(*this);
  if (guard_) guard_->before_rewrite(address, n);
  write_fully(address, src, n, false);
  pos_ = address + static_cast<disk_tools::word_t>(n);
}

void bfstream::restore_at(disk_tools::word_t address, void const* src, std::size_t n) {
  if (!is_open() || address < 0) throw corrupt_file(*this);
  write_fully(address, static_cast<char const*>(src), n, false);
}

disk_tools::word_t bfstream::append(void const* src, std::size_t n) {
  disk_tools::word_t const at = size_;
  write_at(at, src, n);
  return at;
}

void bfstream::set_size(disk_tools::word_t length) {
  size_ = length;
  if (has_image_ && !base_ && image_.size() > static_cast<std::size_t>(length)) {
    image_.resize(static_cast<std::size_t>(length));
  }
  // Pending writes past the new end are no data any more.
  for (auto it = pending_.lower_bound(length); it != pending_.end();) it = pending_.erase(it);
  if (!pending_.empty()) {
    auto last = std::prev(pending_.end());
    last->second = std::min(last->second, length);
    if (last->first >= last->second) pending_.erase(last);
  }
}

void bfstream::trim() {
  if (!is_open() || physical_ <= size_) return;
  resize_file(size_);
}

void bfstream::make_room(disk_tools::word_t end) {
  if (!is_open() || in_memory_) throw write_error(name_, 0);
  if (base_ && !private_) {
    grow_to(end);  // in steps, and mapped
  } else if (end > physical_) {
    resize_file(end);
  }
}

void bfstream::sync() {
  if (!is_open()) throw write_error(name_, 0);
  notify(io_event::kind::sync, 0, nullptr, 0);
  int r;
  do {
    r = ::fdatasync(fd_);
  } while (r != 0 && errno == EINTR);
  ++counts_.syncs;
  if (r != 0) throw write_error(name_, errno, "unable to sync db file...");
}

void bfstream::write_for_sync(disk_tools::word_t address, void const* src, std::size_t n) {
  auto const end = address + static_cast<disk_tools::word_t>(n);
  if (!base_ || private_ || in_memory_ || appending_ || address < 0 || end > physical_) {
    write_at(address, src, n);
    return;
  }
  if (guard_) guard_->before_write(address, static_cast<char const*>(src), n);
  pwrite_fully(address, static_cast<char const*>(src), n);
  ++counts_.writes;
  size_ = std::max(size_, end);
  pos_ = end;
}

void bfstream::keep_writes_private() {
  if (private_ || !base_) return;
  // Remapping privately over the shared pages: what the file holds now is
  // what the private view starts from. Only the file's own pages: the view
  // grows past them into private memory.
  unmap_beyond_file();
  if (mapped_ > 0 &&
      ::mmap(base_, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_, 0) ==
          MAP_FAILED) {
    throw write_error(name_, errno);
  }
  private_ = true;
  populated_ = round_down(static_cast<std::size_t>(size_), page_size());
}

void bfstream::write_ranges(std::map<disk_tools::word_t, disk_tools::word_t> const& ranges,
                            disk_tools::word_t join_gap) {
  auto it = ranges.begin();
  while (it != ranges.end()) {
    disk_tools::word_t const begin = it->first;
    disk_tools::word_t end = it->second;
    for (++it; it != ranges.end() && it->first - end < join_gap; ++it) end = it->second;
    pwrite_fully(begin, base_ + begin, static_cast<std::size_t>(end - begin));
  }
}

// Ranges a few bytes apart go in one call: the bytes between them are the
// file's own, so writing them again changes nothing.
constexpr disk_tools::word_t join_gap = 4096;

void bfstream::write_back() {
  write_ranges(pending_, join_gap);
  pending_.clear();
}

void bfstream::hold_pending() {
  for (auto const& [begin, end] : pending_) {
    keep_range(begin, end);
    add_range(held_, begin, end);
    held_bytes_ += end - begin;
  }
  pending_.clear();
}

void bfstream::write_held(bool exact) {
  // Inside a transaction the bytes between held ranges may be its own.
  write_ranges(held_, exact ? 1 : join_gap);
  drop_held();
}

void bfstream::drop_held() {
  held_.clear();
  held_bytes_ = 0;
}

void bfstream::drop_pending() {
  pending_.clear();
}

void bfstream::reserve_file(disk_tools::word_t length) {
  if (length > physical_) resize_file(length);
}

void bfstream::refresh_private() {
  if (!private_ || !pending_.empty() || !held_.empty() || !base_) return;
  kept_.clear();
  overlaid_anywhere();
  std::size_t const file = round_up(static_cast<std::size_t>(physical_), page_size());
  if (file > 0 && ::mmap(base_, file, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_, 0) ==
                      MAP_FAILED) {
    throw write_error(name_, errno);
  }
  if (mapped_ > file) ::madvise(base_ + file, mapped_ - file, MADV_DONTNEED);
  mapped_ = std::max(mapped_, file);
  populated_ = round_down(static_cast<std::size_t>(size_), page_size());
}

void bfstream::keep_pending() {
  for (auto const& [begin, end] : pending_) keep_range(begin, end);
  pending_.clear();
}

void bfstream::overlay_at(disk_tools::word_t address, void const* src, std::size_t n) {
  auto const end = address + static_cast<disk_tools::word_t>(n);
  if (!is_open() || in_memory_ || address < 0 || end < address) throw corrupt_file(*this);
  if (base_) {
    if (!private_) throw write_error(name_, 0);
    if (end > static_cast<disk_tools::word_t>(mapped_)) grow_to(end);
    std::memcpy(base_ + address, src, n);
    keep_range(address, end);
  } else {
    if (end > static_cast<disk_tools::word_t>(image_.size())) {
      image_.resize(static_cast<std::size_t>(end), 0);
    }
    std::memcpy(image_.data() + address, src, n);
  }
  size_ = std::max(size_, end);
  ++overlays_;
  overlaid_[overlays_ % overlaid_kept] = {address, end};
}

bool bfstream::unchanged_since(std::uint64_t since, disk_tools::word_t address,
                               disk_tools::word_t n) const {
  if (since == overlays_) return true;
  if (since < unknown_until_ || since > overlays_ || overlays_ - since > overlaid_kept) {
    return false;
  }
  for (std::uint64_t at = since + 1; at <= overlays_; ++at) {
    overlaid const& o = overlaid_[at % overlaid_kept];
    if (o.begin < address + n && address < o.end) return false;
  }
  return true;
}

void bfstream::overlay_length(disk_tools::word_t length) {
  if (length < 0) throw corrupt_file(*this);
  if (length < size_) overlaid_anywhere();  // bytes cut off may come back as others
  if (base_ && private_ && length > static_cast<disk_tools::word_t>(mapped_)) grow_to(length);
  if (!base_ && length > static_cast<disk_tools::word_t>(image_.size())) {
    image_.resize(static_cast<std::size_t>(length), 0);
  }
  size_ = length;
}

void bfstream::write_through(disk_tools::word_t address, void const* src, std::size_t n) {
  if (!is_open() || in_memory_ || address < 0) throw corrupt_file(*this);
  pwrite_fully(address, static_cast<char const*>(src), n);
}

bool bfstream::read_through(disk_tools::word_t address, void* dst, std::size_t n) {
  if (!is_open() || in_memory_ || address < 0) return false;
  std::size_t done = 0;
  while (done < n) {
    ssize_t const got = ::pread(fd_, static_cast<char*>(dst) + done, n - done,
                                static_cast<off_t>(address) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    ++counts_.reads;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

char const* bfstream::view_file(disk_tools::word_t address, std::size_t n) {
  if (!base_ || private_ || in_memory_ || address < 0) return nullptr;
  auto const end = address + static_cast<disk_tools::word_t>(n);
  if (end < address) return nullptr;
  if (end > physical_) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || end > st.st_size) return nullptr;
    physical_ = st.st_size;
  }
  try {
    // The whole file at once: the journal grows in large steps.
    map_through(static_cast<std::size_t>(std::max(end, physical_)));
  } catch (disk_tools::error const&) {
    return nullptr;  // the caller reads the bytes instead
  }
  ++counts_.reads;
  return base_ + address;
}

void sync_directory_of(std::string const& path) {
  notify_folder(io_event::kind::sync_folder, path);
  auto const slash = path.find_last_of('/');
  std::string const dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int const fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool remove_file(std::string const& path) {
  notify_folder(io_event::kind::remove, path);
  return std::remove(path.c_str()) == 0;
}

bool rename_file(std::string const& from, std::string const& to) {
  notify_folder(io_event::kind::rename, from, &to);
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::string own_new_file_of(std::string const& file) {
  static std::atomic<unsigned long> made{0};
  return file + "-new-" + std::to_string(::getpid()) + "-" + std::to_string(made++);
}

void remove_new_files_of_dead_writers(std::string const& file) {
  namespace fs = std::filesystem;
  // A link under the old name would be written through to the file it leads to.
  remove_file(file + "-new");
  fs::path const to(file);
  std::string const prefix = to.filename().string() + "-new-";
  fs::path const folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  std::error_code failed;
  for (fs::directory_iterator it(folder, failed), end; !failed && it != end;
       it.increment(failed)) {
    std::string const name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::size_t const digits = name.find_first_not_of("0123456789", prefix.size());
    if (digits == prefix.size() || digits == std::string::npos || name[digits] != '-' ||
        digits - prefix.size() > 9) {
      continue;
    }
    auto const pid = static_cast<pid_t>(std::stol(name.substr(prefix.size(), digits)));
    if (::kill(pid, 0) != 0 && errno == ESRCH) remove_file(it->path().string());
  }
}

}  // namespace io_tools
