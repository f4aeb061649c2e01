#include "disk_tools/detail/d_journal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <random>
#include <unordered_map>

#include "disk_tools/d_db.h"
#include "disk_tools/detail/lock_file.h"

namespace disk_tools {

char const* const corrupt_journal_message = "corrupt journal file...";

namespace {

constexpr word_t header_size = static_cast<word_t>(journal_header::record_size);
// The journal file and the database file grow ahead by at least these steps.
constexpr std::size_t journal_step = std::size_t{256} << 10;
constexpr std::size_t database_step = std::size_t{1} << 20;
// Beside others, commits are copied from the journal into the database file
// once this many of them, or of their bytes, wait there (or at the last
// close).
constexpr std::uint64_t batch_commits = 64;
constexpr word_t batch_bytes = word_t{1} << 20;
// Commits after a look at the reader slots found a batch held back, before
// the next look.
constexpr std::uint64_t look_again_commits = 16;
// A checkpoint from a view that shows the latest commit writes two ranges
// this close as one, the bytes between them included: a system call costs
// more than copying a page.
constexpr word_t joined_gap = 4096;

word_t new_salt() {
  std::random_device random;
  auto const now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return static_cast<word_t>((static_cast<std::uint64_t>(random()) << 32) ^ random() ^ now);
}

// Where the n bytes at a and b first differ (n when they do not), and how
// many of their last bytes are equal; compared a word at a time, the byte
// within a differing word told by its lowest (or highest) differing bit.
std::uint64_t differing_bits(char const* a, char const* b) {
  std::uint64_t x, y;
  std::memcpy(&x, a, 8);
  std::memcpy(&y, b, 8);
  return x ^ y;
}

constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

std::size_t equal_prefix(char const* a, char const* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t const d = differing_bits(a + i, b + i);
    if (d == 0) continue;
    if (little_endian) return i + static_cast<std::size_t>(__builtin_ctzll(d)) / 8;
    break;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

std::size_t equal_suffix(char const* a, char const* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t const d = differing_bits(a + n - i - 8, b + n - i - 8);
    if (d == 0) continue;
    if (little_endian) return i + static_cast<std::size_t>(__builtin_clzll(d)) / 8;
    break;
  }
  while (i < n && a[n - i - 1] == b[n - i - 1]) ++i;
  return i;
}

// What a scope inside a transaction keeps in memory for each span it
// changes: the address, the length, and where the journal file's record of
// the bytes as they were starts; or no_address there, and the bytes after.
constexpr std::size_t inner_address_offset = 0;
constexpr std::size_t inner_length_offset = 8;
constexpr std::size_t inner_record_offset = 16;
constexpr std::size_t inner_record_head = 24;
constexpr auto word_bytes = static_cast<word_t>(word_size);

// The end of the undo records. A process killed between the end word and its
// check leaves the check ahead, at the end of a whole record past the word:
// either a record not yet counted (the bytes it saves had not changed), or
// records put back or committed (rolling them back again is sound). A check
// behind the word, or naming no record's end, is damage.
word_t checked_end(journal_header const& h, char const* journal, word_t length) {
  if (h.end_checked()) return h.end;
  for (word_t at = header_size; at < length;) {
    word_t address;
    char const* bytes;
    std::size_t n;
    if (!undo_record::decode(journal + at, length - at, address, bytes, n)) break;
    at += undo_record::size_for(n);
    if (at > h.end && journal_header::end_check_of(at) == h.end_check) return at;
  }
  throw error(errc::corrupt_journal, corrupt_journal_message);
}

recovery_plan plan_undo(journal_header const& h, char const* journal, word_t length,
                        word_t database_length) {
  recovery_plan plan;
  plan.needed = true;
  if (h.end < header_size || h.end > length || h.committed_size < 0) {
    throw error(errc::corrupt_journal, corrupt_journal_message);
  }
  word_t const end = checked_end(h, journal, length);
  if (end == header_size) {
    // No transaction under way. An unjournaled database records its length
    // before it writes there, so a write that failed can leave it claiming
    // more than the file holds. A length whose check fails cuts nothing:
    // the room grown ahead stays, and no data goes.
    plan.length = h.committed_size_checked() ? std::min(h.committed_size, database_length)
                                             : database_length;
    return plan;
  }
  if (h.size_before < 0 || h.size_before > database_length || !h.size_before_checked()) {
    throw error(errc::corrupt_journal, corrupt_journal_message);
  }
  for (word_t at = header_size; at < end;) {
    word_t address;
    char const* bytes;
    std::size_t n;
    if (!undo_record::decode(journal + at, end - at, address, bytes, n) || address < 0 ||
        address > database_length - static_cast<word_t>(n)) {
      throw error(errc::corrupt_journal, corrupt_journal_message);
    }
    plan.writes.emplace_back(address, std::vector<char>(bytes, bytes + n));
    at += undo_record::size_for(n);
  }
  // The oldest saved bytes are the ones from before the transaction.
  std::reverse(plan.writes.begin(), plan.writes.end());
  plan.rolls_back = true;
  plan.length = h.size_before;
  return plan;
}

// Whether whole records of the log lie past the first one that fails, at at,
// that no power loss could have left there. Only the transaction whose commit
// was under way can be torn: the next one's records are written after its
// log reached the disk. So past a torn tail lie at most records of that one
// transaction, ending with its commit; a later transaction's records there
// mean the log was damaged where it had been whole, and replaying the part
// before the damage would put old bytes over newer ones the file holds.
// open_transaction is the number of the records read before at since the
// last commit (-1: none). The scan is bounded: it checksums no more than a
// few times the log's length, whatever the bytes past at claim.
bool whole_records_follow_damage(word_t salt, char const* journal, word_t length, word_t at,
                                 word_t open_transaction) {
  word_t transaction = open_transaction;
  bool committed = false;
  word_t budget = 4 * length;
  for (at += 8; at + static_cast<word_t>(redo_record::bytes_offset) <= length && budget > 0;) {
    char const* const p = journal + at;
    std::uint32_t const type = decode_u32(p + redo_record::type_offset);
    redo_record r;
    if (type == redo_record::data || type == redo_record::commit) {
      budget -= static_cast<word_t>(decode_u32(p + redo_record::length_offset));
      if (redo_record::decode(p, length - at, salt, r)) {
        if (committed) return true;
        if (transaction != -1 && r.transaction != transaction) return true;
        transaction = r.transaction;
        committed = r.type == redo_record::commit;
        at += r.size();
        continue;
      }
    }
    at += 8;
  }
  return false;
}

recovery_plan plan_redo(journal_header const& h, char const* journal, word_t length) {
  recovery_plan plan;
  plan.needed = true;
  plan.kind = journal_kind::redo;
  if (h.committed_size < 0) throw error(errc::corrupt_journal, corrupt_journal_message);
  plan.length = h.committed_size;
  std::vector<std::pair<word_t, std::vector<char>>> open;
  word_t current = -1;
  // Everything from the first record that fails its checksum on was never
  // written whole; a transaction without its commit record never happened.
  for (word_t at = header_size; at < length;) {
    redo_record r;
    if (!redo_record::decode(journal + at, length - at, h.salt, r) || r.value < 0) {
      if (whole_records_follow_damage(h.salt, journal, length, at, open.empty() ? -1 : current)) {
        throw error(errc::corrupt_journal, corrupt_journal_message);
      }
      break;
    }
    if (r.transaction != current) {
      open.clear();
      current = r.transaction;
    }
    if (r.type == redo_record::data) {
      open.emplace_back(r.value, std::vector<char>(r.bytes, r.bytes + r.n));
    } else {
      for (auto& w : open) plan.writes.push_back(std::move(w));
      open.clear();
      plan.length = r.value;
      ++plan.transactions;
      current = -1;
    }
    at += r.size();
  }
  return plan;
}

}  // namespace

recovery_plan plan_recovery(char const* journal, std::size_t journal_length,
                            word_t database_length) {
  journal_header h;
  if (!journal_header::decode(journal, journal_length, h)) {
    if (journal_header::damaged(journal, journal_length)) {
      throw error(errc::corrupt_journal, corrupt_journal_message);
    }
    return recovery_plan{};
  }
  auto const length = static_cast<word_t>(journal_length);
  return h.kind == journal_kind::undo ? plan_undo(h, journal, length, database_length)
                                      : plan_redo(h, journal, length);
}

bool journal_to_read(std::string const& path) {
  io_tools::bfstream head;
  head.open_head(path.c_str(), journal_header::record_size);
  if (head.fail()) return false;
  auto const length = static_cast<std::size_t>(head.size());
  char const* const bytes = head.view(0, length);
  journal_header h;
  if (journal_header::decode(bytes, length, h)) return true;
  if (journal_header::damaged(bytes, length)) {
    throw error(errc::corrupt_journal, corrupt_journal_message, path);
  }
  return false;
}

namespace {

// Whether the list heads in the first bytes of a file of length bytes are
// a database's: each -1 or the address of a record inside the blocks area.
bool heads_of_database(char const* heads, word_t length) {
  if (length < database_header_size) return false;
  for (word_t const head_word : {alloc_list_head, free_list_head}) {
    word_t const head = decode_word(heads + head_word);
    if (head != no_address && (head < database_header_size ||
                               head > length - static_cast<word_t>(d_alloc_node::record_size))) {
      return false;
    }
  }
  return true;
}

}  // namespace

void refuse_plan_spoiling_database(recovery_plan const& plan, char const* database,
                                   std::size_t database_length) {
  auto const length = static_cast<word_t>(database_length);
  if (!plan.needed || !heads_of_database(database, length)) return;
  // The heads as the plan's writes leave them, in order.
  constexpr std::size_t heads_size = 2 * word_size;
  char heads[heads_size];
  std::memcpy(heads, database, heads_size);
  word_t end = length;
  for (auto const& [address, bytes] : plan.writes) {
    auto const n = static_cast<word_t>(bytes.size());
    if (address < 0 || address > std::numeric_limits<word_t>::max() - n) continue;
    end = std::max(end, address + n);
    for (word_t at = address; at < std::min(address + n, static_cast<word_t>(heads_size)); ++at) {
      heads[at] = bytes[static_cast<std::size_t>(at - address)];
    }
  }
  if (!heads_of_database(heads, plan.length >= 0 ? plan.length : end)) {
    throw error(errc::corrupt_journal, corrupt_journal_message);
  }
}

void apply_recovery(recovery_plan const& plan, std::vector<char>& image) {
  for (auto const& [address, bytes] : plan.writes) {
    auto const end = static_cast<std::size_t>(address) + bytes.size();
    if (end > image.size()) image.resize(end, 0);
    std::copy(bytes.begin(), bytes.end(), image.begin() + address);
  }
  if (plan.length >= 0) image.resize(static_cast<std::size_t>(plan.length), 0);
}

namespace {

constexpr word_t words_per_line = 64;

// The bits of the words [first, last) that lie in the line at index.
std::uint64_t bits_in_line(word_t index, word_t first, word_t last) {
  word_t const start = index * words_per_line;
  auto const from = static_cast<unsigned>(std::max(first, start) - start);
  auto const to = static_cast<unsigned>(std::min(last, start + words_per_line) - start);
  std::uint64_t const ones =
      to - from == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (to - from)) - 1;
  return ones << from;
}

}  // namespace

std::size_t word_set::slot_of(word_t index) const {
  // Fibonacci hashing spreads neighbouring lines over the table.
  std::size_t const mask = lines_.size() - 1;
  auto at =
      static_cast<std::size_t>((static_cast<std::uint64_t>(index) * 0x9E3779B97F4A7C15ull) >> 32) &
      mask;
  while (lines_[at].index != index && lines_[at].index != -1) at = (at + 1) & mask;
  return at;
}

bool word_set::holds(word_t first, word_t last) const {
  if (used_.empty()) return false;
  for (word_t index = first / words_per_line; index * words_per_line < last; ++index) {
    line const& l = lines_[slot_of(index)];
    std::uint64_t const want = bits_in_line(index, first, last);
    if (l.index != index || (l.bits & want) != want) return false;
  }
  return true;
}

bool word_set::holds_word(word_t word) const {
  if (used_.empty()) return false;
  word_t const index = word / words_per_line;
  line const& l = lines_[slot_of(index)];
  return l.index == index && (l.bits >> (word - index * words_per_line) & 1) != 0;
}

void word_set::add(word_t first, word_t last) {
  for (word_t index = first / words_per_line; index * words_per_line < last; ++index) {
    if (2 * (used_.size() + 1) > lines_.size()) grow();
    std::size_t const at = slot_of(index);
    if (lines_[at].index == -1) {
      lines_[at].index = index;
      used_.push_back(at);
    }
    lines_[at].bits |= bits_in_line(index, first, last);
  }
}

void word_set::clear() {
  for (std::size_t at : used_) lines_[at] = line{};
  used_.clear();
}

void word_set::grow() {
  std::vector<line> old;
  old.swap(lines_);
  lines_.resize(old.empty() ? 64 : 2 * old.size());
  used_.clear();
  for (line const& l : old) {
    if (l.index == -1) continue;
    std::size_t const at = slot_of(l.index);
    lines_[at] = l;
    used_.push_back(at);
  }
}

db_journal::db_journal(io_tools::bfstream& db, std::string path, d_journal mode,
                       word_t checkpoint_bytes)
    : db_journal(db, std::move(path), mode, checkpoint_bytes, nullptr, journal_role::alone) {}

db_journal::db_journal(io_tools::bfstream& db, std::string path, d_journal mode,
                       word_t checkpoint_bytes, lock_file* lock, journal_role role)
    : db_(db),
      path_(std::move(path)),
      mode_(mode),
      lock_(lock),
      shared_(role == journal_role::join),
      joined_(role == journal_role::join),
      redo_(mode == d_journal::durable || (shared_ && mode == d_journal::atomic)),
      reader_(role == journal_role::reader),
      checkpoint_bytes_(checkpoint_bytes) {
  if (role == journal_role::reader) {
    if (!lock || lock->alone()) refuse_hot_journal();
    return;
  }
  if (role == journal_role::join) {
    join();
    return;
  }
  recover();
  start();
}

void db_journal::refuse_hot_journal() {
  if (!journal_to_read(path_)) return;
  io_tools::bfstream old(path_.c_str(), std::ios_base::in);
  if (old.fail()) return;
  char const* const bytes = old.view(0, static_cast<std::size_t>(old.size()));
  recovery_plan plan;
  try {
    plan = plan_recovery(bytes, static_cast<std::size_t>(old.size()), db_.size());
  } catch (error const& e) {
    throw error(e.code(), e.what(), path_);
  }
  // A journal whose every write the file holds already (a writer that died
  // after its commit was copied in) needs nothing.
  if (!plan.needed) return;
  auto const length = static_cast<std::size_t>(db_.size());
  char const* const file = db_.view(0, length);
  std::vector<char> recovered(file, file + length);
  apply_recovery(plan, recovered);
  if (recovered.size() != length || !std::equal(recovered.begin(), recovered.end(), file)) {
    // A log of commits is also what a writer leaves that closed while read-only
    // openings stayed, when the last of them could not write the file.
    if (plan.kind == journal_kind::redo) {
      throw error(errc::read_only,
                  "database needs recovery: its journal holds commits the file does not, which "
                  "only an opening for writing can copy in...",
                  path_);
    }
    throw error(errc::read_only,
                "database needs recovery: a journal left by a process that died must be played "
                "back by an opening for writing...",
                path_);
  }
}

void db_journal::join() {
  // The journal is set up for sharing under the writer's turn: the opening
  // that had the database alone may already be taking turns, and must not
  // commit into a journal that changes under it.
  lock_->wait_writer();
  try {
    join_holding_turn();
  } catch (...) {
    lock_->release_writer();
    throw;
  }
  lock_->release_writer();
}

void db_journal::join_holding_turn() {
  // Only read-only openings had the database (they keep no log, and checked
  // that any journal left needs nothing): this one starts the journal.
  if (lock_->state().log_end < header_size) {
    start();
    return;
  }
  file_.open(path_.c_str(), std::ios_base::in | std::ios_base::out);
  if (file_.fail())
    throw error(errc::cannot_open, "unable to open journal file...", path_, file_.open_errno());
  file_.set_growth_step(journal_step);
  // The file's length is the others' business: only the last close cuts it.
  file_.keep_length_at_close();
  committed_length_ = floor_ = db_.size();
  undo_end_ = 0;
  published_state const s = lock_->state();
  journal_header h;
  char const* const head = file_.view(0, journal_header::record_size);
  bool const whole = head && journal_header::decode(head, journal_header::record_size, h);
  if (s.salt == 0) {
    if (!whole || h.kind != journal_kind::undo) {
      throw error(errc::corrupt_journal, corrupt_journal_message, path_);
    }
    start_redo_log(s.length);
  } else if (!whole || h.kind != journal_kind::redo || h.salt != s.salt) {
    // An opening died between publishing a log's start and writing its
    // header: the others already write records with the published salt.
    write_log_header(s.salt, s.checkpoint_length);
  }
  db_.keep_writes_private();
  db_.set_guard(this);
}

void db_journal::start_redo_log(word_t length) {
  // The opening that had the database alone kept an undo journal, empty
  // between its transactions, and the file held its every commit. From now
  // on every opening keeps a redo log there. The log's start is published
  // before the header changes, so that an opening killed in between leaves
  // what the next one finishes (join_holding_turn).
  if (mode_ == d_journal::durable) db_.sync();
  word_t const salt = new_salt();
  lock_->publish_log_start(salt, header_size, length);
  write_log_header(salt, length);
}

void db_journal::take_up_redo_log() {
  // The opening that worked alone takes turns as soon as another asks to
  // join, which may be before that one has taken its turn to start the redo
  // log (or after it gave up waiting): the first writer starts it. Commits
  // appended to the undo journal would be dropped as the log starts.
  if (!shared_ || !redo_ || lock_->state().salt != 0) return;
  start_redo_log(lock_->state().length);
}

void db_journal::share() {
  if (shared_) return;
  shared_ = true;
  file_.keep_length_at_close();
  // The commits the file lacks were published as past its checkpoint: the
  // view follows them from the log, and a checkpoint copies them in.
  db_.drop_held();
  unwritten_commits_ = 0;
  if (redo_) return;
  // An atomic opening alone wrote in place with an undo journal; beside others
  // its writes stay in memory until the commit copies them in.
  redo_ = true;
  undo_end_ = 0;
  memory_undo_.clear();
  db_.keep_writes_private();
}

db_journal::~db_journal() {
  try {
    close(!joined_);
  } catch (error const&) {
    // The journal stays behind; the next opening plays it back.
  }
}

void db_journal::recover() {
  // No journal: the database was closed cleanly. One never started whole is
  // passed over without reading whatever length its file has.
  if (!journal_to_read(path_)) return;
  io_tools::bfstream old(path_.c_str(), std::ios_base::in);
  if (old.fail()) return;
  char const* const bytes = old.view(0, static_cast<std::size_t>(old.size()));
  recovery_plan plan;
  try {
    plan = plan_recovery(bytes, static_cast<std::size_t>(old.size()), db_.size());
    auto const length = static_cast<std::size_t>(db_.size());
    refuse_plan_spoiling_database(plan, db_.view(0, length), length);
  } catch (error const& e) {
    throw error(e.code(), e.what(), path_);  // the planning does not know the file's name
  }
  if (!plan.needed) return;
  for (auto const& [address, saved] : plan.writes) {
    db_.restore_at(address, saved.data(), saved.size());
  }
  if (plan.length > db_.size()) {
    throw error(errc::corrupt_journal, corrupt_journal_message, path_);
  }
  db_.set_size(plan.length);
  db_.trim();
  // Replayed commits were promised to last: they reach the disk before the
  // journal that held them is dropped (a durable session syncs at start).
  if (plan.kind == journal_kind::redo && mode_ != d_journal::durable) db_.sync();
}

void db_journal::start() {
  // A durable log holds changes from the file as it is now on (written by a
  // session that synced nothing, or by a recovery): that must be on the disk
  // before the first commit relies on it, and before the old journal goes.
  if (mode_ == d_journal::durable) db_.sync();
  file_.open(path_.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::trunc);
  if (file_.fail())
    throw error(errc::cannot_open, "unable to open journal file...", path_, file_.open_errno());
  file_.set_growth_step(journal_step);
  committed_length_ = floor_ = db_.size();
  journal_header h;
  h.kind = redo_ ? journal_kind::redo : journal_kind::undo;
  h.committed_size = h.size_before = committed_length_;
  if (redo_) {
    salt_ = h.salt = new_salt();
    undo_end_ = 0;
  }
  write_header(h);
  if (lock_) {
    file_.keep_length_at_close();
    if (!shared_) lock_->reset(committed_length_, header_size);
    if (redo_) lock_->publish_log_start(salt_, header_size, committed_length_);
  }
  if (redo_) {
    if (mode_ == d_journal::durable) {
      file_.sync();
      io_tools::sync_directory_of(path_);
    }
    db_.keep_writes_private();
  } else {
    db_.set_growth_step(database_step);
  }
  db_.set_guard(this);
}

bool db_journal::can_roll_back() const {
  return mode_ != d_journal::off && !broken_;
}

void db_journal::begin() {
  if (closed_ || reader_) throw error(errc::closed, "database is closed...");
  if (scopes_.empty() && shared_) {
    // Others may have committed since this opening's last transaction: the
    // log goes on where they left it, with the salt it was started with.
    published_state const s = lock_->state();
    log_end_ = s.log_end;
    salt_ = s.salt;
    committed_length_ = db_.size();
  }
  // Atomic mode alone only: the other modes keep every scope's bytes in
  // memory already.
  if (inner_ended_ && scopes_.size() == 1 && !redo_ && mode_ == d_journal::atomic) grouping_ = true;
  scopes_.push_back({undo_end_, db_.size(), inner_end_, grouping_ && !scopes_.empty()});
  floor_ = db_.size();
}

void db_journal::commit() {
  if (scopes_.empty()) return;
  if (scopes_.size() == 1) {
    // The transaction commits; if that fails, its scope stays open for the
    // caller to roll back.
    if (mode_ != d_journal::off) {
      if (redo_) {
        commit_redo();
      } else {
        commit_atomic();
      }
    }
  }
  if (scopes_.size() <= 2) forget_ended_scope(scopes_.back());
  scopes_.pop_back();
  floor_ = scopes_.empty() ? db_.size() : scopes_.back().length;
}

void db_journal::rollback() {
  if (scopes_.empty()) return;
  scope const s = scopes_.back();
  if (can_roll_back()) {
    // A scope inside a transaction puts back what it kept in memory; the
    // records it added to the file hold older bytes, which the
    // transaction's own rollback (or a crash) still needs.
    if (s.grouped) {
      put_back_grouped(s);
    } else {
      put_back(s.undo_end);
    }
    db_.set_size(s.length);
    if (scopes_.size() == 1 && redo_) take_back_commit();
  }
  if (scopes_.size() <= 2) forget_ended_scope(s);
  scopes_.pop_back();
  floor_ = scopes_.empty() ? db_.size() : scopes_.back().length;
}

void db_journal::write_header(journal_header const& h) {
  // The magic goes last: a header cut short by a crash is no header, never
  // one with a length of 0 in it.
  char buf[journal_header::record_size];
  h.encode(buf);
  file_.write_at(journal_header::magic_size, buf + journal_header::magic_size,
                 sizeof buf - journal_header::magic_size);
  file_.write_at(0, buf, journal_header::magic_size);
}

void db_journal::write_header_word(std::size_t offset, word_t value) {
  // Laid out in place: every undo record moves the end word.
  file_.write_with(static_cast<word_t>(offset), word_size,
                   [value](char* out) { encode_word(out, value); });
}

void db_journal::write_end_check(word_t end) {
  write_header_word(journal_header::salt_offset, journal_header::end_check_of(end));
}

void db_journal::write_committed_length(word_t length) {
  write_header_word(journal_header::committed_size_offset, length);
  file_.write_with(static_cast<word_t>(journal_header::committed_check_offset), 4,
                   [length](char* out) { encode_u32(out, journal_header::check_of(length)); });
  committed_length_ = length;
}

void db_journal::before_write(word_t address, char const* now, std::size_t n) {
  // Bytes from the innermost scope's first length on (a new block, a node
  // made in this operation) need nothing saved: about half of all writes
  // return here, before the saving path's registers are set up.
  if (address >= floor_ && mode_ != d_journal::off) return;
  save_before_write(address, now, n);
}

char const* db_journal::bytes_to_save(word_t address, std::size_t& n) {
  if (mode_ == d_journal::off) {
    // Nothing is saved; only the length goes down first, so that the room
    // grown ahead can be told from data after a crash.
    word_t const end = address + static_cast<word_t>(n);
    if (end > committed_length_) write_committed_length(end);
    return nullptr;
  }
  if (address >= floor_ || n == 0) return nullptr;
  n = std::min(n, static_cast<std::size_t>(floor_ - address));
  return db_.view(address, n);
}

void db_journal::before_rewrite(word_t address, std::size_t n) {
  // Slots shifted within a record: nearly every byte of the span changes, so
  // it is saved whole, with no look for the bytes that stay.
  if (char const* const old = bytes_to_save(address, n)) save_changed(address, old, n);
}

void db_journal::save_before_write(word_t address, char const* now, std::size_t n) {
  std::size_t m = n;
  char const* const old = bytes_to_save(address, m);
  if (!old) return;
  if (m == word_size) {
    // A link, a count or a slot: most writes are one word, saved whole when
    // any of it changes (a record of fewer bytes takes as much room).
    if (differing_bits(old, now) == 0) return;
    if (grouping_ && scopes_.back().grouped) {
      keep_word_inside(address, old);
    } else {
      save(address, old, m);
    }
    return;
  }
  // Only the bytes that change need saving; a node rewritten whole often
  // changes a few words of it.
  std::size_t const first = equal_prefix(old, now, m);
  if (first == m) return;
  std::size_t const last = m - equal_suffix(old + first, now + first, m - first);
  save_changed(address + static_cast<word_t>(first), old + first, last - first);
}

void db_journal::save_changed(word_t address, char const* old, std::size_t n) {
  // (Grouping, a scope is open: the transaction's own is not grouped.)
  if (!grouping_ || !scopes_.back().grouped) {
    save(address, old, n);
    return;
  }
  save_inside(address, old, n);
}

void db_journal::save_inside(word_t address, char const* old, std::size_t n) {
  // Bytes from the transaction's first length on vanish with its rollback
  // or a crash: the scope alone needs them. Below it the file needs each
  // byte's bytes from before the transaction once (a later record of the
  // same byte is played back before the first one, which wins); saved in
  // whole words, so that the set can name them.
  word_t const length = scopes_.front().length;
  word_t const end = address + static_cast<word_t>(n);
  if (n == word_size && address % word_bytes == 0 && end <= std::min(length, db_.size())) {
    // One whole word (a link, a count, a slot: most writes), told by one bit.
    save_word_inside(address, old);
    return;
  }
  if (address < length) {
    word_t const low = address / word_bytes * word_bytes;
    word_t const high = std::min(
        {(std::min(end, length) + word_bytes - 1) / word_bytes * word_bytes, length, db_.size()});
    if (saved_.holds(low / word_bytes, (high + word_bytes - 1) / word_bytes)) {
      keep_for_scope(address, old, static_cast<std::size_t>(std::min(end, length) - address));
    } else {
      word_t const record = undo_end_;
      save(low, db_.view(low, static_cast<std::size_t>(high - low)),
           static_cast<std::size_t>(high - low));
      saved_.add((low + word_bytes - 1) / word_bytes, high / word_bytes);
      // The scope finds these bytes in the file's record.
      keep_reference(low, static_cast<std::size_t>(high - low), record);
    }
    if (end <= length) return;
    old += length - address;
    address = length;
  }
  keep_for_scope(address, old, static_cast<std::size_t>(end - address));
}

void db_journal::keep_word_inside(word_t address, char const* old) {
  // The scope alone needs the word when the transaction's first length is
  // not above it, or the file holds its bytes from before the transaction.
  word_t const length = scopes_.front().length;
  if (address >= length || (address % word_bytes == 0 && address + word_bytes <= length &&
                             saved_.holds_word(address / word_bytes))) {
    keep_word_for_scope(address, old);
    return;
  }
  save_inside(address, old, word_size);
}

void db_journal::keep_word_for_scope(word_t address, char const* old) {
  char* const out = inner_room(inner_record_head + word_size);
  encode_word(out + inner_address_offset, address);
  encode_word(out + inner_length_offset, word_bytes);
  encode_word(out + inner_record_offset, no_address);
  std::memcpy(out + inner_record_head, old, word_size);
}

void db_journal::save_word_inside(word_t address, char const* old) {
  word_t const word = address / word_bytes;
  if (saved_.holds_word(word)) {
    keep_word_for_scope(address, old);
    return;
  }
  word_t const record = undo_end_;
  save(address, old, word_size);
  saved_.add(word, word + 1);
  keep_reference(address, word_size, record);
}

char* db_journal::inner_room(std::size_t n) {
  // The buffer only grows: what lies past inner_end_ is not cleared.
  if (inner_end_ + n > inner_undo_.size()) {
    inner_undo_.resize(std::max(2 * inner_undo_.size(), inner_end_ + n + 4096));
  }
  char* const out = inner_undo_.data() + inner_end_;
  inner_end_ += n;
  return out;
}

void db_journal::keep_for_scope(word_t address, char const* old, std::size_t n) {
  char* const out = inner_room(inner_record_head + n);
  encode_word(out + inner_address_offset, address);
  encode_word(out + inner_length_offset, static_cast<word_t>(n));
  encode_word(out + inner_record_offset, no_address);
  std::memcpy(out + inner_record_head, old, n);
}

void db_journal::keep_reference(word_t address, std::size_t n, word_t record) {
  char* const out = inner_room(inner_record_head);
  encode_word(out + inner_address_offset, address);
  encode_word(out + inner_length_offset, static_cast<word_t>(n));
  encode_word(out + inner_record_offset, record);
}

void db_journal::put_back_grouped(scope const& s) {
  std::size_t const kept_end = s.kept_end;
  std::vector<std::size_t> records;
  for (std::size_t at = kept_end; at < inner_end_;) {
    records.push_back(at);
    char const* const head = inner_undo_.data() + at;
    at += inner_record_head;
    if (decode_word(head + inner_record_offset) == no_address)
      at += static_cast<std::size_t>(decode_word(head + inner_length_offset));
  }
  // Newest first: every byte ends as the scope found it.
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    char const* const head = inner_undo_.data() + *it;
    auto const n = static_cast<std::size_t>(decode_word(head + inner_length_offset));
    word_t const record = decode_word(head + inner_record_offset);
    char const* const bytes =
        record == no_address
            ? head + inner_record_head
            : undo_bytes(record + static_cast<word_t>(undo_record::bytes_offset), n);
    db_.restore_at(decode_word(head + inner_address_offset), bytes, n);
  }
  // The file's records stay: the transaction's rollback, or a crash, needs
  // them still, and the bytes they name stay saved.
  inner_end_ = kept_end;
}

void db_journal::forget_ended_scope(scope const& s) {
  if (scopes_.size() == 1) {
    if (grouping_) {
      saved_.clear();
      inner_end_ = 0;
    }
    grouping_ = inner_ended_ = false;
    return;
  }
  // The transaction itself rolls back from the file alone.
  if (grouping_) inner_end_ = s.kept_end;
  inner_ended_ = true;
}

void db_journal::save(word_t address, char const* old, std::size_t n) {
  word_t const size = undo_record::size_for(n);
  ++stats_.undo_records;
  if (redo_) {
    memory_undo_.resize(static_cast<std::size_t>(undo_end_ + size));
    undo_record::encode(&memory_undo_[static_cast<std::size_t>(undo_end_)], address, old, n);
    undo_end_ += size;
    return;
  }
  bool const first = undo_end_ == header_size;
  word_t const end = undo_end_ + size;
  // The length before goes first, checked before it is trusted: a rollback
  // cuts the database to it. The record is whole before the end word counts
  // it, and counted before the database's bytes change; the end's check goes
  // before the word (see checked_end). In place, the header words and the
  // record are laid out in one go, in that order (the fences keep the
  // compiler to it); else they are written one by one.
  bool const in_place =
      file_.write_in_place(0, static_cast<std::size_t>(end), [&](char* file) {
        if (first) {
          encode_word(file + journal_header::size_before_offset, committed_length_);
          encode_word(file + journal_header::size_check_offset, ~committed_length_);
          std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        undo_record::encode(file + undo_end_, address, old, n);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        encode_word(file + journal_header::salt_offset, journal_header::end_check_of(end));
        std::atomic_signal_fence(std::memory_order_seq_cst);
        encode_word(file + journal_header::end_offset, end);
      });
  if (!in_place) {
    if (first) {
      write_header_word(journal_header::size_before_offset, committed_length_);
      write_header_word(journal_header::size_check_offset, ~committed_length_);
    }
    file_.write_with(undo_end_, static_cast<std::size_t>(size),
                     [&](char* out) { undo_record::encode(out, address, old, n); });
    undo_end_ = end;
    write_end_check(end);
    write_header_word(journal_header::end_offset, end);
  }
  undo_end_ = end;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

char const* db_journal::undo_bytes(word_t at, std::size_t n) const {
  if (redo_) return memory_undo_.data() + at;
  return file_.view(at, n);
}

void db_journal::put_back(word_t undo_end) {
  replay(undo_end);
  undo_end_ = undo_end;
  if (redo_) {
    memory_undo_.resize(static_cast<std::size_t>(undo_end));
  } else {
    // Moved back only once the bytes are back: a crash before this plays the
    // records again, which puts back the same bytes.
    write_header_word(journal_header::end_offset, undo_end);
    write_end_check(undo_end);
  }
}

void db_journal::replay(word_t undo_end) {
  for_each_undo_newest_first(undo_end, [this](word_t address, char const* old, std::size_t n) {
    db_.restore_at(address, old, n);
  });
}

template <class F>
void db_journal::for_each_undo_newest_first(word_t from, F const& f) {
  std::vector<word_t> records;
  for (word_t at = from; at < undo_end_;) {
    records.push_back(at);
    char const* head = undo_bytes(at, undo_record::bytes_offset);
    at += undo_record::size_for(decode_u32(head + undo_record::length_offset));
  }
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    char const* head = undo_bytes(*it, undo_record::bytes_offset);
    word_t const address = decode_word(head + undo_record::address_offset);
    std::size_t const n = decode_u32(head + undo_record::length_offset);
    f(address, undo_bytes(*it + static_cast<word_t>(undo_record::bytes_offset), n), n);
  }
}

void db_journal::commit_atomic() {
  ++stats_.commits;
  word_t const length = db_.size();
  bool const grown = length != committed_length_;
  bool const saved = undo_end_ != header_size;
  if (!grown && !saved) return;
  // The length first: until the end word moves back, a crash still rolls the
  // transaction back to the length it began with. In place the words are
  // laid out in one go, in the order they are written one by one otherwise.
  bool const in_place = file_.write_in_place(0, header_size, [&](char* file) {
    if (grown) {
      encode_word(file + journal_header::committed_size_offset, length);
      encode_u32(file + journal_header::committed_check_offset, journal_header::check_of(length));
      std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    if (saved) {
      encode_word(file + journal_header::end_offset, header_size);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      encode_word(file + journal_header::salt_offset, journal_header::end_check_of(header_size));
    }
  });
  if (in_place) {
    if (grown) committed_length_ = length;
    undo_end_ = header_size;
    return;
  }
  if (grown) write_committed_length(length);
  if (saved) {
    write_header_word(journal_header::end_offset, header_size);
    write_end_check(header_size);
    undo_end_ = header_size;
  }
}

void db_journal::commit_redo() {
  word_t const length = db_.size();
  if (db_.pending().empty() && length == committed_length_) {
    memory_undo_.clear();
    undo_end_ = 0;
    return;
  }
  ++stats_.commits;
  ++transaction_;
  encode_commit(length);
  if (shared_) {
    commit_shared(length);
    return;
  }
  make_log_room(length);
  // Room in the database file next, so that once the commit is on the disk
  // nothing can keep its bytes from following.
  db_.reserve_file(length);
  write_log();
  if (mode_ == d_journal::durable) {
    try {
      file_.sync();
    } catch (error const&) {
      // The commit record may reach the disk later all the same: this journal
      // can no longer say which transactions happened.
      broken_ = true;
      throw;
    }
    // The log holds the commit: its bytes go to the file with later ones',
    // once each however many commits changed them, and not on the way of
    // this commit's return.
    if (unwritten_commits_ == 0) {
      unwritten_from_ = log_end_;
      written_length_ = committed_length_;
    }
    db_.hold_pending();
    ++unwritten_commits_;
    log_end_ += static_cast<word_t>(scratch_.size());
    committed_length_ = length;
    memory_undo_.clear();
    undo_end_ = 0;
    if (log_end_ > checkpoint_bytes_) {
      checkpoint();
    } else if (unwritten_commits_ >= batch_commits || db_.held_bytes() >= batch_bytes) {
      write_unwritten();
    }
    return;
  }
  try {
    db_.write_back();
  } catch (error const&) {
    if (mode_ == d_journal::atomic) {
      // Nothing was promised yet: the rollback that follows writes the old
      // bytes back over the part that reached the file and starts the log
      // afresh, so that the transaction never happened.
      unpublished_ = true;
      throw;
    }
    // Committed, but not all in the file: the next opening replays it.
    broken_ = true;
    throw;
  }
  log_end_ += static_cast<word_t>(scratch_.size());
  committed_length_ = length;
  memory_undo_.clear();
  undo_end_ = 0;
  if (log_end_ > checkpoint_bytes_) checkpoint();
}

void db_journal::encode_commit(word_t length) {
  scratch_.clear();
  for (auto const& [begin, end] : db_.pending()) {
    redo_record r;
    r.transaction = transaction_;
    r.value = begin;
    r.n = static_cast<std::size_t>(end - begin);
    r.bytes = db_.view(begin, r.n);
    r.encode(scratch_, salt_);
  }
  redo_record done;
  done.type = redo_record::commit;
  done.transaction = transaction_;
  done.value = length;
  done.encode(scratch_, salt_);
}

void db_journal::write_log() {
  if (mode_ == d_journal::durable) {
    file_.write_for_sync(log_end_, scratch_.data(), scratch_.size());
  } else {
    file_.write_at(log_end_, scratch_.data(), scratch_.size());
  }
}

void db_journal::commit_shared(word_t length) {
  make_log_room(length);
  // Room in the database file next, so that no checkpoint can fail for
  // want of it once the commit is published.
  db_.reserve_file(length);
  // From before the first record until the commit is published, a writer
  // that dies leaves this mark: the next writer publishes what it finds
  // whole and wipes the rest, so no later log runs into it.
  lock_->set_publishing(true);
  write_log();
  if (mode_ == d_journal::durable) {
    try {
      file_.sync();
    } catch (error const&) {
      broken_ = true;
      throw;
    }
  }
  // The view keeps the bytes; the file gets them at a checkpoint.
  db_.keep_pending();
  log_end_ += static_cast<word_t>(scratch_.size());
  committed_length_ = length;
  memory_undo_.clear();
  undo_end_ = 0;
  lock_->publish_commit(length, log_end_);
  lock_->set_publishing(false);
  try {
    checkpoint_shared(true);
  } catch (error const&) {
    // The commit stands in the journal; a later checkpoint copies it in.
  }
}

void db_journal::make_log_room(word_t length) {
  try {
    file_.make_room(log_end_ + static_cast<word_t>(scratch_.size()));
  } catch (error const& e) {
    // A full disk, and the log would have to grow. It starts afresh as at a
    // checkpoint, when it can, and the room it took is room for this
    // commit, laid out again under the new salt: on a full disk, erasing
    // still frees space. Alone, the file holds every earlier commit once it
    // is synced (this one's writes are still in memory); beside others, it
    // takes the commits no snapshot still needs from the log, as for a log
    // past its bound, and the log starts afresh when that was all of them.
    // This comes before the file grows for the commit: a crash that cuts
    // the new header short leaves a log that counts for nothing, and the
    // file as long as it is.
    if (e.code() != errc::io_failure || log_end_ == header_size) throw;
    if (shared_) {
      copy_in_up_to(lock_->state(), true, false);
      if (!restart_shared()) throw;
    } else {
      ++stats_.checkpoints;
      put_committed_in_file();
      db_.sync();
      restart_log(committed_length_);
    }
    encode_commit(length);
    file_.make_room(log_end_ + static_cast<word_t>(scratch_.size()));
  }
}

void db_journal::write_unwritten() {
  if (!db_.holds()) return;
  try {
    db_.write_held();
  } catch (error const&) {
    // Committed, but not all in the file: the next opening replays it.
    broken_ = true;
    throw;
  }
  unwritten_commits_ = 0;
}

void db_journal::put_committed_in_file() {
  if (!db_.holds()) return;
  try {
    // The held ranges as the view has them, then the transaction's changes
    // among them put back: its undo records, newest first, hold each byte's
    // committed value last. Only bytes the log holds are written before the
    // old ones are back, so a failure or a crash on the way leaves nothing
    // that replaying the log does not set right.
    db_.write_held(true);
    for_each_undo_newest_first(0, [this](word_t address, char const* old, std::size_t n) {
      word_t const within = std::min(static_cast<word_t>(n), committed_length_ - address);
      if (within > 0) db_.write_through(address, old, static_cast<std::size_t>(within));
    });
  } catch (error const&) {
    // The file may hold bytes of this transaction that the view no longer
    // names: only the next opening's replay of the log sets it right.
    broken_ = true;
    throw;
  }
  unwritten_commits_ = 0;
}

void db_journal::checkpoint_shared(bool view_is_latest) {
  published_state const s = lock_->state();
  // An opening resting after a read holds the batch back, not the bound.
  bool const past_bound = s.log_end > checkpoint_bytes_;
  // A reader that held the batch back a commit ago most likely still does:
  // the slots are looked at again a few commits on, not at every commit
  // (past the bound at every one, so that the log starts afresh in time).
  bool const look = past_bound || held_at_ == never_held || s.commits < held_at_ ||
                    s.commits - held_at_ >= look_again_commits;
  if (look && copy_due(s)) {
    held_at_ = copy_in_up_to(s, past_bound, view_is_latest) ? never_held : s.commits;
  }
  if (past_bound) restart_held_ = !restart_shared();
}

bool db_journal::copy_in_up_to(published_state const& s, bool pass_resting,
                               bool view_is_latest) {
  std::uint64_t const target = lock_->oldest_pinned(s.commits, pass_resting);
  // A few commits that a reader let go of are not worth the locks a copy
  // takes: they wait for a batch, unless the log must start afresh.
  bool const held = target < s.commits;
  if (held && !pass_resting && target - std::min(target, s.checkpoint) < batch_commits) {
    return false;
  }
  if (target > s.checkpoint && lock_->try_publish_lock()) {
    try {
      copy_in(s, target, view_is_latest);
    } catch (...) {
      lock_->publish_unlock();
      throw;
    }
    lock_->publish_unlock();
  }
  return !held;
}

bool db_journal::copy_due(published_state const& s) const {
  // Copying in after every commit would cost each commit a read of the log
  // and a write of the file; in batches, the readers lay a few more records
  // over their views instead. A log past its bound is copied in at once, so
  // that it can start afresh.
  word_t const batch = std::min(batch_bytes, checkpoint_bytes_);
  return s.commits - s.checkpoint >= batch_commits || s.log_end - s.checkpoint_log >= batch ||
         s.log_end > checkpoint_bytes_;
}

void db_journal::checkpoint_long_log() {
  // Readers that caught up while this writer was away may let a log that
  // outgrew its bound start afresh now: between commits is the one moment
  // a steady stream of readers can all show the latest one.
  if (!shared_ || !restart_held_) return;
  log_end_ = lock_->state().log_end;
  try {
    checkpoint_shared(false);
  } catch (error const&) {
    // The commits stay in the journal; a later checkpoint copies them in.
  }
}

void db_journal::copy_in(published_state const& s, std::uint64_t target, bool view_is_latest) {
  char const* const log = read_log(s.checkpoint_log, s.log_end);
  word_t const log_size = s.log_end - s.checkpoint_log;
  // The data records of the commits up to target, in order.
  struct piece {
    word_t address;
    char const* bytes;
    std::size_t n;
  };
  std::vector<piece> pieces;
  word_t at = 0, length = s.checkpoint_length;
  std::uint32_t const salt_sum = redo_record::salted(s.salt);
  for (std::uint64_t commits = s.checkpoint; commits < target;) {
    redo_record const r = logged_record(log, log_size, at, salt_sum);
    if (r.type == redo_record::data) {
      pieces.push_back({r.value, r.bytes, r.n});
    } else {
      ++commits;
      length = r.value;
    }
    at += r.size();
  }
  // The ranges they cover, joined where they overlap or touch: every byte of
  // a joined range is some record's, so laying the records over it in
  // order gives its bytes at target without reading the file. A batch
  // writes the same few places over and over: each is sorted once.
  std::vector<byte_range> ranges;
  {
    std::unordered_map<word_t, word_t> longest;
    for (piece const& p : pieces) {
      word_t& end = longest[p.address];
      end = std::max(end, p.address + static_cast<word_t>(p.n));
    }
    ranges.assign(longest.begin(), longest.end());
  }
  std::vector<byte_range> writes = joined_ranges(std::move(ranges));
  // Copying in the latest commit, a view that shows it holds the file's own
  // bytes wherever no record after the checkpoint wrote: ranges a little
  // apart go as one write, with the view's bytes between them. (Short of the
  // latest, held back by a reader, it does not: later commits wrote there.)
  bool const from_view = view_is_latest && target == s.commits && join_nearby(writes);
  // Each range's bytes lie in image from its offset on.
  std::vector<std::size_t> offsets;
  std::size_t total = 0;
  for (auto const& w : writes) {
    offsets.push_back(total);
    total += static_cast<std::size_t>(w.second - w.first);
  }
  std::vector<char>& image = scratch_;
  image.resize(total);
  if (from_view) {
    // Copied out first: the view's pages that nothing wrote map the file
    // itself.
    for (std::size_t i = 0; i < writes.size(); ++i) {
      auto const n = static_cast<std::size_t>(writes[i].second - writes[i].first);
      std::memcpy(image.data() + offsets[i], db_.view(writes[i].first, n), n);
    }
  } else {
    for (piece const& p : pieces) {
      auto const i = static_cast<std::size_t>(
          std::upper_bound(writes.begin(), writes.end(),
                           byte_range(p.address, std::numeric_limits<word_t>::max())) -
          writes.begin() - 1);
      std::memcpy(image.data() + offsets[i] + static_cast<std::size_t>(p.address - writes[i].first),
                  p.bytes, p.n);
    }
  }
  for (std::size_t i = 0; i < writes.size(); ++i) {
    db_.write_through(writes[i].first, image.data() + offsets[i],
                      static_cast<std::size_t>(writes[i].second - writes[i].first));
  }
  lock_->publish_checkpoint(target, s.checkpoint_log + at, length);
}

std::vector<db_journal::byte_range> db_journal::joined_ranges(std::vector<byte_range> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<byte_range> joined;
  for (auto const& r : ranges) {
    if (!joined.empty() && r.first <= joined.back().second) {
      joined.back().second = std::max(joined.back().second, r.second);
    } else {
      joined.push_back(r);
    }
  }
  return joined;
}

bool db_journal::join_nearby(std::vector<byte_range>& writes) const {
  for (auto const& w : writes) {
    if (!db_.view(w.first, static_cast<std::size_t>(w.second - w.first))) return false;
  }
  std::vector<byte_range> joined;
  for (auto const& w : writes) {
    if (!joined.empty() && w.first - joined.back().second <= joined_gap) {
      joined.back().second = w.second;
    } else {
      joined.push_back(w);
    }
  }
  writes = std::move(joined);
  return true;
}

char const* db_journal::read_log(word_t from, word_t to) {
  if (to < from || from < header_size) throw error(errc::corrupt_journal, corrupt_journal_message, path_);
  auto const n = static_cast<std::size_t>(to - from);
  io_tools::bfstream& f = log_reader();
  if (char const* const in_place = f.view_file(from, n)) return in_place;
  log_bytes_.resize(n);
  if (!f.read_through(from, log_bytes_.data(), n)) {
    throw error(errc::corrupt_journal, corrupt_journal_message, path_);
  }
  return log_bytes_.data();
}

redo_record db_journal::logged_record(char const* log, word_t size, word_t at,
                                      std::uint32_t salt_sum) const {
  redo_record r;
  if (!redo_record::decode_salted(log + at, size - at, salt_sum, r) || r.value < 0) {
    throw error(errc::corrupt_journal, corrupt_journal_message, path_);
  }
  return r;
}

io_tools::bfstream& db_journal::log_reader() {
  if (file_.is_open()) return file_;
  if (!reading_.is_open()) {
    // Read through, never loaded whole: the file keeps the length of the
    // longest log it held, and a snapshot needs only the commits past the
    // checkpoint. (Loading it made every read-only opening cost as much as
    // the longest log yet, during which the log could not start afresh.)
    reading_.open_head(path_.c_str(), 0);
    if (reading_.fail()) {
      throw error(errc::cannot_open, "unable to open journal file...", path_, reading_.open_errno());
    }
  }
  return reading_;
}

bool db_journal::restart_shared() {
  published_state const s = lock_->state();
  if (s.checkpoint != s.commits) return false;  // a reader holds commits back
  // Every commit the log holds must be on the disk before the log lets go
  // of them.
  if (mode_ == d_journal::durable) db_.sync();
  if (!lock_->begin_restart()) return false;
  // Published before the header changes: a writer killed in between leaves
  // a log that nobody reads and a header the next writer rewrites.
  word_t const salt = new_salt();
  lock_->publish_log_start(salt, header_size, s.length);
  write_log_header(salt, s.length);
  lock_->end_restart();
  ++stats_.checkpoints;
  return true;
}

void db_journal::write_log_header(word_t salt, word_t length) {
  journal_header h;
  h.kind = journal_kind::redo;
  h.committed_size = h.size_before = length;
  salt_ = h.salt = salt;
  write_header(h);
  if (mode_ == d_journal::durable) file_.sync();
  log_end_ = header_size;
}

void db_journal::finish_dead_restart() {
  published_state const s = lock_->state();
  char const* const salt = file_.view(journal_header::salt_offset, word_size);
  if (!salt || decode_word(salt) != s.salt) write_log_header(s.salt, s.checkpoint_length);
  lock_->end_restart();
}

void db_journal::follow_log(log_view& v, published_state const& s,
                            std::function<void(word_t, word_t)> const& before_change) {
  if (v.commit == s.commits && v.generation == s.generation) return;
  word_t from = v.log_at;
  std::uint64_t base = v.commit;
  if (v.generation != s.generation || v.commit > s.commits || from > s.log_end) {
    // The journal started afresh (or this view never followed it): the file
    // holds every commit up to the checkpoint.
    if (before_change) before_change(0, std::numeric_limits<word_t>::max());
    db_.follow_file(s.checkpoint_length);
    from = s.checkpoint_log;
    base = s.checkpoint;
  }
  if (s.log_end > from) {
    char const* const log = read_log(from, s.log_end);
    word_t const size = s.log_end - from;
    std::uint64_t commits = 0;
    std::uint32_t const salt_sum = redo_record::salted(s.salt);
    for (word_t at = 0; at < size;) {
      redo_record const r = logged_record(log, size, at, salt_sum);
      if (r.type == redo_record::data) {
        if (before_change) before_change(r.value, static_cast<word_t>(r.n));
        db_.overlay_at(r.value, r.bytes, r.n);
      } else {
        ++commits;
      }
      at += r.size();
    }
    if (commits != s.commits - base) throw error(errc::corrupt_journal, corrupt_journal_message, path_);
  }
  db_.overlay_length(s.length);
  v = {s.commits, s.log_end, s.generation};
}

void db_journal::take_back_commit() {
  if (!unpublished_) {
    db_.drop_pending();
    // A commit that failed before it was published leaves nothing behind.
    if (shared_ && lock_->publishing()) repair_dead_writer();
    return;
  }
  // A commit whose copying failed: the old bytes are back in view, and go
  // over whatever of the new ones reached the file.
  unpublished_ = false;
  db_.write_back();
  restart_log();
}

bool db_journal::record_at(word_t at, word_t salt, redo_record& r) {
  io_tools::bfstream& f = log_reader();
  std::vector<char>& buf = log_bytes_;
  buf.resize(redo_record::bytes_offset);
  if (!f.read_through(at, buf.data(), buf.size())) return false;
  redo_record probe;
  probe.n = decode_u32(buf.data() + redo_record::length_offset);
  auto const size = static_cast<std::size_t>(probe.size());
  if (size > (std::size_t{1} << 32)) return false;
  buf.resize(size);
  return f.read_through(at, buf.data(), size) &&
         redo_record::decode(buf.data(), static_cast<word_t>(size), salt, r);
}

void db_journal::repair_dead_writer() {
  // The writer died between its first record and publishing its commit: a
  // commit it wrote whole is published (as a durable one may have been
  // promised); the records of one it did not finish are wiped, so that no
  // later commit written over them runs into their remains.
  published_state const s = lock_->state();
  word_t at = s.log_end;
  redo_record r;
  while (record_at(at, s.salt, r)) {
    at += r.size();
    if (r.type == redo_record::commit) {
      if (r.value < 0) break;
      db_.reserve_file(r.value);
      lock_->publish_commit(r.value, at);
      wipe_log_tail(at, s.salt);
      return;
    }
  }
  wipe_log_tail(s.log_end, s.salt);
}

void db_journal::wipe_log_tail(word_t from, word_t salt) {
  word_t at = from;
  redo_record r;
  while (record_at(at, salt, r)) at += r.size();
  if (at > from) {
    std::vector<char> const zeros(static_cast<std::size_t>(at - from), 0);
    file_.write_at(from, zeros.data(), zeros.size());
    if (mode_ == d_journal::durable) file_.sync();
  }
  lock_->set_publishing(false);
}

void db_journal::checkpoint() {
  ++stats_.checkpoints;
  write_unwritten();
  if (mode_ == d_journal::durable) db_.sync();
  restart_log();
  db_.refresh_private();
}

void db_journal::restart_log() {
  restart_log(db_.size());
}

void db_journal::restart_log(word_t length) {
  // Everything the log holds is on the disk in the database now; a new salt
  // makes its old records unreadable as records of the new log. The file
  // keeps its length: were it cut, the cut could reach the disk before the
  // new header and leave the old header without the records it needs.
  journal_header h;
  h.kind = journal_kind::redo;
  h.committed_size = h.size_before = length;
  salt_ = h.salt = new_salt();
  write_header(h);
  if (mode_ == d_journal::durable) file_.sync();
  log_end_ = header_size;
  if (lock_) lock_->publish_log_start(salt_, header_size, length);
}

void db_journal::close() {
  close(true);
}

void db_journal::forsake() {
  closed_ = true;
  db_.set_guard(nullptr);
  file_.keep_length_at_close();
  if (file_.is_open()) file_.close();
}

void db_journal::close(bool last) {
  if (closed_) return;
  if (reader_) {
    closed_ = true;
    return;
  }
  while (!scopes_.empty() && !broken_) rollback();
  closed_ = true;
  if (broken_) return;
  db_.set_guard(nullptr);
  if (!last) {
    file_.close();
    return;
  }
  if (shared_) {
    // The last one out copies in what the journal alone holds.
    published_state const s = lock_->state();
    if (s.checkpoint < s.commits) {
      lock_->publish_lock();
      try {
        copy_in(s, s.commits, false);
      } catch (...) {
        lock_->publish_unlock();
        throw;
      }
      lock_->publish_unlock();
    }
  }
  write_unwritten();
  db_.trim();
  if (mode_ == d_journal::durable) db_.sync();
  file_.close();
  io_tools::remove_file(path_);
}

}  // namespace disk_tools
