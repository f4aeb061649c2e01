// A value stored out of line: the object names the value's own block (not a
// cell). Assigning one d_ref to another makes both name the same block; no
// bytes are copied and nothing is written. The ordered map keeps its string
// keys and values this way.
#pragma once

#include <string>

#include "d_db.h"
#include "stored_value.h"

namespace disk_tools {

template <class T>
class d_ref {
 public:
  // A reference with no block yet: it reserves nothing in the file and reads
  // as its (empty) cached value until it is given a block by grab or
  // assignment.
  d_ref() = default;

  // Stores value in a new block and refers to it.
  d_ref(T const& value, d_env* env) : env_(env), cached_(value) {
    word_t const block = store_value(*env->allocator, value);
    grab(env->stream, block, env->allocator, env->database);
  }
  // Stores an empty value in a new block (9 bytes for a string).
  explicit d_ref(d_env* env) : d_ref(T{}, env) {}

  // Attaches to the value block at address; -1 leaves the object without a
  // block and keeps its cached value.
  void grab(io_tools::bfstream* stream, long address, d_alloc* allocator, d_database* database) {
    stream_ = stream;
    address_ = address;
    allocator_ = allocator;
    database_ = database;
    if (address_ == no_address) return;
    cached_ = stored_value<T>::read(*stream_, address_);
  }

  // The value, read from the file on first use; a reference without a block
  // returns its cached value.
  T get_data() const {
    if (!loaded_ && address_ != no_address && stream_) {
      cached_ = stored_value<T>::read(*stream_, address_);
      loaded_ = true;
    }
    return cached_;
  }
  operator T() const { return get_data(); }

  d_ref& operator=(d_ref const& other) {
    if (this == &other) return *this;
    if (other.address_ != no_address && (stream_ || other.stream_)) {
      cached_ = stored_value<T>::read(stream_ ? *stream_ : *other.stream_, other.address_);
    } else {
      cached_ = other.cached_;
    }
    env_ = other.env_;
    stream_ = other.stream_;
    database_ = other.database_;
    address_ = other.address_;
    allocator_ = other.allocator_;
    loaded_ = other.loaded_;
    return *this;
  }
  d_ref(d_ref const& other) { *this = other; }

  bool operator<(d_ref const& other) const { return get_data() < other.get_data(); }
  bool operator>(d_ref const& other) const { return other.get_data() < get_data(); }
  bool operator==(d_ref const& other) const { return get_data() == other.get_data(); }

  // The address of the value block; -1 while there is none.
  long address() const { return address_; }
  // Names the block at address without reading it: the value is fetched on
  // first use. The ordered map loads its slots this way.
  void refer_to(long address, io_tools::bfstream* stream) {
    address_ = address;
    stream_ = stream;
    loaded_ = false;
  }

 private:
  word_t address_ = no_address;
  d_alloc* allocator_ = nullptr;
  io_tools::bfstream* stream_ = nullptr;
  d_database* database_ = nullptr;
  d_env* env_ = nullptr;
  mutable T cached_{};
  mutable bool loaded_ = false;
};

}  // namespace disk_tools
