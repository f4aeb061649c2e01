// A persistent pointer: a cell that can be re-aimed, read and assigned through
// the proxy d_ptr_assign that operator* returns.
#pragma once

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/d_var.h"
#include "disk_tools/detail/compares_as.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/stored_value.h"

namespace disk_tools {

template <class T>
class d_ptr;

// Names the pointer's cell; reads and replaces the value it holds, as a
// d_var on that cell does. It keeps no value of its own, so it reads what the
// file holds now (an empty value while the cell holds none, as after a
// rollback of the cell's first value), and it stays usable when its d_ptr
// moves or goes.
template <class T>
class d_ptr_assign : detail::compares_as<d_ptr_assign<T>, T> {
 public:
  d_ptr_assign(word_t cell, io_tools::bfstream* stream, d_alloc* allocator, db_handle link)
      : cell_(cell), stream_(stream), allocator_(allocator), link_(std::move(link)) {}
  d_ptr_assign(d_ptr_assign const&) = default;

  d_ptr_assign& operator=(T const& value) {
    in_change(link_.db(), [&] {
      link_.require_not_gone(cell_);
      assign_cell(*stream_, *allocator_, cell_, value);
    });
    return *this;
  }
  // *p = *q stores q's value in p's cell; the implicit copy would aim this
  // proxy at q's cell and store nothing.
  d_ptr_assign& operator=(d_ptr_assign const& other) { return *this = static_cast<T>(other); }

  // The stored value; an empty value while the cell holds none.
  operator T() const {
    auto const op = link_.operation();
    link_.require_not_gone(cell_);
    word_t const block = stream_->read_word(cell_);
    if (block == no_address) return T{};
    return stored_value<T>::read(*stream_, block);
  }

 private:
  word_t cell_;
  io_tools::bfstream* stream_;
  d_alloc* allocator_;
  db_handle link_;
};

template <class T>
class d_ptr {
 public:
  // A pointer on an existing cell (a root slot or a block from
  // create_pointer).
  d_ptr(long cell, d_env* env)
      : cell_(cell),
        stream_(env->stream),
        allocator_(env->allocator),
        database_(env->database),
        link_(require_open(env->database)) {}
  // A pointer aimed at a variable's cell: it reads and writes the variable.
  d_ptr(d_var<T> const& var, d_env* env) : d_ptr(var.cell(), env) {}

  // Re-aims the pointer at a variable's cell.
  d_ptr& operator=(d_var<T> const& var) {
    cell_ = var.cell();
    link_.up_to_date();
    return *this;
  }

  // The cell's proxy; a cell whose root was removed since the pointer was
  // aimed at it (or whose making was rolled back) refuses it, rather than
  // read the cell the next new root may take.
  d_ptr_assign<T> operator*() {
    auto const op = link_.operation();
    link_.require_not_gone(cell_);
    return d_ptr_assign<T>(cell_, stream_, allocator_, link_);
  }

  long cell() const { return cell_; }

 private:
  word_t cell_;
  io_tools::bfstream* stream_;
  d_alloc* allocator_;
  d_database* database_;
  db_handle link_;
};

}  // namespace disk_tools
