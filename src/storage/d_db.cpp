#include "disk_tools/d_db.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/factories.h"
#include "disk_tools/detail/hashmap_records.h"
#include "disk_tools/detail/list_records.h"
#include "disk_tools/detail/map_records.h"
#include "disk_tools/detail/root_walk.h"
#include "disk_tools/detail/vector_header.h"

namespace disk_tools {

d_env* p_d_env = nullptr;

namespace {

constexpr char const* extension = ".odb";
// The file is opened before the lock that keeps others from changing it is
// taken: once taken, the stream looks at the file again, to its whole length
// when nobody else has it open.
constexpr word_t whole_file = std::numeric_limits<word_t>::max();

// A list head is either -1 or the address of a record inside the blocks area.
bool plausible_head(word_t head, word_t file_size) {
  return head == no_address || (head >= database_header_size &&
                                head <= file_size - static_cast<word_t>(d_alloc_node::record_size));
}

// The file of a database name; the empty name would name a hidden ".odb".
std::string named_file(std::string const& name) {
  if (name.empty()) throw error(errc::bad_name, "empty database name...");
  return database_file_of(name);
}

// The databases open in this process. A child of fork inherits them, but
// their locks, reader slots and journals stay the parent's (a descriptor
// shared through fork shares its locks): the child marks them as the
// parent's, so that using one throws and closing one writes nothing.
struct open_databases {
  std::mutex mutex;
  std::set<d_database*> all;
  // A child of fork's copies of its parent's openings, which refuse their
  // use with a text of their own (db_state::open).
  std::set<d_database*> inherited;
};

open_databases& opened() {
  // Never destroyed: a database may close after the static destructors ran.
  static auto* const databases = new open_databases;
  return *databases;
}

void before_fork() { opened().mutex.lock(); }
void after_fork_in_parent() { opened().mutex.unlock(); }
void after_fork_in_child() {
  for (d_database* db : opened().all) db->disown();
  opened().inherited.insert(opened().all.begin(), opened().all.end());
  opened().all.clear();
  opened().mutex.unlock();
}

void track(d_database* db) {
  static std::once_flag handlers;
  std::call_once(handlers,
                 [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  std::lock_guard<std::mutex> const hold(opened().mutex);
  opened().all.insert(db);
}

void untrack(d_database* db) {
  std::lock_guard<std::mutex> const hold(opened().mutex);
  opened().all.erase(db);
  opened().inherited.erase(db);
}

// What the original calls open with: everything as it always was, and no
// kind records, so their programs' files keep their bytes.
d_open_options plain_options() {
  d_open_options o;
  o.record_kinds = false;
  return o;
}

// Lays out the heads and the empty directory of a new database at the start
// of s.
void write_empty_database(io_tools::bfstream& s) {
  std::vector<char> header(static_cast<std::size_t>(database_header_size));
  encode_word(&header[alloc_list_head], no_address);
  encode_word(&header[free_list_head], no_address);
  directory_entry const free_entry;
  for (int i = 0; i < directory_entry::entry_count; ++i) {
    free_entry.encode(&header[static_cast<std::size_t>(directory_entry::address_of(i))]);
  }
  s.write_at(0, header.data(), header.size());
}

// Makes file a new, empty database when it does not exist. Several programs
// may do so at once: each opens the file without emptying it and, under its
// lock, the one that finds it empty lays it out; an existing file, empty or
// not, is never touched (an empty one may be waiting for its journal).
void create_when_missing(std::string const& file) {
  std::error_code ignored;
  if (std::filesystem::exists(file, ignored)) return;
  {
    io_tools::bfstream make(file.c_str(), std::ios_base::in | std::ios_base::app);
    if (make.fail()) {
      throw error(errc::cannot_open, "unable to open alloc file...", file, make.open_errno());
    }
  }
  io_tools::bfstream s(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (s.fail() || s.bad()) {
    throw error(errc::cannot_open, "unable to open alloc file...", file, s.open_errno());
  }
  if (!s.try_lock()) throw error(errc::in_use, "database is in use...", file);
  if (s.size() != 0) return;
  io_tools::remove_file(journal_file_of(file));
  io_tools::remove_file(index_file_of(file));
  write_empty_database(s);
  // A durable opening relies on the header being on the disk.
  s.sync();
  io_tools::sync_directory_of(file);
}

// A kind named with its article: "a map<...>", "an ordered<...>".
std::string with_article(std::string const& kind) {
  bool const vowel =
      !kind.empty() && std::string_view("aeiou").find(kind[0]) != std::string_view::npos;
  return (vowel ? "an " : "a ") + kind;
}

error kind_mismatch(std::string const& name, std::string const& recorded,
                    std::string const& wanted) {
  std::string const text = "root \"" + name + "\" holds " + with_article(recorded) + ", not " +
                           with_article(wanted) + "...";
  return error(errc::wrong_kind, text.c_str());
}

// A descriptor longer than any record holds is refused for what it is: no
// shorter root name would make room for it.
void check_kind_fits(directory_entry const& e, std::string const& kind) {
  if (kind.size() > kind_record::max_kind_length) {
    std::string const text = "root kind too long to record: a descriptor holds at most " +
                             std::to_string(kind_record::max_kind_length) +
                             " bytes; give its element types shorter words (kind_name)...";
    throw error(errc::bad_name, text.c_str());
  }
  if (!e.kind_fits(kind)) throw error(errc::bad_name, "root name too long to record its kind...");
}

error holds_no(std::string const& name, std::string const& kind) {
  std::string const text = "root \"" + name + "\" holds no " + kind + "...";
  return error(errc::wrong_kind, text.c_str());
}

error no_root(std::string const& name) {
  std::string const text = "no root \"" + name + "\" in the database...";
  return error(errc::out_of_range, text.c_str());
}

// Bytes a node of the map of kind takes (map_records.h): its key and value
// types fix them. -1 for a map of other types.
word_t map_node_reserved(kind_tree const& map) {
  if (map.args.size() != 2) return no_address;
  word_t reserved = static_cast<word_t>(map_node_head::head_size);
  for (kind_tree const& t : map.args) {
    word_t field = 0;
    if (t.word == "unsigned" && t.args.empty()) field = map_slot_field<unsigned>::reserved;
    if (t.word == "string" && t.args.empty()) field = map_slot_field<d_ref<std::string>>::reserved;
    if (field == 0) return no_address;
    reserved += map_node_head::max_pairs * field;
  }
  return reserved;
}

// Whether the block at top, of size bytes, is as large as the top of the
// container whose word is given would be: a list's or a map's header, a hash
// map's header with its buckets, a vector's header with its slots. A vector
// of no slots is left out: its header is two zero words, which a variable's
// value may be as well.
bool top_block_fits(io_tools::bfstream& s, std::string const& word, word_t top, word_t size) {
  if (word == "list") return size == static_cast<word_t>(list_header::record_size);
  if (word == "map") return size == static_cast<word_t>(map_header::record_size);
  if (word == "hashmap") {
    // A table of chains is its header, its buckets and its policy word, if
    // any; a slot table holds its pairs after its slots as well.
    hashmap_header const h = hashmap_header::read(s, top);
    word_t const table = static_cast<word_t>(hashmap_header::fixed_size) +
                         (h.buckets + (h.has_policy ? 1 : 0)) * static_cast<word_t>(word_size);
    return h.slots ? size >= table : size == table;
  }
  word_t const capacity = s.read_word(top);
  return capacity > 0 && size == static_cast<word_t>(vector_header::fixed_size) +
                                     capacity * static_cast<word_t>(word_size);
}

}  // namespace

void d_database::refuse_unlike(std::string const& name, std::string const& kind, word_t top,
                               bool strict) {
  // Without a record only the shape of the first records can tell. A shape
  // that cannot be the kind wanted and is exactly one other kind's is that
  // kind's; one that fits no kind is damage, which the container's own reads
  // report as ever ("corrupt database file...") unless strict.
  kind_tree const tree = kind_tree::parse(kind);
  std::string const& wanted = tree.word;
  std::vector<std::string> fitting;
  // A hash map's header is told by its size as well: a vector's first words
  // (its capacity, its count, a slot) may read as the header of one bucket.
  auto const shape_fits = [&](std::string const& word) {
    return could_hold(stream_, word, top) &&
           (word != "hashmap" || top_block_fits(stream_, word, top, allocator_->size_in_use(top)));
  };
  auto const find_fitting = [&] {
    for (char const* word : {"list", "vector", "hashmap", "map"}) {
      if (shape_fits(word)) fitting.push_back(word);
    }
  };
  if (wanted == "var") {
    // A variable's block may hold any bytes: a container is told from one
    // when its shape is exactly one kind's and its block is as large as that
    // kind's top (a variable of a number takes one word).
    if (strict) return;
    find_fitting();
    if (fitting.size() == 1 &&
        top_block_fits(stream_, fitting.front(), top, allocator_->size_in_use(top))) {
      throw kind_mismatch(name, fitting.front(), kind);
    }
    return;
  }
  if (shape_fits(wanted)) {
    // (record_kind tells a map of other nodes by map_widths_fit.)
    if (wanted == "map" && !strict) refuse_other_map(name, kind, top);
    return;
  }
  find_fitting();
  if (fitting.size() == 1) throw kind_mismatch(name, fitting.front(), kind);
  if (strict) throw holds_no(name, kind);
}

void d_database::refuse_other_map(std::string const& name, std::string const& kind, word_t top) {
  // The two maps of the drivers have the same records but for the size of
  // their nodes' slots, which the size of the root node's block tells.
  word_t const wanted = map_node_reserved(kind_tree::parse(kind));
  if (wanted == no_address) return;
  map_header const header = map_header::read(stream_, top);
  if (!header.initialised()) return;
  word_t const size = allocator_->size_in_use(header.root);
  if (size == wanted || size == no_address) return;
  for (char const* other : {"map<string,string>", "map<unsigned,unsigned>"}) {
    if (size == map_node_reserved(kind_tree::parse(other))) {
      throw kind_mismatch(name, other, kind);
    }
  }
}

namespace {

// Where the link at file leads, through any links after it, when that is no
// file yet but a name in a folder there is: the folder's canonical path and
// the name. "" for a loop of links, or a folder that is not there.
std::string missing_link_target(std::string const& file) {
  namespace fs = std::filesystem;
  constexpr int most_links = 40;  // as the system follows at most
  std::error_code failed;
  fs::path at = file;
  for (int links = 0; links < most_links; ++links) {
    fs::path const to = fs::read_symlink(at, failed);
    if (failed) return "";
    at = to.is_absolute() ? to : at.parent_path() / to;
    fs::file_status const s = fs::symlink_status(at, failed);
    if (s.type() == fs::file_type::symlink) continue;
    if (s.type() != fs::file_type::not_found || !at.has_filename()) return "";
    fs::path const folder = fs::canonical(at.parent_path().empty() ? "." : at.parent_path(),
                                          failed);
    if (failed) return "";
    return (folder / at.filename()).string();
  }
  return "";
}

}  // namespace

std::string database_file_of(std::string const& name_or_file) {
  // The empty name, or a folder's ("notes/", "/"), would name a hidden ".odb".
  if (name_or_file.empty()) throw error(errc::bad_name, "empty database name...");
  if (name_or_file.back() == '/') {
    throw error(errc::bad_name, "database name ends in '/': name a file in the folder...",
                name_or_file);
  }
  // "." and ".." name folders too: "." would name the hidden "..odb".
  std::string const last = name_or_file.substr(name_or_file.rfind('/') + 1);
  if (last == "." || last == "..") {
    throw error(errc::bad_name, "database name is a folder's ('.' or '..'): name a file in it...",
                name_or_file);
  }
  // The system would take the name as far as its first 0 byte: another file.
  if (name_or_file.find('\0') != std::string::npos) {
    throw error(errc::bad_name, "database name holds a 0 byte...");
  }
  std::string const ext = extension;
  bool const is_file = name_or_file.size() >= ext.size() &&
                       name_or_file.compare(name_or_file.size() - ext.size(), ext.size(), ext) == 0;
  std::string const file = is_file ? name_or_file : name_or_file + ext;
  // A link names the file it leads to. The lock file and the journal go
  // beside that file, so that openings through the link and through the
  // file's own name meet the same ones (apart, each took itself for alone
  // and wrote over the other's commits).
  std::error_code failed;
  if (std::filesystem::is_symlink(file, failed)) {
    std::filesystem::path const target = std::filesystem::canonical(file, failed);
    if (!failed) return target.string();
    // A link to a file not made yet names that file too: create_database
    // makes it there, where the user keeps it, and the link stays.
    std::string const missing = missing_link_target(file);
    if (!missing.empty()) return missing;
  }
  return file;
}

std::string journal_file_of(std::string const& database_file) {
  return database_file + "-journal";
}

std::string index_file_of(std::string const& database_file) {
  return database_file + "-index";
}

d_database& db_state::open() const {
  if (inherited) {
    throw error(errc::closed,
                "database was opened before this process forked: open it again in this process...");
  }
  if (broken) throw error(errc::must_reopen, "database must be reopened...");
  if (!database) throw error(errc::closed, "database is closed...");
  database->check_thread();
  database->follow_commits();
  return *database;
}

void db_state::note_freed(word_t container, gone_reason why) {
  note_change(container);
  std::vector<gone_window>& windows = gone[container];
  if (!scope_began.empty()) scope_steps.push_back({container, changes, false, windows});
  // Every object attached before now is refused: one window holds them all.
  windows.assign(1, gone_window{0, changes, why});
  gone_until = changes;
}

void db_state::note_made(word_t container) {
  note_change(container);
  if (!scope_began.empty()) scope_steps.push_back({container, changes, true, {}});
}

void db_state::check_not_gone(word_t container, std::uint64_t seen) const {
  auto const at = gone.find(container);
  if (at == gone.end()) return;
  for (gone_window const& w : at->second) {
    if (seen < w.from || seen >= w.to) continue;
    switch (w.why) {
      case gone_reason::rolled_back:
        throw error(errc::rolled_back, rolled_back_message);
      case gone_reason::removed:
        throw error(errc::out_of_range, "container was removed with its root: make it again...");
      case gone_reason::taken_out:
        throw error(errc::out_of_range,
                    "list was taken out of its list of lists, which freed it: read the list of "
                    "lists again...");
      case gone_reason::erased:
        break;
    }
    throw error(errc::out_of_range, erased_inner_message);
  }
}

void db_state::check_not_undone(word_t container, std::uint64_t copied) const {
  for (undone_span const& span : undone) {
    if (copied < span.from || copied >= span.to) continue;
    auto const at = changed_at.find(container);
    if (container == no_address || (at != changed_at.end() && at->second >= span.from))
      throw error(errc::rolled_back, undone_iterator_message);
  }
}

void db_state::scope_committed(int depth) {
  auto const open = static_cast<std::size_t>(depth < 0 ? 0 : depth);
  if (scope_began.size() > open) scope_began.resize(open);
  // Once the transaction commits, nothing can take back what it did.
  if (scope_began.empty()) scope_steps.clear();
}

void db_state::scope_rolled_back(int depth, bool put_back) {
  // With the journal off the scope's changes stay, as if it had committed.
  if (!put_back) return scope_committed(depth - 1);
  if (depth < 1 || scope_began.size() < static_cast<std::size_t>(depth)) return;
  std::uint64_t const began = scope_began[static_cast<std::size_t>(depth) - 1];
  scope_began.resize(static_cast<std::size_t>(depth) - 1);
  if (undone.size() == undone_limit) {
    undone[1].from = undone[0].from;
    undone.erase(undone.begin());
  }
  undone.push_back(undone_span{began, changes});
  undone_until = changes;
  // The slot tables' entries are back where they were before the scope.
  for (auto& [table, m] : moves) {
    while (!m.latest.empty() && m.latest.back().at > began) m.latest.pop_back();
  }
  // Newest first: what the scope made is gone for the objects attached
  // since, and what it freed is back, as the file is, for those attached
  // before (the windows of what it made after the freeing stay).
  while (!scope_steps.empty() && scope_steps.back().at > began) {
    scope_step& step = scope_steps.back();
    std::vector<gone_window>& windows = gone[step.container];
    if (step.made) {
      // Between two makings rolled back, with no freeing since (which would
      // have started the windows afresh), the container was nowhere: no
      // object can have attached to it then, and one window serves both.
      // A loop of rolled-back transactions keeps one window, not one each.
      if (!windows.empty() && windows.back().why == gone_reason::rolled_back) {
        windows.back().from = std::min(windows.back().from, step.at);
        windows.back().to = changes;
      } else {
        windows.push_back(gone_window{step.at, changes, gone_reason::rolled_back});
      }
      gone_until = changes;
    } else {
      for (gone_window const& w : windows) {
        if (w.from > step.at) step.before.push_back(w);
      }
      windows = std::move(step.before);
      if (windows.empty()) gone.erase(step.container);
    }
    scope_steps.pop_back();
  }
}

bool d_database::enter() {
  void const* const me = this_thread();
  void const* user = user_.load(std::memory_order_relaxed);
  if (user == me) return false;
  // Only an unowned database is taken: two threads racing here cannot both
  // win.
  if (user || !user_.compare_exchange_strong(user, me, std::memory_order_acquire)) {
    refuse_thread();
  }
  return true;
}

void d_database::refuse_thread() const {
  throw error(errc::busy, "database is in use by another thread...", file_name_);
}

void d_database::leave_when_outermost_ended() {
  if (journal_->depth() == 0) user_.store(nullptr, std::memory_order_release);
}

d_database::d_database(std::string const& name, long const& directory_offset, d_env* env)
    : d_database(name, directory_offset, env, plain_options()) {}

d_database::d_database(std::string const& name, long const& directory_offset, d_env* env,
                       d_open_options const& options)
    : file_name_(named_file(name)),
      mode_(options.journal),
      directory_offset_(directory_offset),
      record_kinds_(options.record_kinds),
      read_only_(options.read_only),
      busy_timeout_(options.busy_timeout) {
  stream_.open(file_name_.c_str(), read_only_ ? std::ios_base::in
                                              : std::ios_base::in | std::ios_base::out |
                                                    std::ios_base::ate);
  // The allocator shares this stream, so a file that cannot be opened is the
  // allocator's failure.
  if (stream_.fail() || stream_.bad())
    throw error(errc::cannot_open, "unable to open alloc file...", file_name_,
                stream_.open_errno());
  try {
    open_file(env, options);
  } catch (...) {
    abandon();
    throw;
  }
}

void d_database::open_file(d_env* env, d_open_options const& options) {
  if (mode_ == d_journal::off && !read_only_) {
    // Unjournaled writes cannot be shared: the opening has the file alone.
    if (!stream_.try_lock()) throw error(errc::in_use, "database is in use...", file_name_);
    // Nobody else has the database: a lock file beside it was left by a
    // process that died, and this opening, which makes none, would leave it.
    io_tools::remove_file(lock_file_of(file_name_));
    stream_.follow_file(whole_file);  // the last opening may have closed just now
    journal_ = std::make_unique<db_journal>(stream_, journal_file_of(file_name_), mode_,
                                            static_cast<word_t>(options.checkpoint_bytes));
  } else {
    open_shared(options);
  }
  if (stream_.size() < database_header_size)
    throw error(errc::not_a_database, "not a database file...", file_name_);
  word_t const size = stream_.size();
  if (!plausible_head(stream_.read_word(alloc_list_head), size) ||
      !plausible_head(stream_.read_word(free_list_head), size)) {
    throw error(errc::not_a_database, "not a database file...", file_name_);
  }
  allocator_ = std::make_unique<d_alloc>(stream_);
  allocator_->attach(this);
  // The side file describes the file as the last close left it: only an
  // opening alone can trust it.
  if (!read_only_ && (!lock_ || lock_->alone())) allocator_->load_index(index_file_of(file_name_));
  state_ = std::make_shared<db_state>();
  state_->database = this;
  stream_.set_owner(state_);
  if (env) {
    env->allocator = allocator_.get();
    env->stream = &stream_;
  }
  if (lock_ && lock_->alone() && !read_only_) {
    lock_->work_alone();
    alone_ = true;
  }
  set_others_word();
  if (lock_) lock_->joined();
  // An opening that reads now and then holds nothing back between reads.
  if (slot_ >= 0) lock_->rest(slot_);
  track(this);
}

void d_database::abandon() noexcept {
  // An opening refused half way leaves as a close does, so that the last one
  // out removes the lock file it made, and a journal is removed only while
  // the gate keeps newcomers out.
  allocator_.reset();
  // The file keeps its length: a recovery cut it where it had to, and beside
  // others this opening's view ends at the checkpoint it found, which they
  // may since have passed (starting their log afresh): cutting the file there
  // would take their committed bytes from under them and every reader.
  stream_.keep_length_at_close();
  bool last = true;
  if (lock_) {
    try {
      if (slot_ >= 0) lock_->free_slot(slot_);
      slot_ = -1;
      last = lock_->leaving();
    } catch (error const&) {
      last = false;
    }
  }
  if (journal_) {
    try {
      journal_->close(last);
    } catch (error const&) {
      // The journal stays; the next opening plays it back.
    }
  }
  if (lock_) lock_->left(last);
}

void d_database::open_shared(d_open_options const& options) {
  // The shared lock keeps an unjournaled opening out, and lets the tools that
  // rewrite the file (create, delete, compact) see that it is in use.
  if (!stream_.try_lock_shared()) throw error(errc::in_use, "database is in use...", file_name_);
  try {
    lock_ = std::make_unique<lock_file>(file_name_, stream_.descriptor(), busy_timeout_);
  } catch (error const& e) {
    // The opening that has the database alone stayed inside a transaction.
    if (e.code() == errc::busy) throw error(errc::busy, e.what(), file_name_);
    if (!read_only_ || e.code() == errc::in_use) throw;
    // A lock file this process may not write. Nobody writes the database
    // meanwhile, or this opening could not follow: it is refused rather
    // than told that a live writer's journal was left by a dead one. It
    // marks itself before it looks, and a writer looks after it has joined,
    // so that of two that come at once at least one sees the other.
    if (!mark_unfollowed(stream_.descriptor())) {
      throw error(errc::io_failure, "unable to lock db file...", file_name_, errno);
    }
    if (open_elsewhere(file_name_)) {
      throw error(errc::read_only,
                  "database is open elsewhere, and this process may not write its lock file...",
                  lock_file_of(file_name_));
    }
    // Nor through another name, whose openings this one could not follow
    // either. (One through another name that comes later does not see this
    // opening, which holds no lock of its own.)
    if (open_through_any_name(stream_.descriptor())) throw in_use_through_another_name(file_name_);
  }
  if (!read_only_ && open_unfollowed(stream_.descriptor())) {
    throw error(errc::in_use,
                "database is open read-only by a process that may not write its lock file, "
                "which could not follow changes...",
                file_name_);
  }
  bool const alone = !lock_ || lock_->alone();
  // An opening that closed meanwhile may have left the file longer or
  // shorter than it was at open, and the others may be writing it still.
  stream_.follow_file(alone ? whole_file : lock_->state().checkpoint_length);
  journal_role const role =
      read_only_ ? journal_role::reader : alone ? journal_role::alone : journal_role::join;
  // Nothing reads the file before a journal left by a dead process is played
  // back.
  try {
    journal_ = std::make_unique<db_journal>(stream_, journal_file_of(file_name_), mode_,
                                            static_cast<word_t>(options.checkpoint_bytes),
                                            lock_.get(), role);
  } catch (error const& e) {
    // A writer kept its turn longer than this opening would wait to join.
    if (e.code() == errc::busy) throw error(errc::busy, e.what(), file_name_);
    throw;
  }
  if (lock_ && alone && read_only_) lock_->reset(stream_.size(), 0);
  // Nothing else reads the file before the view shows the latest commit,
  // which stays pinned while the opening reads its header and the
  // allocator's lists: a checkpoint could change the file under them.
  if (lock_ && !alone) follow_pinned();
}

void d_database::take_turn() {
  // The writer's view cannot be overtaken (only the writer checkpoints): an
  // operation's pin holds nothing back while this waits for its turn.
  if (slot_ >= 0 && pinned_ == 0) lock_->unpin_if_pinned(slot_);
  if (!lock_->take_writer(busy_timeout_)) {
    throw error(errc::busy, "database is busy...", file_name_);
  }
  // Inside a read transaction the caller has read its snapshot: once others
  // committed after it, a change would be made on reads that went stale and
  // write over what they committed. The caller ends the read transaction
  // and tries again, as after any busy.
  if (pinned_ > 0 && lock_->state().commits != view_.commit) {
    lock_->release_writer();
    throw error(errc::busy, "database is busy...", file_name_);
  }
  try {
    if (lock_->restarting()) journal_->finish_dead_restart();
    if (lock_->publishing()) journal_->repair_dead_writer();
    journal_->take_up_redo_log();
    journal_->checkpoint_long_log();
    catch_up(lock_->state());
  } catch (...) {
    lock_->release_writer();
    throw;
  }
}

void d_database::follow() {
  if (alone_) {
    if (!lock_->join_asked()) return;
    go_shared();
  }
  follow_pinned();
}

void d_database::follow_pinned() {
  if (slot_ < 0) slot_ = lock_->take_slot();
  // Nothing published since this opening pinned what its view shows, and
  // the pin still holds: the view shows the latest commit.
  if (lock_->holds_latest(slot_, pinned_state_)) return;
  published_state s = lock_->pin(slot_);
  if (view_.commit != s.commits || view_.generation != s.generation) {
    // A writer starting the log afresh may not have seen this slot: wait
    // for it (it only writes a header), unless it died doing so.
    for (int tries = 0; lock_->restarting(); ++tries) {
      if (tries >= 100 && !lock_->writer_busy()) break;
      std::this_thread::sleep_for(std::chrono::microseconds(tries < 10 ? 10 : 200));
      s = lock_->pin(slot_);
    }
    try {
      catch_up(s);
    } catch (...) {
      lock_->unpin(slot_);  // a slot left reading would keep the journal from starting afresh
      throw;
    }
  }
  lock_->done_reading(slot_);
  pinned_state_ = s.number;
}

void d_database::go_shared() {
  alone_ = false;
  set_others_word();
  journal_->share();
  lock_->stop_working_alone();
  // The view is the file as it was; others may have committed since.
  view_ = log_view{};
}

void d_database::catch_up(published_state const& s) {
  if (view_.commit == s.commits && view_.generation == s.generation) return;
  // Another opening's remove_root frees the root's entry, which the next new
  // root may take: this opening's objects of the root must find it gone, as
  // after a remove_root of its own, rather than read and write the new
  // root's cell. The directory is read as it was only when the commits
  // change a name or kind there, and only while objects may be attached.
  std::optional<std::vector<directory_entry>> roots_before;
  bool const watched = state_ && state_.use_count() > 1;
  auto const before_change = [&](word_t address, word_t n) {
    if (watched && !roots_before && touches_root_names(address, n)) {
      roots_before = read_directory(stream_, directory_offset_);
    }
    if (allocator_) allocator_->note_followed_change(address, n);
  };
  // The allocator's mirror of the free list takes in the bytes that change,
  // and those a shorter file no longer has.
  word_t const length_before = stream_.size();
  try {
    journal_->follow_log(view_, s, before_change);
  } catch (...) {
    if (allocator_) {
      allocator_->note_followed_change(0, std::numeric_limits<word_t>::max());
      allocator_->follow_file();
    }
    throw;
  }
  if (allocator_) {
    if (stream_.size() < length_before) {
      allocator_->note_followed_change(stream_.size(), length_before - stream_.size());
    }
    allocator_->follow_file();
  }
  if (state_) {
    state_->note_followed();
    if (s.commits != known_commits_) ++state_->followed;
    if (roots_before) note_roots_gone(*roots_before);
  }
  known_commits_ = s.commits;
}

bool d_database::touches_root_names(word_t address, word_t n) const {
  auto const entry = static_cast<word_t>(directory_entry::entry_size);
  word_t const first = directory_offset_, end = first + entry * directory_entry::entry_count;
  if (n <= 0 || address < 0 || address >= end) return false;
  // The whole file is given as the largest length, which address + n would pass.
  word_t const stop = n > end - address ? end : address + n;
  if (stop <= first) return false;
  word_t const lo = std::max(address, first) - first, hi = stop - first;
  // Within one entry's slot word: the entry's name and kind stay as they were.
  return !(lo / entry == (hi - 1) / entry &&
           lo % entry >= static_cast<word_t>(directory_entry::slot_offset));
}

void d_database::note_roots_gone(std::vector<directory_entry> const& before) {
  std::vector<directory_entry> const after = read_directory(stream_, directory_offset_);
  for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
    directory_entry const& was = before[i];
    directory_entry const& is = after[i];
    if (was.is_free()) continue;
    // A kind recorded afterwards (record_kind) is no removal.
    // Nor is a typed map's kind given its slots' shapes (same_kind).
    if (is.name == was.name && (was.kind.empty() || same_kind(was.kind, is.kind))) continue;
    state_->note_freed(directory_entry::address_of(static_cast<int>(i)) +
                           static_cast<word_t>(directory_entry::slot_offset),
                       db_state::gone_reason::removed);
  }
}

void d_database::begin_read() {
  state_->open();
  if (!lock_ || pinned_++ > 0) return;
  if (alone_) {
    try {
      if (pin_alone()) return;
    } catch (...) {
      pinned_ = 0;
      throw;
    }
    go_shared();
  }
  try {
    // The writer's view stays its own: the latest commit while it holds the
    // turn, which nobody checkpoints past; the slot pins what the scope
    // leaves as the turn ends (end_turn).
    if (journal_->depth() > 0) {
      if (slot_ < 0) slot_ = lock_->take_slot();
      return;
    }
    follow_pinned();
  } catch (...) {
    pinned_ = 0;
    throw;
  }
}

bool d_database::pin_alone() {
  // Alone, the file is the latest commit. A read transaction pins it in the
  // reader table rather than keeping joiners waiting, which would shut every
  // other opening out for as long as it lasts: one that joins meanwhile
  // commits to the journal, and no checkpoint copies its commits in past
  // the pin. Pinned before the join word is read (both fenced), so that
  // either the joiner's checkpoints see the pin or this sees the join, and
  // takes turns from now on.
  if (slot_ < 0) slot_ = lock_->take_slot();
  pinned_state_ = lock_->pin(slot_).number;
  lock_->done_reading(slot_);
  // Inside its own transaction the opening keeps joiners waiting still.
  if (journal_->depth() > 0 || !lock_->join_asked()) return true;
  lock_->unpin(slot_);
  return false;
}

void d_database::end_read() {
  if (!lock_ || pinned_ == 0 || --pinned_ > 0) return;
  if (slot_ >= 0) lock_->unpin(slot_);
}

d_database::~d_database() {
  untrack(this);
  if (state_) state_->database = nullptr;
  if (inherited_) {
    // The parent's opening: nothing of it is written or released here, and
    // the members' destructors then only unmap and close.
    if (lock_) lock_->forsake();
    if (journal_) journal_->forsake();
    stream_.keep_length_at_close();
    return;
  }
  // Only the last of the openings that share the file tidies it up.
  bool last = true;
  if (lock_) {
    // A transaction still open is rolled back, and the writer's turn let go,
    // before this opening waits at the gate: an opening joining meanwhile
    // holds the gate while it waits for that turn, and would keep both
    // waiting until it gave up.
    while (journal_->depth() > 0 && !state_->broken) rollback_change();
    try {
      if (slot_ >= 0) lock_->free_slot(slot_);
      slot_ = -1;
      pinned_ = 0;
      // The first opening, idle since others joined, shares their journal:
      // commits it alone holds are copied in by whoever closes last.
      if (alone_ && journal_->depth() == 0 && lock_->join_asked()) go_shared();
      // Another opening of this thread inside its transaction stays, so this
      // one is not the last, and it must not wait at the gate: an opening
      // joining meanwhile holds the gate while it waits for that transaction.
      last = !file_held_in_this_thread() && lock_->leaving();
      if (last && journal_->depth() == 0 && !alone_) catch_up(lock_->state());
    } catch (error const&) {
      last = false;
    }
  }
  if (last && !read_only_ && allocator_ && !state_->broken && journal_->depth() == 0) {
    allocator_->give_back_tail();
    allocator_->save_index(index_file_of(file_name_));
  }
  allocator_.reset();
  // The others' commits may reach past what this opening saw.
  if (!last) stream_.keep_length_at_close();
  try {
    journal_->close(last);
  } catch (error const&) {
    // The journal stays; the next opening plays it back.
  }
  if (lock_) lock_->left(last);
  if (last && read_only_) settle_journal_left();
}

bool d_database::file_held_in_this_thread() const {
  void const* const me = this_thread();
  std::lock_guard<std::mutex> const hold(opened().mutex);
  for (d_database const* db : opened().all) {
    // Its user is this thread, so no other thread closes it meanwhile.
    if (db != this && db->user_.load(std::memory_order_acquire) == me &&
        db->file_name_ == file_name_ && db->lock_ && db->journal_->depth() > 0) {
      return true;
    }
  }
  return false;
}

void d_database::settle_journal_left() const {
  // A writer that closed while read-only openings stayed could not copy in
  // the commits they still read, and the last of them cannot write: the
  // journal holds those commits, and a read-only opening alone would be
  // refused as if a writer had died. An opening for writing plays them in.
  std::error_code ignored;
  if (!std::filesystem::exists(journal_file_of(file_name_), ignored)) return;
  d_open_options o = plain_options();
  o.journal = mode_ == d_journal::durable ? d_journal::durable : d_journal::atomic;
  o.busy_timeout = std::chrono::milliseconds(0);
  try {
    d_database const writer(file_name_, directory_offset_, nullptr, o);
  } catch (error const&) {
    // This process may not write there, or another opening came first: the
    // next opening for writing plays the journal back.
  }
}

void d_database::disown() {
  inherited_ = true;
  // The parent's locks live as long as any descriptor of their open files:
  // the child keeps none, so that a parent that dies lets go of them even
  // while its child lives on.
  let_go_inherited(stream_.descriptor());
  stream_.drop_inherited_mapping();
  if (lock_) lock_->let_go_inherited();
  if (state_) {
    state_->database = nullptr;
    state_->inherited = true;
  }
}

void d_database::begin_change() {
  if (inherited_) state_->open();  // throws why
  if (read_only_) throw error(errc::read_only, "database is read-only...", file_name_);
  if (state_->broken) throw error(errc::must_reopen, "database must be reopened...");
  bool const outermost = enter();
  bool const first = outermost && lock_ && journal_->depth() == 0;
  // Alone (and no other opening asked to join), a transaction takes no lock.
  bool const alone = first && alone_ && lock_->enter_alone();
  try {
    if (first && !alone) {
      if (alone_) go_shared();
      take_turn();
    }
    try {
      journal_->begin();
    } catch (...) {
      if (first && !alone) lock_->release_writer();
      throw;
    }
  } catch (...) {
    if (alone) lock_->leave_alone();
    if (outermost) leave_when_outermost_ended();
    throw;
  }
  allocator_->begin_scope();
  // Counted as a change whatever it goes on to change: an object that reads
  // in place through a pointer into the mapping (a slot map's table) keeps
  // it only while no change was counted since, and any write may move the
  // mapping, a write to no container too.
  ++state_->changes;
  state_->scope_begun();
}

void d_database::end_turn() {
  if (!lock_ || journal_->depth() != 0) return;
  if (alone_) {
    // An opening that joins later finds the length here.
    known_commits_ = lock_->publish_in_place(stream_.size(), journal_->log_end(),
                                             journal_->commits_not_in_file(),
                                             journal_->log_not_in_file(),
                                             journal_->length_in_file());
    lock_->leave_alone();
    return;
  }
  published_state const s = lock_->state();
  // This opening's own commit is in its view already. When the log started
  // afresh the view lets go of its copies and follows the file, which holds
  // everything but a commit made after the start (one that found the disk
  // full): that one's records are laid over it again.
  if (s.generation != view_.generation) journal_->follow_log(view_, s);
  view_ = {s.commits, s.log_end, s.generation};
  known_commits_ = s.commits;
  // A read transaction begun inside the scope reads on from what the scope
  // left: pinned before the turn goes, or others' checkpoints would copy
  // their commits into the file under it.
  if (pinned_ > 0 && slot_ >= 0) {
    pinned_state_ = lock_->pin(slot_).number;
    lock_->done_reading(slot_);
  }
  lock_->release_writer();
}

void d_database::commit_change() {
  journal_->commit();
  state_->scope_committed(journal_->depth());
  allocator_->commit_scope();
  end_turn();
  leave_when_outermost_ended();
}

void d_database::rollback_change() noexcept {
  int const depth = journal_->depth();
  bool const put_back = journal_->can_roll_back();
  try {
    journal_->rollback();
  } catch (...) {
    // Memory and file may disagree now; the journal on disk still holds
    // every saved byte, so the next opening sets the file right.
    journal_->mark_broken();
    state_->broken = true;
  }
  allocator_->rollback_scope();
  state_->note_reset();
  state_->scope_rolled_back(depth, put_back);
  end_turn();
  leave_when_outermost_ended();
}

long d_database::get_address(std::string const& name) {
  // Finding a root is a read (see attach_root); only a new name is a change.
  state_->open();
  check_root_name(name);
  int const at = find_root(read_directory(stream_, directory_offset_), name);
  if (at >= 0)
    return directory_entry::address_of(at) + static_cast<word_t>(directory_entry::slot_offset);
  if (read_only_) throw error(errc::read_only, "database is read-only...", file_name_);
  return in_change(*this, [&] { return find_or_register_root(stream_, directory_offset_, name); });
}

bool d_database::has_root(std::string const& name) {
  state_->open();
  return find_root(read_directory(stream_, directory_offset_), name) >= 0;
}

d_database::root_state d_database::root_holds(std::string const& name) {
  state_->open();
  check_root_name(name);
  std::vector<directory_entry> const entries = read_directory(stream_, directory_offset_);
  int const at = find_root(entries, name);
  if (at < 0) return root_state::absent;
  return entries[static_cast<std::size_t>(at)].slot == no_address ? root_state::empty
                                                                  : root_state::holding;
}

std::vector<d_root_info> d_database::roots() {
  state_->open();
  std::vector<directory_entry> const entries = read_directory(stream_, directory_offset_);
  std::vector<d_root_info> out;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    directory_entry const& e = entries[i];
    if (e.is_free()) continue;
    d_root_info r;
    r.name = e.name;
    r.kind = e.kind;
    r.slot = directory_entry::address_of(static_cast<int>(i)) +
             static_cast<word_t>(directory_entry::slot_offset);
    r.holds = e.slot;
    out.push_back(r);
  }
  return out;
}

long d_database::attach_root(std::string const& name, std::string const& kind, d_root mode) {
  check_root_name(name);
  // Set when the look finds that attaching would write the entry.
  bool must_write = false;
  auto const attach = [&](bool writing) -> word_t {
    std::vector<directory_entry> entries = read_directory(stream_, directory_offset_);
    int at = find_root(entries, name);
    bool changed = at < 0;
    if (at < 0) {
      if (mode == d_root::existing) {
        throw no_root(name);
      }
      for (std::size_t i = 0; i < entries.size() && at < 0; ++i) {
        if (entries[i].is_free()) at = static_cast<int>(i);
      }
      if (at < 0) return no_address;
      entries[static_cast<std::size_t>(at)] = directory_entry{};
      entries[static_cast<std::size_t>(at)].name = name;
    }
    directory_entry& e = entries[static_cast<std::size_t>(at)];
    if (e.kind_status == kind_record::status::damaged) throw io_tools::corrupt_file(stream_);
    if (e.kind_status == kind_record::status::recorded && !same_kind(e.kind, kind)) {
      throw kind_mismatch(name, e.kind, kind);
    }
    // A typed map of a type with a word of its own, recorded before such
    // words carried their slots' shape, gets the shape now where it fits:
    // without it the map could never be removed, nor the file compacted.
    bool const upgrade = e.kind_status == kind_record::status::recorded && e.kind != kind &&
                         e.slot != no_address && !read_only_ &&
                         kind.size() <= kind_record::max_kind_length && e.kind_fits(kind);
    if (upgrade) {
      e.kind = kind;
      changed = true;
    }
    if (e.kind_status == kind_record::status::none && e.slot != no_address) {
      refuse_unlike(name, kind, e.slot, false);
    }
    // A root made now records its kind; one that holds a container already
    // (made before kinds were recorded) is left as it was found. A typed map
    // records its kind under the plain opening too: no older file holds one,
    // and its records look like a map's to every check of shape. A new root
    // without its record could later be opened as a kind of another element
    // type, whose shape is the same: it is refused instead.
    bool const fresh = e.slot == no_address && e.kind_status == kind_record::status::none;
    bool const must_record = record_kinds_ || kind.rfind("ordered<", 0) == 0;
    if (fresh && must_record) {
      check_kind_fits(e, kind);
      e.kind = kind;
      e.kind_status = kind_record::status::recorded;
      changed = true;
    }
    word_t const slot =
        directory_entry::address_of(at) + static_cast<word_t>(directory_entry::slot_offset);
    if (changed) {
      if (!writing) {
        must_write = true;
        return no_address;
      }
      write_entry(stream_, directory_offset_, at, e);
      // A rollback frees the entry again, for the next new root to take.
      if (e.slot == no_address) state_->note_made(slot);
    }
    return slot;
  };
  // Attaching an existing root changes nothing: it is a read, which a
  // read-only opening may make, and a read transaction whose snapshot others
  // have passed; nor does it wait for the writer's turn. Only a root that
  // must be written (a new name, a kind to record) takes a change, which
  // looks again under the writer's turn.
  state_->open();
  word_t const slot = attach(false);
  if (!must_write) return slot;
  if (read_only_) throw error(errc::read_only, "database is read-only...", file_name_);
  return in_change(*this, [&] { return attach(true); });
}

void d_database::record_kind(std::string const& name, std::string const& kind) {
  check_root_name(name);
  in_change(*this, [&] {
    std::vector<directory_entry> entries = read_directory(stream_, directory_offset_);
    int const at = find_root(entries, name);
    if (at < 0) throw no_root(name);
    directory_entry& e = entries[static_cast<std::size_t>(at)];
    if (e.kind_status == kind_record::status::damaged) throw io_tools::corrupt_file(stream_);
    if (e.kind_status == kind_record::status::recorded) {
      if (e.kind != kind) throw kind_mismatch(name, e.kind, kind);
      return;
    }
    check_walkable(kind);
    if (e.slot != no_address) {
      refuse_unlike(name, kind, e.slot, true);
      if (!map_widths_fit(kind, e.slot)) {
        throw holds_no(name, kind);
      }
    }
    check_kind_fits(e, kind);
    e.kind = kind;
    write_entry(stream_, directory_offset_, at, e);
  });
}

bool d_database::map_widths_fit(std::string const& kind, word_t header_at) {
  kind_tree const tree = kind_tree::parse(kind);
  if (tree.word != "map" || tree.args.size() != 2) return true;
  map_header const header = map_header::read(stream_, header_at);
  if (!header.initialised()) return true;
  word_t const reserved = map_node_reserved(tree);
  return reserved != no_address && allocator_->size_in_use(header.root) == reserved;
}

namespace {

// The value blocks of the elements of lists of lists, at any root but the
// one at index skip, that name the root slot at slot as their inner list's
// handle: a list kept at a root and stored in lists of lists as well. Only
// roots whose recorded kind can hold a list of kind (a list of lists of that
// kind, at any depth or inside a map's values) are walked; with none, the
// directory's kinds are the only look.
std::vector<word_t> elements_naming(io_tools::bfstream& s,
                                    std::vector<directory_entry> const& entries, int skip,
                                    std::string const& kind, word_t slot) {
  std::vector<word_t> found;
  if (kind.rfind("list<", 0) != 0) return found;
  std::string const holder = "list<" + kind + ">";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    directory_entry const& e = entries[i];
    if (static_cast<int>(i) == skip || e.slot == no_address ||
        e.kind_status != kind_record::status::recorded ||
        e.kind.find(holder) == std::string::npos) {
      continue;
    }
    // An element's value block is the only block a walk finds whose one
    // address word may name a root slot: the others name blocks.
    root_walker(s, false).walk(e.kind, e.slot, [&](owned_block const& b) {
      if (b.links == std::vector<std::size_t>{inner_list_value::handle_offset} &&
          b.run_words == 0 && s.read_word(b.address) == slot) {
        found.push_back(b.address);
      }
    });
  }
  return found;
}

}  // namespace

bool d_database::held_by_an_element(word_t handle, std::string const& kind) {
  std::vector<directory_entry> const entries = read_directory(stream_, directory_offset_);
  return !elements_naming(stream_, entries, -1, kind, handle).empty();
}

bool d_database::remove_root(std::string const& name) {
  check_root_name(name);
  return in_change(*this, [&] {
    std::vector<directory_entry> const entries = read_directory(stream_, directory_offset_);
    int const at = find_root(entries, name);
    if (at < 0) return false;
    directory_entry const& e = entries[static_cast<std::size_t>(at)];
    if (e.kind_status == kind_record::status::damaged) throw io_tools::corrupt_file(stream_);
    word_t const slot =
        directory_entry::address_of(at) + static_cast<word_t>(directory_entry::slot_offset);
    std::vector<word_t> const holders = e.slot == no_address
                                            ? std::vector<word_t>{}
                                            : elements_naming(stream_, entries, at, e.kind, slot);
    if (holders.size() > 1) {
      // Each element owns its inner list: given a handle block of its own, the
      // list would have several owners, and the first element taken out would
      // free it under the others.
      throw error(errc::wrong_kind,
                  "list is an element of lists of lists more than once: removing its root would "
                  "leave one list to several elements; take it out of all but one first...");
    }
    if (!holders.empty()) {
      // A list that lists of lists hold as an element stays theirs: only the
      // name goes. It gets a handle block of its own, as a list made as an
      // element is, and every element that named the root slot names that
      // block instead; the walk of each list of lists finds it from then on.
      word_t const handle = create_list(this);
      stream_.write_word(handle, e.slot);
      for (word_t value : holders) {
        stream_.write_word(value + static_cast<word_t>(inner_list_value::handle_offset), handle);
      }
    } else if (e.slot != no_address) {
      if (e.kind.empty()) {
        std::string const text =
            "root \"" + name + "\" records no kind: its blocks cannot be told apart...";
        throw error(errc::wrong_kind, text.c_str());
      }
      // Every block is found before any is freed: a freed block may be
      // reused by the allocator's own bookkeeping.
      std::vector<word_t> blocks, handles;
      // A count or link that disagrees with the records does not hide a
      // block: such a root is removed all the same.
      root_walker(stream_, false).walk(e.kind, e.slot, [&](owned_block const& b) {
        blocks.push_back(b.address);
        // An inner container's handle block is one word naming its header
        // (a list's header is such a block too, and no harm to count).
        bool const one_word = b.links == std::vector<std::size_t>{0} && b.run_words == 0;
        if (one_word) handles.push_back(b.address);
      });
      for (word_t b : blocks) allocator_->deallocate(b);
      for (word_t h : handles) state_->note_freed(h, db_state::gone_reason::removed);
    }
    write_entry(stream_, directory_offset_, at, directory_entry{});
    // Objects still attached to the root find it gone, even once another
    // root takes the entry.
    state_->note_reset();
    state_->note_freed(slot, db_state::gone_reason::removed);
    return true;
  });
}

bool create_database(std::string const& name, d_env* /*env*/) {
  std::string const file = named_file(name);
  // A database that is open somewhere must not be emptied under its user:
  // hold its lock while the new file is written.
  io_tools::bfstream guard(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (guard.is_open() && !guard.try_lock()) return false;
  // Written whole and synced under another name, then renamed: a crash or a
  // power loss leaves the old file (or none) or the new one, never a part,
  // and a durable journal started on it later finds every byte on the disk.
  // The name is this call's own: two creates of one name at once each write
  // their file and the last rename stays. (Under the one name NAME.odb-new,
  // each cut what the other was writing, which could take the database's
  // name half written.) What creates that died left there goes, and a link
  // left under the name is replaced, not written through.
  std::string const fresh = io_tools::own_new_file_of(file);
  io_tools::remove_new_files_of_dead_writers(file);
  io_tools::remove_file(fresh);
  io_tools::bfstream s(fresh.c_str(), std::ios_base::in | std::ios_base::out |
                                          std::ios_base::trunc | std::ios_base::ate);
  if (s.fail() || s.bad() || !s.try_lock()) return false;
  try {
    write_empty_database(s);
    s.sync();
  } catch (error const&) {
    s.close();
    io_tools::remove_file(fresh);
    return false;
  }
  s.close();
  // Where there was no file to hold, another create of the name may have
  // finished meanwhile, and its file may be open by now.
  io_tools::bfstream made(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (!guard.is_open() && made.is_open() && !made.try_lock()) {
    io_tools::remove_file(fresh);
    return false;
  }
  // A journal or an index left beside an old file belongs to that file, not
  // to this one; a journal is gone for good before the new file takes the
  // name, or it would be played back onto it.
  bool const had_journal = io_tools::remove_file(journal_file_of(file));
  io_tools::remove_file(index_file_of(file));
  if (had_journal) io_tools::sync_directory_of(file);
  if (!io_tools::rename_file(fresh, file)) {
    io_tools::remove_file(fresh);  // (the name is a folder's, say)
    return false;
  }
  io_tools::sync_directory_of(file);
  return true;
}

d_database* open_database(std::string const& name, d_env* env) {
  return open_database(name, env, plain_options());
}

d_database* open_database(std::string const& name, d_env* env, d_open_options const& options) {
  if (options.create_if_missing) create_when_missing(named_file(name));
  auto db = std::make_unique<d_database>(name, directory_entry::directory_offset, env, options);
  if (env) {
    env->database = db.get();
    env->stream = db->stream();
    env->allocator = db->allocator();
  }
  return db.release();
}

void close_database(d_database* db) {
  if (db) db->check_thread();
  delete db;
}

scoped_database open_database_scoped(std::string const& name, d_env* env,
                                     d_open_options const& options) {
  return scoped_database(open_database(name, env, options));
}

bool delete_database(std::string const& name) {
  std::string const file = named_file(name);
  io_tools::bfstream s(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (s.fail()) {
    // A missing file is created so that it can be wiped and removed like any
    // other.
    s.clear();
    s.open(file.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::trunc);
  }
  if (s.fail() || s.bad() || !s.try_lock()) return false;
  constexpr std::size_t block = 1024;
  std::vector<char> const zeros(block, 0);
  word_t const blocks = s.size() / static_cast<word_t>(block) + 1;
  for (word_t i = 0; i < blocks; ++i) {
    s.write_at(i * static_cast<word_t>(block), zeros.data(), zeros.size());
  }
  s.close();
  std::remove(journal_file_of(file).c_str());
  std::remove(index_file_of(file).c_str());
  std::remove(file.c_str());
  return true;
}

d_database* require_open(d_database* db) {
  std::lock_guard<std::mutex> const hold(opened().mutex);
  if (db && (opened().all.count(db) != 0 || opened().inherited.count(db) != 0)) return db;
  throw error(errc::closed, "database is closed...");
}

word_t root_slot(d_database* db, std::string const& name) {
  word_t const slot = require_open(db)->get_address(name);
  if (slot == no_address) throw error(errc::directory_full, "root directory full...");
  return slot;
}

word_t root_slot(d_database* db, std::string const& name, std::string const& kind, d_root mode) {
  word_t const slot = require_open(db)->attach_root(name, kind, mode);
  if (slot == no_address) throw error(errc::directory_full, "root directory full...");
  return slot;
}

d_transaction::d_transaction(d_database* db) {
  state_ = require_open(db)->state();
  // Checked as every operation is (db_state::open), but others' commits are
  // not followed first: the outermost scope takes the writer's turn and
  // catches up with the latest commit under it, and a snapshot pinned now
  // would only be let go as the turn is taken, at every transaction.
  if (state_->inherited || state_->broken || !state_->database) state_->open();  // throws why
  d_database& database = *state_->database;
  database.check_thread();
  database.begin_change();
  began_ = state_->scope_began.back();
}

d_transaction::~d_transaction() {
  if (!active_ || !state_->database) return;
  // Scopes begun inside it and left open are part of it: they go with it, so
  // that the rollback takes back its own changes, not an inner scope's only.
  std::size_t const level = open_level();
  if (level == 0) return;
  for (std::size_t open = state_->scope_began.size(); open >= level; --open) {
    state_->database->rollback_change();
  }
}

// Where its scope stands among the open ones, 1 for the outermost; 0 once a
// scope around it was rolled back, which took it back and ended it.
std::size_t d_transaction::open_level() const {
  std::vector<std::uint64_t> const& open = state_->scope_began;
  auto const at = std::find(open.begin(), open.end(), began_);
  return at == open.end() ? 0 : static_cast<std::size_t>(at - open.begin()) + 1;
}

bool d_transaction::active() const {
  if (!active_) return false;
  return !state_->database || open_level() != 0;
}

d_read_transaction::d_read_transaction(d_database* db) {
  state_ = require_open(db)->state();
  db->begin_read();
}

void d_read_transaction::end() {
  if (!active_) return;
  active_ = false;
  if (state_->database) state_->database->end_read();
}

void d_transaction::commit() {
  if (!active_) throw error(errc::transaction_ended, "transaction already ended...");
  d_database& db = state_->open();
  std::size_t const level = open_level();
  if (level == 0) {
    active_ = false;
    throw error(errc::transaction_ended, "transaction already ended...");
  }
  // Committing would end the inner scope instead, and leave this one open.
  if (level != state_->scope_began.size()) {
    throw error(errc::nested_open,
                "a transaction begun inside this one is still open: end it first...");
  }
  db.commit_change();
  active_ = false;
}

void d_transaction::rollback() {
  if (!active_) throw error(errc::transaction_ended, "transaction already ended...");
  d_database& db = state_->open();
  std::size_t const level = open_level();
  active_ = false;
  if (level == 0) throw error(errc::transaction_ended, "transaction already ended...");
  for (std::size_t open = state_->scope_began.size(); open >= level; --open) {
    db.rollback_change();
  }
}

}  // namespace disk_tools
