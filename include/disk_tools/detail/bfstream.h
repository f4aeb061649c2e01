// The one stream layer through which every byte of a database file is read and
// written. The allocator, the database, its journal and every container work
// on a bfstream; nothing else touches the files.
//
// A bfstream keeps one file position shared by reading and writing, like a
// standard file stream, and offers the standard calls the rest of the system
// expects (seekg, tellg, read, write, flush and the state bits). On top of those
// it offers checked, absolute transfers (read_at, write_at, read_word,
// write_word, append) that the library uses for its records: a transfer that
// would leave the file, or start at a negative address, throws
// "corrupt database file..." instead of reading garbage or writing at -1.
//
// A stream opened for reading and writing maps its file shared into a range of
// address space reserved at open: reads and writes are copies to and from the
// operating system's own pages of the file, with no system call, and a process
// killed between two writes loses nothing the first one wrote. A write past the
// end lengthens the file first (posix_fallocate, so a full disk is an error
// here and never a fault later in the mapping). With a growth step set, the file
// is lengthened ahead in large steps, so that appending costs no system call
// either; size() is then the length of the data, the file is longer, and
// close() (or trim()) cuts it back. Pages past the end are brought into the
// mapping in steps (up to a megabyte) as writes reach them, one call instead
// of a page fault per page. Whoever grows ahead must record the true
// length somewhere a crash leaves behind: the database keeps it in its journal.
//
// Two more things the journal needs live here, at the one place every write
// passes: a guard that is shown each write before it changes a byte (the
// journal saves the bytes it will replace), and a private mode in which writes
// stay in this process's memory until write_back() hands them to the file.
//
// A stream opened for reading alone keeps an image of the file in memory, read
// once at open and kept current by its own writes. Where the system refuses to
// map a file, the image serves a read-write stream too, and its writes go
// through write calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk_tools/detail/coding.h"
#include "disk_tools/error.h"

namespace io_tools {

class bfstream;

// Thrown when a record or value would lie outside the file, or a word read from
// the file cannot be what it claims to be.
extern char const* const corrupt_file_message;
// That message as the error thrown (errc::corrupt), naming the file s reads.
disk_tools::error corrupt_file(bfstream const& s);

// Shown every change a stream makes to its file, before it is made; used by
// tests to record what reached the file (and so what a crash could leave) and
// to make a chosen change fail by throwing.
// The folder changes (create, remove, rename) and the folder's sync are
// shown too: a file whose creation never reached the disk is not there after
// a power loss, whatever was synced into it.
struct io_event {
  enum class kind {
    write,        // n bytes at address are about to be replaced by bytes
    resize,       // the file's length is about to become address
    sync,         // the file is about to be synced to the disk
    create,       // the file is about to be created, or cut to length 0
    remove,       // the file is about to be removed
    rename,       // the file is about to take the name in bytes (n characters)
    sync_folder,  // the folder of the file is about to be synced to the disk
  };
  kind what;
  bfstream const* stream;  // null for the folder changes
  disk_tools::word_t address;
  char const* bytes;
  std::size_t n;
  std::string const* file;  // the file's name
};

class io_observer {
 public:
  virtual void on_event(io_event const& event) = 0;

 protected:
  ~io_observer() = default;
};

// Installs observer for every stream of the process; null removes it. For
// tests only.
void set_io_observer(io_observer* observer);
extern io_observer* active_observer;

// Makes the directory entry of the file at path last (after creating it).
void sync_directory_of(std::string const& path);
// Removes the file at path; false when there was none to remove.
bool remove_file(std::string const& path);
// Gives the file at from the name to, replacing any file called so; false
// when it cannot.
bool rename_file(std::string const& from, std::string const& to);
// FILE-new-PID-N: a name beside file for a whole new FILE, written there and
// then renamed onto it, that no other process doing so at the same time has;
// this process's N-th.
std::string own_new_file_of(std::string const& file);
// Removes what processes that died writing a new FILE left beside it: the
// files FILE-new-PID-N of processes that are gone, and FILE-new (the one name
// all of them once used). A live process's file is its work under way, and
// stays.
void remove_new_files_of_dead_writers(std::string const& file);

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
  // Opens name for reading as open(name, std::ios_base::in) does, with no
  // more than its first `most` bytes in the image: a file that may be damaged
  // is judged by its first bytes without reading all of whatever length it
  // has. size() is the smaller of the two lengths.
  void open_head(char const* name, std::size_t most);
  // Opens bytes held in memory for reading, as if they were the file called
  // name (a database as recovery would leave it, for the tools that look
  // without changing a byte).
  void open_bytes(std::vector<char> bytes, std::string const& name);
  bool is_open() const { return fd_ >= 0 || in_memory_; }
  // The open file's descriptor, for the locks that the openings of one database
  // take on it (lock_file.h); -1 when the stream is closed or held in memory.
  int descriptor() const { return fd_; }
  // Takes an exclusive advisory lock on the file without waiting; false when
  // another open stream (in this process or another) holds it. The lock goes
  // with the stream's close or the process's end.
  bool try_lock();
  // The same lock shared: any number of streams hold it together, and it
  // keeps try_lock from anyone else.
  bool try_lock_shared();
  // Other processes use the file too: close() leaves its length alone.
  void keep_length_at_close() { keep_length_ = true; }
  // In a child of fork, for an opening that is its parent's: the file's pages
  // leave the view (a read of it faults), since a mapping keeps the parent's
  // open file, and the locks on it, alive as long as a descriptor does.
  // close() still unmaps the reserved range.
  void drop_inherited_mapping();
  // Another process changed the file: the data is now length bytes long, and
  // the stream sees the file as it is (a private view lets go of its copies;
  // nothing may be pending).
  void follow_file(disk_tools::word_t length);
  // Cuts the file back to size() when it was grown ahead, then closes it;
  // sets the fail bit when closing fails.
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

  // Checked absolute transfers used for the database's records. Records are
  // read and written by the million: the common case, a copy within the
  // mapping, is inline.
  void read_at(disk_tools::word_t address, void* dst, std::size_t n) {
    auto const len = static_cast<disk_tools::word_t>(n);
    if (!in_data(address, len)) {
      throw corrupt_file(*this);
    }
    if (n > 0) std::memcpy(dst, bytes() + address, n);
    pos_ = address + len;
  }
  void write_at(disk_tools::word_t address, void const* src, std::size_t n) {
    auto const end = address + static_cast<disk_tools::word_t>(n);
    if (base_ && !private_ && !active_observer && address >= 0 && end <= physical_ &&
        end <= static_cast<disk_tools::word_t>(populated_)) {
      if (guard_) guard_->before_write(address, static_cast<char const*>(src), n);
      std::memcpy(base_ + address, src, n);
      ++counts_.writes;
      if (end > size_) size_ = end;
      pos_ = end;
      return;
    }
    write_at_slowly(address, src, n);
  }
  // Writes the n bytes at address that fill(char* out) lays out: in place in
  // the mapping where a write would be a plain copy, else through write_at.
  // Saves the copy of records written by the million (the journal's).
  template <class Fill>
  void write_with(disk_tools::word_t address, std::size_t n, Fill fill) {
    auto const end = address + static_cast<disk_tools::word_t>(n);
    if (base_ && !private_ && !guard_ && !active_observer && address >= 0 && end <= physical_ &&
        end <= static_cast<disk_tools::word_t>(populated_)) {
      fill(base_ + address);
      ++counts_.writes;
      if (end > size_) size_ = end;
      pos_ = end;
      return;
    }
    write_filled(address, n, fill);
  }
  // Lets fill(char* file), given the mapping's first byte, make writes that
  // all lie in the n bytes at address, in place and in the order it makes
  // them, where each would be a plain copy; false, with nothing written,
  // where they would not (the caller then makes them one by one). Counted as
  // one write. For the journal, whose every record moves two of its header
  // words too.
  template <class Fill>
  bool write_in_place(disk_tools::word_t address, std::size_t n, Fill fill) {
    auto const end = address + static_cast<disk_tools::word_t>(n);
    if (!(base_ && !private_ && !guard_ && !active_observer && address >= 0 && end <= physical_ &&
          end <= static_cast<disk_tools::word_t>(populated_))) {
      return false;
    }
    fill(base_);
    ++counts_.writes;
    if (end > size_) size_ = end;
    pos_ = end;
    return true;
  }
  // Rewrites the n bytes at address, which lie in the data, in place:
  // fill(char* bytes) is given them as they are and leaves them as they are
  // to be, moving bytes within them as it likes. One write; the guard is
  // shown the span, not the new bytes, so none are laid out elsewhere first.
  template <class Fill>
  void rewrite_at(disk_tools::word_t address, std::size_t n, Fill fill) {
    auto const end = address + static_cast<disk_tools::word_t>(n);
    if (base_ && !private_ && !active_observer && address >= 0 && end <= size_ &&
        end <= physical_ && end <= static_cast<disk_tools::word_t>(populated_)) {
      if (guard_) guard_->before_rewrite(address, n);
      fill(base_ + address);
      ++counts_.writes;
      pos_ = end;
      return;
    }
    rewrite_slowly(address, n, fill);
  }
  disk_tools::word_t read_word(disk_tools::word_t address) {
    char w[disk_tools::word_size];
    read_at(address, w, sizeof w);
    return disk_tools::decode_word(w);
  }
  void write_word(disk_tools::word_t address, disk_tools::word_t value) {
    char w[disk_tools::word_size];
    disk_tools::encode_word(w, value);
    write_at(address, w, sizeof w);
  }
  // Writes n bytes at the end of the file and returns where they start.
  disk_tools::word_t append(void const* src, std::size_t n);
  // Length of the data in bytes.
  disk_tools::word_t size() const { return size_; }
  // The n bytes at address, read in place: null when they do not all lie in
  // the data. Valid until the next write that lengthens the file.
  char const* view(disk_tools::word_t address, std::size_t n) const {
    auto const len = static_cast<disk_tools::word_t>(n);
    if (!in_data(address, len)) {
      return nullptr;
    }
    return bytes() + address;
  }

  // The bytes from address up to end read in place, for a caller that keeps
  // a range it made sure of (0 <= address <= end): null when they do not
  // all lie in the data. Valid as view's are.
  char const* view_range(disk_tools::word_t address, disk_tools::word_t end) const {
    if (!has_image_ || end > size_) return nullptr;
    return bytes() + address;
  }

  // --- for the journal ---

  // Shown every write (n bytes at address, to become now) before it changes
  // a byte; bytes from size() on are not data yet and need no saving.
  class write_guard {
   public:
    virtual void before_write(disk_tools::word_t address, char const* now, std::size_t n) = 0;
    // The same for a rewrite in place (rewrite_at): every byte of the n at
    // address may change.
    virtual void before_rewrite(disk_tools::word_t address, std::size_t n) = 0;

   protected:
    ~write_guard() = default;
  };
  void set_guard(write_guard* guard) { guard_ = guard; }
  // Puts saved bytes back, without showing them to the guard.
  void restore_at(disk_tools::word_t address, void const* src, std::size_t n);
  // Takes the length of the data back (a rolled-back change's appends go);
  // the file keeps its length until trim().
  void set_size(disk_tools::word_t length);
  // Lengthen the file ahead in steps of at least step bytes (0: exactly as
  // far as each write needs).
  void set_growth_step(std::size_t step) { growth_step_ = step; }
  // Makes the file exactly size() bytes long.
  void trim();
  // Lengthens the file as a write reaching end would, writing nothing: a
  // full disk is this call's error, before anything else has changed.
  void make_room(disk_tools::word_t end);
  // Returns once the file's bytes and length are on the disk.
  void sync();
  // write_at for bytes that a sync() follows at once: they go to the file by
  // a system call even where the file is mapped. The disk takes a written
  // range faster than the same bytes in pages dirtied through the mapping,
  // and the mapping shows them all the same.
  void write_for_sync(disk_tools::word_t address, void const* src, std::size_t n);

  // Private mode: from now on writes change only this process's view of the
  // file, and the ranges they touched are pending until write_back() writes
  // them to the file or drop_pending() forgets them (after the journal put the
  // old bytes back). The database uses it so that nothing of a transaction
  // reaches the file before its journal is on the disk.
  void keep_writes_private();
  bool is_private() const { return private_; }
  // Pending ranges, [begin, end) by begin.
  std::map<disk_tools::word_t, disk_tools::word_t> const& pending() const { return pending_; }
  void write_back();
  void drop_pending();
  // Private mode: lengthens the file itself to length now, so that writing
  // back cannot fail for want of room.
  void reserve_file(disk_tools::word_t length);
  // Private mode, nothing pending: lets go of the private copies of pages,
  // which the file now holds too.
  void refresh_private();
  // Private mode: the pending ranges become part of the view alone (a
  // commit whose bytes are in the journal but not yet in the file).
  void keep_pending();
  // Private mode, the writer alone: as keep_pending(), and the ranges are
  // held for write_held(), which writes every range held since its last call
  // at once (a range that many commits change goes to the file once).
  void hold_pending();
  // Writes the held ranges to the file. Between transactions the view holds
  // only committed bytes, and ranges a few bytes apart go in one call; inside
  // one (exact), only the held bytes themselves are written.
  void write_held(bool exact = false);
  // Forgets the held ranges (the journal's commits bring them in).
  void drop_held();
  bool holds() const { return !held_.empty(); }
  // The bytes of the ranges held since the last write_held(), counted as
  // they were held (an overlap counts twice).
  disk_tools::word_t held_bytes() const { return held_bytes_; }
  // Puts bytes of a commit that the journal holds into this stream's view
  // (a private view, or the image of a stream opened for reading), without
  // showing them to the guard or making them pending.
  void overlay_at(disk_tools::word_t address, void const* src, std::size_t n);
  // The view reaches length bytes (a commit's length, whose last bytes no
  // record may have written).
  void overlay_length(disk_tools::word_t length);
  // A count that moves on with every overlay_at, and each time the view
  // follows the file afresh: a cache of the view's bytes notes it when it
  // reads them, and asks unchanged_since before it trusts them again after
  // other openings' commits.
  std::uint64_t overlays() const { return overlays_; }
  // Whether no overlay since the count stood at since changed a byte of
  // [address, address + n), nor did the view follow the file afresh. False
  // also when the stream no longer knows (too many overlays since).
  bool unchanged_since(std::uint64_t since, disk_tools::word_t address,
                       disk_tools::word_t n) const;
  // Writes n bytes to the file itself, whatever the view holds (a
  // checkpoint copies commits in).
  void write_through(disk_tools::word_t address, void const* src, std::size_t n);
  // Reads n bytes from the file itself; false when it is shorter.
  bool read_through(disk_tools::word_t address, void* dst, std::size_t n);
  // The n bytes at address as the file itself holds them, in place in the
  // shared mapping, for bytes another process may have appended since this
  // stream last looked (the journal's records): the system is asked the
  // file's length only when they lie past what the stream knows of, and the
  // mapping then reaches further. Null when the stream has no shared
  // mapping, or the bytes lie past the file's end. Valid until the mapping
  // next moves (a write that lengthens the file, or another view_file).
  char const* view_file(disk_tools::word_t address, std::size_t n);

  // Counts of the transfers that reached the operating system, for
  // measurements; the typed map tells by the writes whether a put that
  // failed wrote anything (d_typed_map.h).
  struct io_counts {
    long long reads = 0;   // transfers read
    long long writes = 0;  // transfers written, mapped copies included
    long long calls = 0;   // system calls that wrote or lengthened the file
    long long syncs = 0;
    long long maps = 0;    // system calls that made pages of the view writable or ready
  };
  io_counts const& counts() const { return counts_; }

  std::string const& name() const { return name_; }
  // The system's errno for the last open that failed; 0 when there was none.
  int open_errno() const { return open_errno_; }

  // Whatever owns the stream and wants to be found through it (the
  // database's shared state, which values read later find their database by).
  void set_owner(std::shared_ptr<void> owner) { owner_ = std::move(owner); }
  std::shared_ptr<void> const& owner() const { return owner_; }

 private:
  static constexpr int eofbit = 1, failbit = 2, badbit = 4;
  bool failed() const { return (state_ & (failbit | badbit)) != 0; }
  void write_fully(disk_tools::word_t address, char const* src, std::size_t n, bool guarded);
  void write_at_slowly(disk_tools::word_t address, void const* src, std::size_t n);
  // write_with's way through a copy, kept out of line: the journal writes a
  // header word per record, and the copy's buffer would make every caller set
  // up a frame for it.
  template <class Fill>
  [[gnu::noinline]] void write_filled(disk_tools::word_t address, std::size_t n, Fill fill) {
    std::vector<char> bytes(n);
    fill(bytes.data());
    write_at(address, bytes.data(), n);
  }
  // rewrite_at's way through a copy: the bytes read, changed and written,
  // shown to the guard as the rewrite they are (so that the journal saves
  // the same whichever way the bytes go).
  template <class Fill>
  [[gnu::noinline]] void rewrite_slowly(disk_tools::word_t address, std::size_t n, Fill fill) {
    std::vector<char> bytes(n);
    read_at(address, bytes.data(), n);
    fill(bytes.data());
    write_rewritten(address, bytes.data(), n);
  }
  void write_rewritten(disk_tools::word_t address, char const* src, std::size_t n);
  void pwrite_fully(disk_tools::word_t address, char const* src, std::size_t n);
  void notify(io_event::kind what, disk_tools::word_t address, char const* bytes,
              std::size_t n) const;
  // Reads the file into the image, as long as it is now; false when a read
  // fails.
  bool load_image();
  // Reserves address space for the file and maps it shared; false when the
  // system refuses.
  bool map_file();
  // Makes the first `length` bytes of the file reachable in the mapping.
  void map_through(std::size_t length);
  bool reserve(std::size_t length);
  void unmap();
  // Brings the pages from a write at address up to end, and a step beyond,
  // into the mapping writable in one call.
  void populate(disk_tools::word_t address, disk_tools::word_t end);
  // Lengthens the file (or, in private mode, the writable view) to cover end.
  void grow_to(disk_tools::word_t end);
  void resize_file(disk_tools::word_t length);
  // Gives the mapping's pages past the end of the file back to reserved
  // address space.
  void unmap_beyond_file();
  // Private mode: moves the view to a larger reserved range.
  void relocate_private(std::size_t need);
  static void add_range(std::map<disk_tools::word_t, disk_tools::word_t>& ranges,
                        disk_tools::word_t begin, disk_tools::word_t end);
  void add_pending(disk_tools::word_t begin, disk_tools::word_t end) {
    add_range(pending_, begin, end);
  }
  // Whether the len bytes at address lie in the data, which is in memory:
  // a stream has an image only while it is open.
  bool in_data(disk_tools::word_t address, disk_tools::word_t len) const {
    return has_image_ && address >= 0 && len >= 0 && address <= size_ - len;
  }
  // The file's bytes as this stream sees them.
  char* bytes() { return base_ ? base_ : image_.data(); }
  char const* bytes() const { return base_ ? base_ : image_.data(); }

  int fd_ = -1;
  std::streamoff pos_ = 0;
  disk_tools::word_t size_ = 0;      // length of the data
  disk_tools::word_t physical_ = 0;  // length of the file
  std::streamsize gcount_ = 0;
  int state_ = 0;
  bool appending_ = false;
  bool in_memory_ = false;
  bool has_image_ = false;
  std::vector<char> image_;
  char* base_ = nullptr;      // start of the reserved range
  std::size_t reserved_ = 0;  // bytes of address space reserved
  std::size_t mapped_ = 0;    // bytes of the file mapped (shared) or writable (private)
  std::size_t populated_ = 0;  // pages from here on in the mapping may fault when written
  bool can_populate_ = true;
  std::size_t growth_step_ = 0;
  disk_tools::word_t head_limit_ = -1;  // open_head's bound while it opens; -1: none
  write_guard* guard_ = nullptr;
  bool private_ = false;
  bool keep_length_ = false;
  std::map<disk_tools::word_t, disk_tools::word_t> pending_;
  // Ranges of commits that the view holds and the file not yet (hold_pending).
  std::map<disk_tools::word_t, disk_tools::word_t> held_;
  disk_tools::word_t held_bytes_ = 0;
  // Writes ranges to the file from the view; ranges less than join_gap apart
  // go in one call.
  void write_ranges(std::map<disk_tools::word_t, disk_tools::word_t> const& ranges,
                    disk_tools::word_t join_gap);
  // The latest overlays, the one counted n at n % overlaid_kept, and the
  // count at which the view last followed the file afresh. A cache further
  // behind reads its bytes again, which costs less than looking through more.
  static constexpr std::uint64_t overlaid_kept = 64;
  struct overlaid {
    disk_tools::word_t begin = 0, end = 0;
  };
  std::array<overlaid, overlaid_kept> overlaid_{};
  std::uint64_t overlays_ = 0;
  std::uint64_t unknown_until_ = 0;
  // The view may have changed anywhere.
  void overlaid_anywhere() { unknown_until_ = ++overlays_; }
  // The granules (kept_granule bytes each) of a private view where the file
  // may not hold the view's bytes yet (commits kept or overlaid), a bit
  // each: a view that moves copies them. A bit rather than a range, as the
  // readers of a busy database set one for every record they follow.
  static constexpr std::size_t kept_granule = 4096;
  std::vector<std::uint64_t> kept_;
  void keep_range(disk_tools::word_t begin, disk_tools::word_t end) {
    if (end <= begin) return;
    auto const first = static_cast<std::size_t>(begin) / kept_granule;
    auto const last = static_cast<std::size_t>(end - 1) / kept_granule;
    if (last / 64 >= kept_.size()) kept_.resize(last / 64 + 1, 0);
    for (std::size_t g = first; g <= last; ++g) kept_[g / 64] |= std::uint64_t{1} << (g % 64);
  }
  io_counts counts_;
  std::string name_;
  int open_errno_ = 0;
  std::shared_ptr<void> owner_;
};

}  // namespace io_tools
