#include "disk_tools/d_db.h"

#include <cstdio>
#include <vector>

#include "disk_tools/d_transaction.h"

namespace disk_tools {

d_env* p_d_env = nullptr;

namespace {

constexpr char const* extension = ".odb";

// A list head is either -1 or the address of a record inside the blocks area.
bool plausible_head(word_t head, word_t file_size) {
  return head == no_address || (head >= database_header_size &&
                                head <= file_size - static_cast<word_t>(d_alloc_node::record_size));
}

}  // namespace

std::string database_file_of(std::string const& name_or_file) {
  std::string const ext = extension;
  bool const is_file = name_or_file.size() >= ext.size() &&
                       name_or_file.compare(name_or_file.size() - ext.size(), ext.size(), ext) == 0;
  return is_file ? name_or_file : name_or_file + ext;
}

std::string journal_file_of(std::string const& database_file) {
  return database_file + "-journal";
}

std::string index_file_of(std::string const& database_file) {
  return database_file + "-index";
}

d_database& db_state::open() const {
  if (broken) throw error(errc::must_reopen, "database must be reopened...");
  if (!database) throw error(errc::closed, "database is closed...");
  database->check_thread();
  return *database;
}

void const* d_database::this_thread() {
  thread_local char token;
  return &token;
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
    : d_database(name, directory_offset, env, d_open_options{}) {}

d_database::d_database(std::string const& name, long const& directory_offset, d_env* env,
                       d_open_options const& options)
    : file_name_(name + extension), mode_(options.journal), directory_offset_(directory_offset) {
  stream_.open(file_name_.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::ate);
  // The allocator shares this stream, so a file that cannot be opened is the
  // allocator's failure.
  if (stream_.fail() || stream_.bad())
    throw error(errc::cannot_open, "unable to open alloc file...", file_name_,
                stream_.open_errno());
  // Two processes writing one file would corrupt it without either noticing.
  // The lock covers the journal too: only its holder reads or writes it.
  if (!stream_.try_lock()) throw error(errc::in_use, "database is in use...", file_name_);
  // Nothing reads the file before a journal left by a dead process is played
  // back.
  journal_ = std::make_unique<db_journal>(stream_, journal_file_of(file_name_), mode_,
                                          static_cast<word_t>(options.checkpoint_bytes));
  if (stream_.size() < database_header_size)
    throw error(errc::not_a_database, "not a database file...", file_name_);
  word_t const size = stream_.size();
  if (!plausible_head(stream_.read_word(alloc_list_head), size) ||
      !plausible_head(stream_.read_word(free_list_head), size)) {
    throw error(errc::not_a_database, "not a database file...", file_name_);
  }
  allocator_ = std::make_unique<d_alloc>(stream_);
  allocator_->attach(this);
  allocator_->load_index(index_file_of(file_name_));
  state_ = std::make_shared<db_state>();
  state_->database = this;
  stream_.set_owner(state_);
  if (env) {
    env->allocator = allocator_.get();
    env->stream = &stream_;
  }
}

d_database::~d_database() {
  if (state_) state_->database = nullptr;
  if (allocator_ && !state_->broken && journal_->depth() == 0) {
    allocator_->give_back_tail();
    allocator_->save_index(index_file_of(file_name_));
  }
  allocator_.reset();
  try {
    journal_->close();
  } catch (error const&) {
    // The journal stays; the next opening plays it back.
  }
}

void d_database::begin_change() {
  if (state_->broken) throw error(errc::must_reopen, "database must be reopened...");
  bool const outermost = enter();
  try {
    journal_->begin();
  } catch (...) {
    if (outermost) leave_when_outermost_ended();
    throw;
  }
  allocator_->begin_scope();
}

void d_database::commit_change() {
  journal_->commit();
  allocator_->commit_scope();
  leave_when_outermost_ended();
}

void d_database::rollback_change() noexcept {
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
  leave_when_outermost_ended();
}

long d_database::get_address(std::string const& name) {
  return in_change(*this, [&] { return find_or_register_root(stream_, directory_offset_, name); });
}

namespace {

// The bytes of a new, empty database: both lists empty, every directory
// entry free.
std::vector<char> empty_database() {
  std::vector<char> header(static_cast<std::size_t>(database_header_size));
  encode_word(&header[alloc_list_head], no_address);
  encode_word(&header[free_list_head], no_address);
  directory_entry const free_entry;
  for (int i = 0; i < directory_entry::entry_count; ++i) {
    free_entry.encode(&header[static_cast<std::size_t>(directory_entry::address_of(i))]);
  }
  return header;
}

}  // namespace

bool create_database(std::string const& name, d_env* /*env*/) {
  std::string const file = name + extension;
  // A database that is open somewhere must not be emptied under its user:
  // hold its lock while the new file is written.
  io_tools::bfstream guard(file.c_str(), std::ios_base::in | std::ios_base::out);
  if (guard.is_open() && !guard.try_lock()) return false;
  // Written whole and synced under another name, then renamed: a crash or a
  // power loss leaves the old file (or none) or the new one, never a part,
  // and a durable journal started on it later finds every byte on the disk.
  std::string const fresh = file + "-new";
  io_tools::bfstream s(fresh.c_str(), std::ios_base::in | std::ios_base::out |
                                          std::ios_base::trunc | std::ios_base::ate);
  if (s.fail() || s.bad() || !s.try_lock()) return false;
  // A journal or an index left beside an old file belongs to that file, not
  // to this one; a journal is gone for good before the new file takes the
  // name, or it would be played back onto it.
  bool const had_journal = io_tools::remove_file(journal_file_of(file));
  io_tools::remove_file(index_file_of(file));
  if (had_journal) io_tools::sync_directory_of(file);
  try {
    std::vector<char> const header = empty_database();
    s.write_at(0, header.data(), header.size());
    s.sync();
  } catch (error const&) {
    s.close();
    io_tools::remove_file(fresh);
    return false;
  }
  s.close();
  if (!io_tools::rename_file(fresh, file)) return false;
  io_tools::sync_directory_of(file);
  return true;
}

d_database* open_database(std::string const& name, d_env* env) {
  return open_database(name, env, d_open_options{});
}

d_database* open_database(std::string const& name, d_env* env, d_open_options const& options) {
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
  std::string const file = name + extension;
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

word_t root_slot(d_database* db, std::string const& name) {
  word_t const slot = db->get_address(name);
  if (slot == no_address) throw error(errc::directory_full, "root directory full...");
  return slot;
}

d_transaction::d_transaction(d_database* db) {
  if (!db) throw error(errc::closed, "database is closed...");
  state_ = db->state();
  state_->open().begin_change();
}

d_transaction::~d_transaction() {
  if (active_ && state_->database) state_->database->rollback_change();
}

void d_transaction::commit() {
  if (!active_) throw error(errc::transaction_ended, "transaction already ended...");
  d_database& db = state_->open();
  db.commit_change();
  active_ = false;
}

void d_transaction::rollback() {
  if (!active_) throw error(errc::transaction_ended, "transaction already ended...");
  d_database& db = state_->open();
  active_ = false;
  db.rollback_change();
}

}  // namespace disk_tools
