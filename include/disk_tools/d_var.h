// A persistent variable: a cell in the file that names the block holding its
// value, or -1 while it has none.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/compares_as.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/stored_value.h"

namespace disk_tools {

template <class T>
class d_var : detail::compares_as<d_var<T>, T> {
 public:
  // A variable on an existing cell (a root slot or a block from create_var).
  d_var(long cell, d_env* env)
      : cell_(cell),
        allocator_(env->allocator),
        stream_(env->stream),
        database_(env->database),
        link_(require_open(env->database)) {}
  // The variable kept in the root slot called name.
  d_var(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : d_var(root_slot(env->database, name, root_kind<d_var>::get(), mode), env) {}

  // A copy names the same cell.
  d_var(d_var const&) = default;
  d_var(d_var&&) = default;

  // a = b stores b's value in a's cell, as the proxies m[a] = m[b] and
  // *p = *q do; the implicit copy would aim a at b's cell and store nothing.
  d_var& operator=(d_var const& other) { return *this = other.get_data(); }

  // Frees the old value's block, stores value in a new one and re-aims the
  // cell at it.
  d_var& operator=(T const& value) {
    in_change(link_.db(), [&] {
      still_there();
      assign_cell(*stream_, *allocator_, cell_, value);
    });
    return *this;
  }

  // The stored value; an empty value while the cell holds none.
  T get_data() const {
    auto const op = link_.operation();
    still_there();
    word_t const block = stream_->read_word(cell_);
    if (block == no_address) return T{};
    return stored_value<T>::read(*stream_, block);
  }
  // The same, read where a T is wanted: `total = total + 1` stores the sum,
  // as the map's and the pointer's proxies read and store.
  operator T() const { return get_data(); }

  // The stored characters where the file holds them (a variable of strings):
  // no copy, valid until the next change to the database; empty while the
  // cell holds no value.
  std::string_view view() const {
    static_assert(std::is_same<T, std::string>::value, "view() reads strings in place: read other values by copy");
    auto const op = link_.operation();
    still_there();
    word_t const block = stream_->read_word(cell_);
    if (block == no_address) return {};
    return stored_value<std::string>::view(*stream_, block);
  }

  long cell() const { return cell_; }

 private:
  // A root removed since the variable's last use (or whose making was
  // rolled back) refuses it, rather than reading the cell the next new root
  // may take. The variable keeps nothing else to bring up to date.
  void still_there() const { link_.stale(cell_); }

  word_t cell_;
  d_alloc* allocator_;
  io_tools::bfstream* stream_;
  d_database* database_;
  mutable db_handle link_;
};

}  // namespace disk_tools
