// A value stored out of line: the object names the value's own block (not a
// cell). Assigning one d_ref to another makes both name the same block; no
// bytes are copied and nothing is written. The ordered map keeps its string
// keys and values this way.
//
// The object holds a share of its database's state rather than its stream: a
// value not read yet is read through the database while it is open, and
// reading it after the close throws "database is closed...".
#pragma once

#include <memory>
#include <string>

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/stored_value.h"

namespace disk_tools {

template <class T>
class d_ref {
 public:
  // A reference with no block yet: it reserves nothing in the file and reads
  // as its (empty) cached value until it is given a block by grab or
  // assignment.
  d_ref() = default;

  // Stores value in a new block and refers to it.
  d_ref(T const& value, d_env* env) : cached_(value) {
    // A change of its own: inside a transaction the allocator opens none, and
    // a failure must take back this block's writes alone.
    d_database& db = *require_open(env->database);
    word_t const block = in_change(db, [&] { return store_value(*env->allocator, value); });
    grab(env->stream, block, env->allocator, env->database);
  }
  // Stores an empty value in a new block (9 bytes for a string).
  explicit d_ref(d_env* env) : d_ref(T{}, env) {}

  // Attaches to the value block at address; -1 leaves the object without a
  // block and keeps its cached value.
  void grab(io_tools::bfstream* stream, long address, d_alloc* /*allocator*/,
            d_database* database) {
    state_ = database ? database->state() : owner_of(stream);
    address_ = address;
    if (address_ == no_address) return;
    cached_ = stored_value<T>::read(*stream, address_);
    loaded_ = true;
  }

  // The value, read from the file on first use; a reference without a block
  // returns its cached value.
  T get_data() const { return value(); }
  operator T() const { return get_data(); }
  // The same without a copy, for comparisons.
  T const& value() const {
    if (!loaded_ && address_ != no_address && state_) {
      cached_ = stored_value<T>::read(*state_->open().stream(), address_);
      loaded_ = true;
    }
    return cached_;
  }

  bool operator<(d_ref const& other) const { return value() < other.value(); }
  bool operator>(d_ref const& other) const { return other.value() < value(); }
  bool operator==(d_ref const& other) const { return value() == other.value(); }
  // A reference against a plain value: the ordered map looks a plain key up
  // this way, with no block made for it.
  friend bool operator<(d_ref const& a, T const& b) { return a.value() < b; }
  friend bool operator<(T const& a, d_ref const& b) { return a < b.value(); }

  // The address of the value block; -1 while there is none.
  long address() const { return address_; }
  // Names the block at address of the database stream belongs to, without
  // reading it: the value is fetched on first use. The ordered map loads its
  // slots this way.
  void refer_to(long address, io_tools::bfstream* stream) {
    db_state const* const owner = stream ? static_cast<db_state const*>(stream->owner().get())
                                         : nullptr;
    if (state_.get() != owner) state_ = owner_of(stream);
    address_ = address;
    loaded_ = false;
  }

 private:
  static std::shared_ptr<db_state> owner_of(io_tools::bfstream* stream) {
    return stream ? std::static_pointer_cast<db_state>(stream->owner()) : nullptr;
  }

  word_t address_ = no_address;
  std::shared_ptr<db_state> state_;
  mutable T cached_{};
  mutable bool loaded_ = false;
};

}  // namespace disk_tools
