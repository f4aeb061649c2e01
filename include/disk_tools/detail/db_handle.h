// What a persistent object keeps of its database: a share of the database's
// state (d_db.h), through which it learns that the database was closed (and
// then throws instead of touching freed memory) or that a rollback changed the
// file behind the state it caches.
#pragma once

#include <cstdint>
#include <memory>

#include "disk_tools/d_db.h"

namespace disk_tools {

class db_handle {
 public:
  db_handle() = default;
  explicit db_handle(d_database* db)
      : state_(db ? db->state() : nullptr), seen_(state_ ? state_->rollbacks : 0) {}

  // The database; throws "database is closed..." once it is (or
  // "database must be reopened..." after a failed rollback).
  d_database& db() const {
    if (!state_) throw error(errc::closed, "database is closed...");
    return state_->open();
  }
  bool is_open() const { return state_ && state_->database && !state_->broken; }
  // True once after every rollback since the last call: state cached from
  // the file before it may be stale.
  bool rolled_back() {
    if (!state_ || state_->rollbacks == seen_) return false;
    seen_ = state_->rollbacks;
    return true;
  }
  // Forgets rollbacks so far (after the object has read its state afresh).
  void up_to_date() {
    if (state_) seen_ = state_->rollbacks;
  }

 private:
  std::shared_ptr<db_state> state_;
  std::uint64_t seen_ = 0;
};

// Thrown by an object whose creation a rollback took back.
inline char const* const rolled_back_message = "container was rolled back: make it again...";

}  // namespace disk_tools
