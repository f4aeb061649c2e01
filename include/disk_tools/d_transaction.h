// Transactions: changes grouped so that they happen completely or not at all.
//
//   d_transaction tx(db);
//   list.push_back("a");
//   map.put(1, 2);
//   tx.commit();          // both, or (no commit: scope ended, or an exception) neither
//
// Every single operation is a transaction of its own already; a d_transaction
// makes one of many. A transaction opened inside another joins it: its commit
// keeps its changes as part of the outer one (they reach the file for good
// only when the outermost commits), and its rollback takes back only its own.
// An operation that fails inside a transaction takes back only its own
// changes too, and the transaction goes on. Transactions end innermost first:
// a commit while one begun inside it is still open is refused ("a transaction
// begun inside this one is still open..."), and a rollback (or the end of the
// scope) takes back the ones begun inside it with its own changes, which ends
// them.
//
// With the journal off nothing can be taken back: a rollback leaves the
// changes made so far in place.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "disk_tools/d_db.h"

namespace disk_tools {

class d_transaction {
 public:
  explicit d_transaction(d_database* db);
  explicit d_transaction(d_env* env) : d_transaction(env->database) {}
  // Rolls back unless committed; does nothing once the database is closed.
  ~d_transaction();
  d_transaction(d_transaction const&) = delete;
  d_transaction& operator=(d_transaction const&) = delete;

  void commit();
  void rollback();
  // False once it committed or rolled back, or a transaction around it
  // rolled back (which took it back too).
  bool active() const;

 private:
  std::size_t open_level() const;

  std::shared_ptr<db_state> state_;
  bool active_ = true;
  // The change count as its scope began, which names that scope among the
  // open ones (db_state::scope_began).
  std::uint64_t began_ = 0;
};

// A read transaction: every read made while it lasts sees the database as one
// commit left it, whatever other processes commit meanwhile; nobody waits for
// it, nor it for anybody. While it lasts, later commits stay in the journal
// (they reach the file once it ends). Nests; changes made inside one are
// allowed and seen while its commit is the latest, and "database is busy..."
// once another opening has committed since (they would rest on stale reads).
//
//   d_read_transaction rt(db);
//   auto total = sum(accounts);   // one commit's accounts, never half of one
class d_read_transaction {
 public:
  explicit d_read_transaction(d_database* db);
  explicit d_read_transaction(d_env* env) : d_read_transaction(env->database) {}
  ~d_read_transaction() { end(); }
  d_read_transaction(d_read_transaction const&) = delete;
  d_read_transaction& operator=(d_read_transaction const&) = delete;

  // Ends it before the scope does; later calls do nothing.
  void end();

 private:
  std::shared_ptr<db_state> state_;
  bool active_ = true;
};

// The scope of one library operation that changes the file: begun by its
// constructor, committed by commit(), rolled back by its destructor otherwise
// (an exception). The library's own operations use it; it costs a few
// instructions.
class change_scope {
 public:
  explicit change_scope(d_database& db) : db_(db) { db_.begin_change(); }
  ~change_scope() {
    if (!done_) db_.rollback_change();
  }
  change_scope(change_scope const&) = delete;
  change_scope& operator=(change_scope const&) = delete;

  void commit() {
    db_.commit_change();
    done_ = true;
  }

 private:
  d_database& db_;
  bool done_ = false;
};

// Runs step inside a change scope of db: the step's result, with its changes
// committed; or its exception, with its changes rolled back.
template <class Step>
decltype(auto) in_change(d_database& db, Step&& step) {
  change_scope scope(db);
  if constexpr (std::is_void_v<decltype(step())>) {
    step();
    scope.commit();
  } else {
    decltype(auto) result = step();
    scope.commit();
    return result;
  }
}

}  // namespace disk_tools
