// What a persistent object keeps of its database: a share of the database's
// state (d_db.h), through which it learns that the database was closed (and
// then throws instead of touching freed memory) or that the file may have
// changed behind the state it caches.
//
// Any number of objects may work on one container, so an object that keeps
// part of the file in memory follows one rule: before an operation, when its
// container changed since its own last operation (stale), it reads that part
// afresh; its own changes go through own_change, which keeps the cache
// trusted afterwards. Containers are told apart by their handle slots. An
// object used alone never reads anything twice, nor does one whose database
// changed only in other containers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"

namespace disk_tools {

// An operation outside transactions from its start to its end: beside other
// openings, the commit it pinned as it started rests once it ends
// (d_database::begin_operation). Held for the whole of a read whose bytes
// come from the file; without one, the pin holds until the next operation.
class [[nodiscard]] db_operation {
 public:
  db_operation(d_database& db, bool counted) : db_(&db), counted_(counted) {}
  db_operation(db_operation&& other) noexcept : db_(other.db_), counted_(other.counted_) {
    other.counted_ = false;
  }
  db_operation(db_operation const&) = delete;
  db_operation& operator=(db_operation const&) = delete;
  db_operation& operator=(db_operation&&) = delete;
  ~db_operation() {
    if (counted_) db_->end_operation();
  }
  d_database& db() const { return *db_; }

 private:
  d_database* db_;
  bool counted_;
};

// Where an inner container's object was taken from (a map's list or vector
// value): a look in that map that tells whether it still keeps the container
// under the same key. Another opening may erase the key, and the blocks that
// named the container then serve the next one made.
using inner_origin = std::function<bool()>;

// Thrown by an object whose container was erased with its map entry.
inline char const* const erased_inner_message =
    "container was erased with its map entry: take it from the map again...";

// Thrown by an object whose creation a rollback took back.
inline char const* const rolled_back_message = "container was rolled back: make it again...";
// Thrown by an iterator moved or read after another opening committed: what
// it copied may have moved or been freed since.
inline char const* const stale_iterator_message =
    "iterator is stale: another opening committed since it was made; iterate inside a "
    "d_read_transaction...";
// Thrown by an iterator that copied what it stands on inside a transaction
// that was rolled back since, and whose container that transaction changed.
inline char const* const undone_iterator_message =
    "iterator is stale: it was made or moved in a transaction that was rolled back; make it "
    "again...";

class db_handle {
 public:
  db_handle() = default;
  explicit db_handle(d_database* db)
      : state_(db ? db->state() : nullptr), seen_(state_ ? state_->changes : 0) {}
  // Moving copies: an object is a name, and one a move left behind still
  // names its container, as a copy does. (Emptied, it would report its
  // database closed while it is open.)
  db_handle(db_handle const&) = default;
  db_handle& operator=(db_handle const&) = default;
  db_handle(db_handle&& other) noexcept : db_handle(static_cast<db_handle const&>(other)) {}
  db_handle& operator=(db_handle&& other) noexcept {
    return *this = static_cast<db_handle const&>(other);
  }

  // The database; throws "database is closed..." once it is (or
  // "database must be reopened..." after a failed rollback).
  d_database& db() const {
    // Every operation starts here, reads by the million among them: an open,
    // sound database with nothing to check is told inline in a few loads,
    // small enough to be inlined into every loop that reads.
    if (state_) {
      d_database* const database = state_->database;
      if (database && !state_->broken && database->quiet()) return *database;
    }
    return checked_db();
  }
  // db() for an operation that reads, held until it ends.
  db_operation operation() const {
    if (state_) {
      d_database* const database = state_->database;
      if (database && !state_->broken) {
        if (database->quiet() || database->inside_operation()) {
          return db_operation(*database, false);
        }
        if (database->begin_operation_on_latest()) return db_operation(*database, true);
      }
    }
    d_database& database = checked_db();
    return db_operation(database, database.begin_operation());
  }
  // operation() for an object attaching to the container whose handle slot
  // is at container, made after its root was found: the commits the
  // operation follows may have removed that root since (its entry maybe
  // another root's by now), which refuses the object ("container was
  // removed...") rather than let it read another container's records.
  db_operation attaching(word_t container) const {
    db_operation op = operation();
    require_not_gone(container);
    return op;
  }
  bool is_open() const { return state_ && state_->database && !state_->broken; }
  // True when an operation may go ahead on the object's cache as it is: the
  // database is open, sound and quiet (db() would return it inline), and no
  // change was counted since the cache last agreed with the file (stale()
  // would be false for any container). One test for the reads made by the
  // million; when it fails, db() and stale() tell what to do.
  bool settled() const {
    db_state const* const state = state_.get();
    if (!state || state->changes != seen_) return false;
    d_database const* const database = state->database;
    return database && !state->broken && database->quiet();
  }

  // True when the container whose handle slot is at container changed,
  // through another object or a rollback, since this object's cache last
  // agreed with the file. When only other containers changed, the cache
  // stays trusted, and the next look is a comparison again.
  bool stale(word_t container) {
    if (!state_ || state_->changes == seen_) return false;
    // The count of the container this object changes is at stamp_ once it
    // has changed it: no look-up in the table of counts.
    bool const changed = stamp_ && container == stamped_
                             ? state_->reset_at > seen_ || *stamp_ > seen_
                             : state_->changed_since(container, seen_);
    if (changed) {
      // The change may have been its end: an inner container erased with
      // its entry, or made in a scope that was rolled back; or, after other
      // openings' commits, erased by one of them.
      if (!state_->gone.empty()) state_->check_not_gone(container, seen_);
      if (origin_ && (origin_gone_ || state_->followed != origin_seen_)) check_origin();
      return true;
    }
    seen_ = state_->changes;
    return false;
  }
  // Whether every change counted since the object's cache last agreed with
  // the file was other openings' commits followed, whose bytes the stream
  // names (bfstream::unchanged_since): no rollback, and no change of the
  // container whose handle slot is at container by this opening.
  bool only_followed_since_seen(word_t container) const {
    if (!state_ || state_->unnamed_reset_at > seen_) return false;
    if (stamp_ && container == stamped_) return *stamp_ <= seen_;
    auto const at = state_->changed_at.find(container);
    return at == state_->changed_at.end() || at->second <= seen_;
  }
  // Throws when the container whose handle slot is at container went (an
  // inner container erased, a root removed, a making rolled back) since this
  // handle was last up to date: for what keeps no cache to bring up to date
  // but names the container (a vector's element proxy).
  // One comparison while nothing went since the handle was last up to date:
  // iterators ask at every step.
  void require_not_gone(word_t container) const {
    if (state_ && seen_ < state_->gone_until) state_->check_not_gone(container, seen_);
  }
  // require_not_gone, and for what names an inner container taken from a
  // map (taken_from), its map asked again once other openings' commits were
  // followed: for what keeps no cache but reads and writes through the
  // container's handle (a vector's element proxy).
  void require_kept(word_t container) {
    require_not_gone(container);
    if (origin_ && (origin_gone_ || state_->followed != origin_seen_)) check_origin();
  }
  // The object of an inner container, taken from its map by the look origin
  // repeats, made when the opening had followed other openings' commits
  // followed times: once it has followed more, stale() asks the map again,
  // and refuses the object when the key went.
  void taken_from(std::shared_ptr<inner_origin const> origin, std::uint64_t followed) {
    origin_ = std::move(origin);
    origin_seen_ = followed;
    origin_gone_ = false;
  }
  // The same origin as other's, as other last found it: for an iterator of
  // an inner container, which names the container as its object does.
  void taken_as(db_handle const& other) { taken_as(other.origin_now()); }
  // The origin as this handle last found it, for what keeps no handle of its
  // own until it writes (an element read through an iterator).
  struct origin_mark {
    std::shared_ptr<inner_origin const> origin;
    std::uint64_t seen = 0;
    bool gone = false;
  };
  origin_mark origin_now() const { return {origin_, origin_seen_, origin_gone_}; }
  void taken_as(origin_mark const& mark) {
    origin_ = mark.origin;
    origin_seen_ = mark.seen;
    origin_gone_ = mark.gone;
  }
  // What an iterator notes as it copies what it stands on: how often the
  // database had followed other openings' commits, and its count of changes.
  struct copy_stamp {
    std::uint64_t followed = 0, changes = 0;
  };
  copy_stamp stamp() const {
    return state_ ? copy_stamp{state_->followed, state_->changes} : copy_stamp{};
  }
  // Whether the database is open and neither changed nor followed other
  // openings' commits since the stamp: what a view into the file needs.
  bool unchanged_since(copy_stamp s) const {
    return state_ && state_->database && !state_->broken && state_->followed == s.followed &&
           state_->changes == s.changes;
  }
  // Throws when a copy stamped so of the container whose handle slot is at
  // container cannot be trusted: "iterator is stale..." once other openings'
  // commits were followed since, and "iterator is stale: it was made or
  // moved in a transaction that was rolled back..." when a rollback took
  // back what it was copied from. One comparison each while neither holds.
  void check_copy(word_t container, copy_stamp copied) const {
    if (!state_) return;
    if (state_->followed != copied.followed) throw error(errc::busy, stale_iterator_message);
    if (copied.changes < state_->undone_until) {
      // A container made in the transaction is told gone as such.
      require_not_gone(container);
      state_->check_not_undone(container, copied.changes);
    }
  }
  // Whether the container whose handle slot is at container changed, through
  // any object of this opening or a rollback, after the count stood at since.
  bool changed_since(word_t container, std::uint64_t since) const {
    return state_ && state_->changed_since(container, since);
  }
  // A slot table's erase moved its entry from into entry to (db_state::moves).
  void note_move(word_t container, word_t from, word_t to) {
    if (state_) state_->note_move(container, from, to);
  }
  // The table's moves, for its iterators; null when it never moved any.
  db_state::entry_moves const* moves_of(word_t container) const {
    if (!state_) return nullptr;
    auto const at = state_->moves.find(container);
    return at == state_->moves.end() ? nullptr : &at->second;
  }
  // Records that the object's cache agrees with the file as it is now.
  void up_to_date() {
    if (state_) seen_ = state_->changes;
  }
  // Records that the object made the container whose handle slot is at
  // container in a block of its own, which a rollback takes back
  // (db_state::note_made).
  void made(word_t container) {
    state_->note_made(container);
    up_to_date();
  }

  // Runs step as one change of db (in_change) to the container whose handle
  // slot is at container, which every other object on it then finds stale.
  template <class Step>
  decltype(auto) change(d_database& db, word_t container, Step&& step) {
    return in_change(db, [&]() -> decltype(auto) {
      // Taking the writer's turn may have followed another opening's removal
      // of the root: a container made now would hang from a free entry.
      require_not_gone(container);
      note_change(container);
      return step();
    });
  }
  // The same made by this handle's object, whose cache step keeps in line
  // with what it writes: when step succeeds the cache is still trusted; when
  // it fails, the rollback makes it stale.
  template <class Step>
  decltype(auto) own_change(d_database& db, word_t container, Step&& step) {
    if constexpr (std::is_void_v<decltype(step())>) {
      change(db, container, step);
      up_to_date();
    } else {
      decltype(auto) result = change(db, container, step);
      up_to_date();
      return result;
    }
  }
  // The same as a part of a change the caller has begun: no scope of its
  // own, whose beginning and end would cost more than a small step. A
  // failure ends the caller's scope too, and its rollback makes the cache
  // stale.
  template <class Step>
  decltype(auto) own_change_within(word_t container, Step&& step) {
    note_change(container);
    decltype(auto) result = step();
    up_to_date();
    return result;
  }

  // How an object that caches part of its container in memory starts each
  // operation, refresh reading that part again when it is stale: a read
  // holds the operation until it ends;
  template <class Refresh>
  db_operation reading(Refresh&& refresh) {
    db_operation op = operation();
    refresh();
    return op;
  }
  // a change looks first outside the writer's turn (which may throw before
  // anything is begun);
  template <class Refresh>
  d_database& checked(Refresh&& refresh) {
    d_database& database = db();
    refresh();
    return database;
  }
  // and runs step as the object's own change of its container (own_change).
  // refresh runs again inside the change, before the change is counted:
  // taking the writer's turn may have caught up with other openings'
  // commits made after checked() looked. Counted first, the change would
  // make the object's own cache stale, and each change would read it all
  // again.
  template <class Step, class Refresh>
  decltype(auto) changing(word_t container, Step&& step, Refresh&& refresh) {
    d_database& database = checked(refresh);
    auto const counted = [&]() -> decltype(auto) {
      refresh();
      note_change(container);
      return step();
    };
    if constexpr (std::is_void_v<decltype(step())>) {
      in_change(database, counted);
      up_to_date();
    } else {
      decltype(auto) result = in_change(database, counted);
      up_to_date();
      return result;
    }
  }

 private:
  // db() the long way: the database's own checks (the thread, other
  // openings' commits) run as db_state::open runs them, or the reason it
  // cannot be used is thrown.
  [[gnu::noinline]] d_database& checked_db() const {
    if (!state_) throw error(errc::closed, "database is closed...");
    d_database* const database = state_->database;
    if (database && !state_->broken) {
      database->check_thread();
      database->follow_commits();
      return *database;
    }
    return state_->open();  // throws the reason
  }

  // db_state::note_change, keeping the place of the container's count: an
  // object changes one container, so it looks the count up once.
  void note_change(word_t container) {
    if (!stamp_ || container != stamped_) {
      stamp_ = &state_->changed_at[container];
      stamped_ = container;
    }
    *stamp_ = ++state_->changes;
  }

  // Asks the inner container's map whether it still keeps it (taken_from).
  // Once it did not, the object is refused from then on: it names blocks
  // that another container may have taken.
  void check_origin() {
    if (!origin_gone_) {
      origin_gone_ = !(*origin_)();
      origin_seen_ = state_->followed;
    }
    if (origin_gone_) throw error(errc::out_of_range, erased_inner_message);
  }

  std::shared_ptr<db_state> state_;
  std::uint64_t seen_ = 0;
  std::uint64_t* stamp_ = nullptr;  // in state_->changed_at, for stamped_
  word_t stamped_ = no_address;
  std::shared_ptr<inner_origin const> origin_;  // taken_from
  std::uint64_t origin_seen_ = 0;               // state_->followed as origin_ last answered
  bool origin_gone_ = false;                    // origin_ answered that the container went
};

// Attaches an object to the container kept at the root called name, attach
// being the object's grab of the root's slot. A root that holds no container
// yet is made with its container in one change: otherwise another opening
// could find the root committed without it, and take it for one to make (a
// read-only opening, or a read transaction, would be refused that change).
template <class Attach>
void attach_at_root(d_database* db, std::string const& name, std::string const& kind, d_root mode,
                    Attach&& attach) {
  if (!require_open(db)->read_only() && db->change_depth() == 0) {
    d_database::root_state const holds = db->root_holds(name);
    if (holds == d_database::root_state::empty ||
        (holds == d_database::root_state::absent && mode == d_root::open_or_create)) {
      in_change(*db, [&] { attach(root_slot(db, name, kind, mode)); });
      return;
    }
  }
  attach(root_slot(db, name, kind, mode));
}

}  // namespace disk_tools
