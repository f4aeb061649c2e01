// The persistent vector: an indexed sequence whose header block (capacity,
// count and one slot per element, see vector_header.h) and element values live
// in the database file.
//
// A vector is reached through its handle slot, which holds the header's
// address: a root slot, or the one word of a block of its own (create_handle)
// when a map keeps the vector as a value. When an element is added to a full
// vector the header moves to a new, larger block: the slots are copied, the
// handle slot is re-aimed and the old block is freed. Elements are read and replaced by
// index through d_vector_assign; d_vector_iterator, a random-access iterator,
// reads them in order (range-for, the standard algorithms) and names a
// position for insert and erase. Its *it is a d_vector_element, the value read
// with a way to store a new one, so that algorithms that write (std::sort,
// std::reverse, std::rotate) work on the vector as on a std::vector: each
// write is one change of its own, as v[i] = value is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/compares_as.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/factories.h"
#include "disk_tools/detail/stored_value.h"
#include "disk_tools/detail/vector_header.h"

namespace disk_tools {

// Orders the elements handed to sort: true when a is less than b. Strings
// compare byte by byte as unsigned over their common length, then the shorter
// is less.
template <class T>
struct DefaultLess {
  bool operator()(T const& a, T const& b) const { return a < b; }
};

namespace vector_detail {

// The header a handle slot names, with index checked against its count.
inline word_t slot_of(io_tools::bfstream& s, word_t handle, word_t index) {
  word_t const header = s.read_word(handle);
  vector_header const h = vector_header::read(s, header);
  if (index < 0 || index >= h.count)
    throw error(errc::out_of_range, "vector index out of range...");
  return vector_header::slot_address(header, index);
}

// The address a slot holds, checked before it is followed.
inline word_t value_in(io_tools::bfstream& s, word_t slot) {
  word_t const value = s.read_word(slot);
  if (value < database_header_size) throw io_tools::corrupt_file(s);
  return value;
}

// The element whose value block the slot names.
template <class T>
T element_in(io_tools::bfstream& s, word_t slot) {
  return stored_value<T>::read(s, value_in(s, slot));
}

// The same string's characters in place.
inline std::string_view chars_in(io_tools::bfstream& s, word_t slot) {
  return stored_value<std::string>::view(s, value_in(s, slot));
}

// Where an element's characters lie, in one word, so that reading it is one
// load: their address above length_bits, their count below. 0 when they do not
// fit, which view() takes for "not known" and so reads the long way.
constexpr int length_bits = 20;
constexpr std::uint64_t length_mask = (std::uint64_t{1} << length_bits) - 1;
inline std::uint64_t place(word_t chars, std::size_t length) {
  if (chars <= 0 || length > length_mask ||
      static_cast<std::uint64_t>(chars) >= (std::uint64_t{1} << (64 - length_bits)))
    return 0;
  return static_cast<std::uint64_t>(chars) << length_bits | length;
}
inline word_t chars_of(std::uint64_t place) { return static_cast<word_t>(place >> length_bits); }
inline std::size_t length_of(std::uint64_t place) {
  return static_cast<std::size_t>(place & length_mask);
}

}  // namespace vector_detail

template <class T>
class d_vector_iterator;
template <class T>
class d_vector_element;

// Names element index of a vector. It finds its slot through the vector's
// handle slot at every use, so it stays right when the header has moved, and
// reads the element afresh each time it is converted to T.
template <class T>
class d_vector_assign : detail::compares_as<d_vector_assign<T>, T> {
  template <class>
  friend class d_vector;
  friend class d_vector_element<T>;

 public:
  d_vector_assign(word_t value, d_database* database, d_alloc* allocator,
                  io_tools::bfstream* stream, word_t handle, word_t index)
      : value_(value),
        database_(database),
        allocator_(allocator),
        stream_(stream),
        handle_(handle),
        index_(index),
        link_(database) {}
  d_vector_assign(d_vector_assign const&) = default;

  operator T() const {
    auto const op = link_.operation();
    link_.require_kept(handle_);
    return vector_detail::element_in<T>(*stream_,
                                        vector_detail::slot_of(*stream_, handle_, index_));
  }
  T get_data() const { return *this; }

  // Frees the element's block and stores value in a new one.
  d_vector_assign& operator=(T const& value) {
    value_ = link_.change(link_.db(), handle_, [&] {
      link_.require_kept(handle_);
      // Encoded before the old block is freed, as a variable's value is
      // (assign_cell).
      text_tools::bstringstream out;
      stored_value<T>::encode(out, value);
      word_t const slot = vector_detail::slot_of(*stream_, handle_, index_);
      allocator_->make_room_for(static_cast<long>(out.size()));
      allocator_->deallocate(vector_detail::value_in(*stream_, slot));
      word_t const block = allocator_->allocate(static_cast<long>(out.size()), out);
      stream_->write_word(slot, block);
      return block;
    });
    return *this;
  }
  // Stores the value other's element holds: v[i] = v[j] copies the value, as
  // with a std::vector, rather than making this proxy name element j.
  d_vector_assign& operator=(d_vector_assign const& other) { return *this = T(other); }

  // Exchanges the two elements' values, as one change: their slots trade
  // value blocks, which are neither copied nor freed. Elements of two
  // vectors of one database change together; across two openings each
  // element is stored anew, one change each.
  friend void swap(d_vector_assign a, d_vector_assign b) { a.exchange(b); }

  // The value address the slot held when the proxy was made or last assigned.
  long value_address() const { return value_; }

 private:
  void exchange(d_vector_assign& other) {
    if (other.database_ != database_) {
      T const mine = *this;
      *this = T(other);
      other = mine;
      return;
    }
    auto const trade = [&] {
      link_.require_kept(handle_);
      other.link_.require_kept(other.handle_);
      word_t const slot = vector_detail::slot_of(*stream_, handle_, index_);
      word_t const other_slot = vector_detail::slot_of(*stream_, other.handle_, other.index_);
      word_t const value = vector_detail::value_in(*stream_, slot);
      word_t const other_value = vector_detail::value_in(*stream_, other_slot);
      stream_->write_word(slot, other_value);
      stream_->write_word(other_slot, value);
      value_ = other_value;
      other.value_ = value;
    };
    link_.change(link_.db(), handle_, [&] {
      if (other.handle_ == handle_) return trade();
      // The other vector's objects must find their copies stale too.
      other.link_.change(link_.db(), other.handle_, trade);
    });
  }

  word_t value_;
  d_database* database_;
  d_alloc* allocator_;
  io_tools::bfstream* stream_;
  word_t handle_;
  word_t index_;
  mutable db_handle link_;
};

namespace vector_detail {

// swap(a, b) where T's own member swap would hide it.
template <class T>
void exchange(d_vector_assign<T> const& a, d_vector_assign<T> const& b) {
  swap(a, b);
}

// What d_vector_element holds the value it read in: the value itself, as its
// base, when T is a class one may derive from, so that the element shows T's
// members (e.size(), e.name) as a std::vector's reference does; otherwise a
// member, which the element converts to.
template <class T>
constexpr bool element_derives = std::is_class<T>::value && !std::is_final<T>::value;

template <class T>
struct held_value {
  template <class Read>
  explicit held_value(Read&& read) : value_(read()) {}
  operator T const&() const { return value_; }
  T value_;
};

template <class T>
using element_base = std::conditional_t<element_derives<T>, T, held_value<T>>;

}  // namespace vector_detail

// What *it of a d_vector_iterator gives: the element's value as it was read
// (a T, or converting to one), which also stores into the element. Assigning
// a T, or another d_vector_element (whose value is copied, not its place),
// stores the value as v[i] = value does, one change each, and the element
// then holds it; swap(*a, *b) trades two elements' value blocks as one
// change. So the standard algorithms that move elements about work on a
// vector, each write its own change; in a d_transaction they are one.
//
// Its own reads never look at the file again: changing the value it holds
// through T's members (e.append(...)) changes that copy alone.
template <class T>
class d_vector_element : public vector_detail::element_base<T> {
 public:
  d_vector_element(d_vector_element const&) = default;
  d_vector_element(d_vector_element&&) = default;

  d_vector_element& operator=(T const& value) {
    element_store_(value);
    element_value_() = value;
    return *this;
  }
  d_vector_element& operator=(T&& value) {
    element_store_(value);
    element_value_() = std::move(value);
    return *this;
  }
  d_vector_element& operator=(d_vector_element const& other) {
    return *this = other.element_value_();
  }

  friend void swap(d_vector_element a, d_vector_element b) {
    vector_detail::exchange(a.element_at_(), b.element_at_());
  }
  // With a value of the program's own (std::swap_ranges between a
  // std::vector and a d_vector swaps so).
  friend void swap(d_vector_element a, T& b) { a.element_trade_(b); }
  friend void swap(T& a, d_vector_element b) { b.element_trade_(a); }

 private:
  // The members' names are unlike any a T of the program's would use for its
  // own, which the element shows.
  friend class d_vector_iterator<T>;
  // The value read from the block at value_block, and where it lies (as
  // d_vector_assign takes it). Read straight into the element's base.
  template <class Read>
  static vector_detail::element_base<T> element_made_(Read& read) {
    if constexpr (vector_detail::element_derives<T>) {
      return read();
    } else {
      return vector_detail::held_value<T>(read);
    }
  }
  template <class Read>
  d_vector_element(Read&& read, word_t value_block, d_database* database, d_alloc* allocator,
                   io_tools::bfstream* stream, word_t handle, word_t index,
                   db_handle::origin_mark origin)
      : vector_detail::element_base<T>(element_made_(read)),
        element_block_(value_block),
        element_database_(database),
        element_allocator_(allocator),
        element_stream_(stream),
        element_handle_(handle),
        element_index_(index),
        element_origin_(std::move(origin)) {}

  T& element_value_() {
    if constexpr (vector_detail::element_derives<T>) return *this;
    else return this->value_;
  }
  T const& element_value_() const {
    if constexpr (vector_detail::element_derives<T>) return *this;
    else return this->value_;
  }
  void element_trade_(T& value) {
    T mine = std::move(element_value_());
    *this = std::move(value);
    value = std::move(mine);
  }

  // Where the element lies, as d_vector_assign takes it: made into one only
  // to write, so that a read (a walk's every step) copies no share of the
  // database's state.
  d_vector_assign<T> element_at_() const {
    d_vector_assign<T> at(element_block_, element_database_, element_allocator_, element_stream_,
                          element_handle_, element_index_);
    // Of a vector taken from a map, kept while another opening erased its
    // key, the element is refused as the vector is.
    at.link_.taken_as(element_origin_);
    return at;
  }
  void element_store_(T const& value) {
    d_vector_assign<T> at = element_at_();
    at = value;
    element_block_ = at.value_address();
  }

  word_t element_block_;
  d_database* element_database_;
  d_alloc* element_allocator_;
  io_tools::bfstream* element_stream_;
  word_t element_handle_;
  word_t element_index_;
  db_handle::origin_mark element_origin_;
};

// A position in a vector: a random-access iterator. *it is a
// d_vector_element, the element's value read when asked for through the
// vector's handle slot (so that it stays right after the header has moved),
// through which a new value is stored; it-> reaches into the value read.
// Moving reads nothing; insert and erase use only the index.
template <class T>
class d_vector_iterator {
  template <class>
  friend class d_vector;

 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using reference = d_vector_element<T>;
  // The element's value, held by the arrow itself: the value lives in the
  // file, not in memory an iterator could point into.
  struct pointer {
    T value;
    T* operator->() { return &value; }
  };

  d_vector_iterator() = default;
  d_vector_iterator(io_tools::bfstream* stream, d_alloc* allocator, d_database* database, long slot,
                    long index)
      : stream_(stream), allocator_(allocator), database_(database), slot_(slot), index_(index),
        link_(database) {}
  // A position that finds its slot through the vector's handle slot.
  d_vector_iterator(io_tools::bfstream* stream, d_alloc* allocator, d_database* database,
                    long handle, long slot, long index)
      : d_vector_iterator(stream, allocator, database, slot, index) {
    handle_ = handle;
  }
  // The same, made by a vector object whose header (at header, count
  // elements) agrees with the file now: the position keeps both and reads
  // them afresh only when the vector has changed since.
  d_vector_iterator(io_tools::bfstream* stream, d_alloc* allocator, d_database* database,
                    long handle, long slot, long index, word_t header, word_t count)
      : d_vector_iterator(stream, allocator, database, handle, slot, index) {
    header_ = header;
    count_ = count;
  }

  long index() const { return index_; }
  long slot_address() const { return slot_; }
  // Whether this is a position of the vector whose handle slot is handle in
  // database; one made without its vector's handle slot cannot tell, and is
  // taken as it is.
  bool of_vector(d_database const* database, word_t handle) const {
    return handle_ == no_address || (database_ == database && handle_ == handle);
  }

  d_vector_element<T> operator*() const {
    auto const op = link_.operation();
    word_t const value = vector_detail::value_in(*stream_, current_slot());
    return d_vector_element<T>([&] { return stored_value<T>::read(*stream_, value); }, value,
                               database_, allocator_, stream_, handle_, index_,
                               link_.origin_now());
  }
  pointer operator->() const {
    auto const op = link_.operation();
    return pointer{vector_detail::element_in<T>(*stream_, current_slot())};
  }
  d_vector_element<T> operator[](difference_type n) const { return *(*this + n); }
  // The element's characters where the file holds them (a vector of
  // strings): no copy, valid until the next change to the database.
  std::string_view view() const {
    static_assert(std::is_same<T, std::string>::value, "view() reads strings in place: read other values by copy");
    auto const op = link_.operation();
    return vector_detail::chars_in(*stream_, current_slot());
  }

  d_vector_iterator& operator+=(long n) {
    index_ += n;
    slot_ += static_cast<long>(word_size) * n;
    return *this;
  }
  d_vector_iterator& operator-=(long n) { return *this += -n; }
  d_vector_iterator& operator++() { return *this += 1; }
  d_vector_iterator& operator--() { return *this += -1; }
  d_vector_iterator operator++(int) {
    d_vector_iterator before = *this;
    *this += 1;
    return before;
  }
  d_vector_iterator operator--(int) {
    d_vector_iterator before = *this;
    *this += -1;
    return before;
  }
  d_vector_iterator operator+(long n) const {
    d_vector_iterator moved = *this;
    return moved += n;
  }
  friend d_vector_iterator operator+(long n, d_vector_iterator const& it) { return it + n; }
  d_vector_iterator operator-(long n) const { return *this + -n; }
  difference_type operator-(d_vector_iterator const& other) const { return index_ - other.index_; }

  bool operator==(d_vector_iterator const& other) const { return index_ == other.index_; }
  bool operator!=(d_vector_iterator const& other) const { return index_ != other.index_; }
  bool operator<(d_vector_iterator const& other) const { return index_ < other.index_; }
  bool operator>(d_vector_iterator const& other) const { return other < *this; }
  bool operator<=(d_vector_iterator const& other) const { return !(other < *this); }
  bool operator>=(d_vector_iterator const& other) const { return !(*this < other); }

 private:
  // The slot of this position's element, inside an operation (which checks
  // the database). Through the handle slot, the header is read again only
  // when the vector changed (through any object, or a rollback) since this
  // position last read it; the index is checked against the count every time.
  word_t current_slot() const {
    if (handle_ == no_address) return slot_;
    if (header_ == no_address || link_.stale(handle_)) {
      word_t const header = stream_->read_word(handle_);
      count_ = vector_header::read(*stream_, header).count;
      header_ = header;
      link_.up_to_date();
    }
    if (index_ < 0 || index_ >= count_)
      throw error(errc::out_of_range, "vector index out of range...");
    return vector_header::slot_address(header_, index_);
  }

  io_tools::bfstream* stream_ = nullptr;
  d_alloc* allocator_ = nullptr;
  d_database* database_ = nullptr;
  long slot_ = no_address;
  long index_ = 0;
  word_t handle_ = no_address;
  // The vector's header as this position last read it: its address (-1 when
  // not read yet) and count.
  mutable word_t header_ = no_address;
  mutable word_t count_ = 0;
  mutable db_handle link_;
};

template <class T>
class d_vector {
  template <class C>
  friend struct nested_container;

 public:
  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using iterator = d_vector_iterator<T>;
  using reverse_iterator = std::reverse_iterator<d_vector_iterator<T>>;

  // An unattached vector; grab attaches it.
  d_vector() = default;
  // A vector object names a vector; copying it names the same one. Assigning
  // to a temporary (m[key] = other of a map of vectors) would change nothing
  // in the file, so it is refused.
  d_vector(d_vector const&) = default;
  d_vector(d_vector&&) = default;
  d_vector& operator=(d_vector const&) & = default;
  d_vector& operator=(d_vector&&) & = default;
  d_vector& operator=(d_vector const&) && = delete;
  d_vector& operator=(d_vector&&) && = delete;

  // The vector kept in the root slot called name; created with capacity
  // slots when new, otherwise capacity is ignored.
  d_vector(std::string const& name, long capacity, d_env* env, d_root mode = d_root::open_or_create)
      : allocator_(env->allocator), database_(env->database), capacity_(capacity) {
    attach_at_root(database_, name, root_kind<d_vector>::get(), mode, [&](word_t slot) {
      grab(database_->stream(), slot, database_->allocator(), database_);
    });
  }

  // The same, made with no slots when new, as a std::vector starts: the
  // first push_back makes four.
  d_vector(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : d_vector(name, 0, env, mode) {}

  // A new, empty anonymous vector, for a container that holds it: its handle
  // slot is the first word of a block of its own.
  explicit d_vector(d_env* env) : allocator_(env->allocator), database_(env->database) {
    require_open(database_);
    grab(database_->stream(), create_handle(database_), database_->allocator(), database_);
    link_.made(handle_);
  }

  // Attaches to the vector whose handle slot is at address, creating it when
  // the slot holds -1.
  void grab(io_tools::bfstream* stream, long address, d_alloc* allocator, d_database* database) {
    stream_ = stream;
    allocator_ = allocator;
    database_ = database;
    link_ = db_handle(database);
    handle_ = address;
    // The look holds an operation: beside other openings, what the file
    // shows may have moved on since the root was attached.
    if (auto const op = link_.attaching(handle_); stream_->read_word(handle_) != no_address) {
      load_header();
      link_.up_to_date();
      return;
    }
    link_.own_change(link_.db(), handle_, [&] {
      // Another opening may have made it since the look above.
      if (stream_->read_word(handle_) != no_address) return load_header();
      header_ = create_vector(capacity_, database_);
      count_ = 0;
      stream_->write_word(handle_, header_);
    });
  }

  void push_back(T const& value) {
    changing([&] { insert_at(count_, value); });
  }
  // The element made from args, then stored as push_back stores it.
  template <class... Args>
  void emplace_back(Args&&... args) {
    push_back(T(std::forward<Args>(args)...));
  }

  // Inserts value at pos's index, moving the elements from there on one place
  // up. An index beyond count is refused with nothing changed.
  void insert(d_vector_iterator<T> pos, T const& value) {
    changing([&] {
      check_position(pos);
      insert_at(pos.index(), value);
    });
  }

  // Removes the element at pos: its value block is freed and the later
  // elements move one place down. Returns the position of the element that
  // followed it. A position outside the elements (end() among them) is
  // refused with "vector index out of range..." and nothing changed.
  d_vector_iterator<T> erase(d_vector_iterator<T> pos) {
    changing([&] {
      check_position(pos);
      erase_at(pos.index());
    });
    return iterator_at(pos.index());
  }

  // Removes the last element; an empty vector is refused with
  // "vector is empty..." and nothing changed.
  void pop_back() {
    changing([&] {
      if (count_ == 0) throw error(errc::empty, "vector is empty...");
      erase_at(count_ - 1);
    });
  }

  // Removes every element, freeing their value blocks; the capacity stays.
  void clear() {
    changing([&] { shrink_to(0); });
  }

  // Makes the vector n elements long: new elements hold T{}, each in a block
  // of its own, and the header moves to a larger block when n exceeds the
  // capacity; shrinking frees the value blocks of the elements dropped.
  void resize(long n) {
    changing([&] {
      if (n < 0) throw error(errc::bad_size, "invalid container size...");
      if (n < count_) {
        shrink_to(n);
      } else {
        extend_to(n);
      }
    });
  }

  // Makes room for n elements: a larger capacity moves the header to a new
  // block as growth does; a smaller one changes nothing.
  void reserve(long n) {
    changing([&] {
      if (n < 0) throw error(errc::bad_size, "invalid container size...");
      if (n > capacity_) move_header(n);
    });
  }

  // The number of elements, as the file has it now.
  size_type size() {
    auto const op = reading();
    return static_cast<size_type>(count_);
  }
  bool empty() { return size() == 0; }
  // The first and the last element, copied out; "vector index out of
  // range..." when there is none.
  read_copy<T> front() { return (*this)[0]; }
  read_copy<T> back() { return (*this)[static_cast<long>(size()) - 1]; }

  // Element index, which must lie in 0..count-1.
  d_vector_assign<T> operator[](long const& index) {
    auto const op = reading();
    if (index < 0 || index >= count_)
      throw error(errc::out_of_range, "vector index out of range...");
    word_t const slot = vector_header::slot_address(header_, index);
    d_vector_assign<T> at(vector_detail::value_in(*stream_, slot), database_, allocator_, stream_,
                          handle_, index);
    // Kept past other openings' commits, the proxy of a vector taken from a
    // map asks the map, as the vector does, whether it still keeps it.
    at.link_.taken_as(link_);
    return at;
  }

  // Element index's characters where the file holds them (a vector of
  // strings): no copy, valid until the next change to the database.
  std::string_view view(long index) {
    static_assert(std::is_same<T, std::string>::value, "view() reads strings in place: read other values by copy");
    auto const op = reading();
    if (index < 0 || index >= count_)
      throw error(errc::out_of_range, "vector index out of range...");
    auto const at = static_cast<std::size_t>(index);
    if (at < places_.size() && places_[at] != 0) {
      // Checked against the file like any read: the place was found while
      // the vector was as it is now, but the bytes are still not trusted to
      // lie inside the file.
      std::size_t const length = vector_detail::length_of(places_[at]);
      if (char const* chars = stream_->view(vector_detail::chars_of(places_[at]), length))
        return std::string_view(chars, length);
    }
    return find_place(at);
  }

  // Every element's characters where the file holds them, as a range of
  // std::string_view (a vector of strings): for (std::string_view s :
  // v.views()), or views[i]. The checks a read makes are made once, as the
  // range is taken; an element is then a load or two. Valid while this
  // object lives and until the next change to the database, as view()'s
  // views are; a build without NDEBUG throws when it is used after one.
  // (Not of a temporary object, which would be gone before the range.)
  class string_views;
  string_views views() &;
  string_views views() && = delete;

  d_vector_iterator<T> begin() {
    auto const op = reading();
    return iterator_at(0);
  }
  d_vector_iterator<T> end() {
    auto const op = reading();
    return iterator_at(count_);
  }
  reverse_iterator rbegin() { return reverse_iterator(end()); }
  reverse_iterator rend() { return reverse_iterator(begin()); }

  // Orders the elements ascending; equal elements keep their order. Only the
  // slots change; value blocks stay where they are.
  template <class Compare>
  void sort(Compare comp) {
    changing([&] { sort_slots(comp); });
  }

  long count() const { return count_; }
  long capacity() const { return capacity_; }
  long header_address() const { return header_; }
  long handle() const { return handle_; }

 private:
  // The database, checked to be open, with the header read afresh when
  // another object or a rollback changed the vector since this object's last
  // operation; a read holds the operation until it ends.
  db_operation reading() {
    return link_.reading([this] { refresh(); });
  }
  d_database& checked() {
    return link_.checked([this] { refresh(); });
  }
  template <class Step>
  decltype(auto) changing(Step&& step) {
    return link_.changing(handle_, step, [this] { refresh(); });
  }
  void refresh() {
    if (link_.stale(handle_)) {
      load_header();
      link_.up_to_date();
    }
  }

  void load_header() {
    places_.clear();
    word_t const header = stream_->read_word(handle_);
    if (header == no_address) throw error(errc::rolled_back, rolled_back_message);
    vector_header const h = vector_header::read(*stream_, header);
    header_ = header;
    capacity_ = h.capacity;
    count_ = h.count;
  }

  // view(index) the long way: the slot, its value block, the characters up to
  // the first 0 byte; what it finds is kept for the next view of the element.
  std::string_view find_place(std::size_t index) {
    word_t const value = vector_detail::value_in(
        *stream_, vector_header::slot_address(header_, static_cast<word_t>(index)));
    std::string_view const chars = stored_value<std::string>::view(*stream_, value);
    if (places_.size() < static_cast<std::size_t>(count_))
      places_.resize(static_cast<std::size_t>(count_), 0);
    places_[index] = vector_detail::place(value + static_cast<word_t>(word_size), chars.size());
    return chars;
  }

  template <class Compare>
  void sort_slots(Compare comp) {
    if (count_ < 2) return;
    places_.clear();
    std::vector<word_t> slots = vector_header::read_slots(*stream_, header_, 0, count_);
    std::vector<T> values;
    values.reserve(slots.size());
    for (word_t v : slots) {
      if (v < database_header_size) throw io_tools::corrupt_file(*stream_);
      values.push_back(stored_value<T>::read(*stream_, v));
    }
    std::vector<std::size_t> order(slots.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return comp(values[a], values[b]); });
    std::vector<word_t> sorted(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) sorted[i] = slots[order[i]];
    if (sorted != slots) vector_header::write_slots(*stream_, header_, 0, sorted);
  }

 public:
  // Everything wrong with the vector's header, one sentence each: a count
  // beyond the capacity, a header or an element that is not a block in use.
  std::vector<std::string> check() const {
    std::vector<std::string> problems;
    try {
      link_.db();
      std::set<word_t> in_use;
      for (auto const& r : allocator_->allocation_list()) in_use.insert(r.data);
      word_t const header = stream_->read_word(handle_);
      if (!in_use.count(header)) {
        problems.push_back("vector header at " + std::to_string(header) + " is not a block in use");
      }
      char buf[vector_header::fixed_size];
      stream_->read_at(header, buf, sizeof buf);
      vector_header const h = vector_header::decode(buf);
      if (h.count < 0 || h.count > h.capacity) {
        problems.push_back("count " + std::to_string(h.count) + " is outside 0.." +
                           std::to_string(h.capacity));
        return problems;
      }
      vector_header::read(*stream_, header);
      auto const slots = vector_header::read_slots(*stream_, header, 0, h.count);
      for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!in_use.count(slots[i])) {
          problems.push_back("slot " + std::to_string(i) + " holds " + std::to_string(slots[i]) +
                             ", which is not a block in use");
        }
      }
    } catch (error const& e) {
      problems.push_back(std::string("unreadable vector header: ") + e.what());
    }
    return problems;
  }

 private:
  // Another vector's position would insert or erase at its index in this one.
  void check_position(d_vector_iterator<T> const& pos) const {
    if (!pos.of_vector(database_, handle_))
      throw error(errc::out_of_range, "iterator of another vector: pass one this vector made...");
  }

  d_vector_iterator<T> iterator_at(long index) const {
    d_vector_iterator<T> it(stream_, allocator_, database_, handle_,
                            vector_header::slot_address(header_, index), index, header_, count_);
    // A vector taken from a map: its positions ask the map too, once other
    // openings committed, whether it still keeps the vector.
    it.link_.taken_as(link_);
    return it;
  }

  // Frees element index's value block and moves the later slots one place
  // down.
  void erase_at(word_t index) {
    if (index < 0 || index >= count_)
      throw error(errc::out_of_range, "vector index out of range...");
    places_.clear();
    std::vector<word_t> slots = vector_header::read_slots(*stream_, header_, index, count_ - index);
    word_t const value = slots.front();
    if (value < database_header_size) throw io_tools::corrupt_file(*stream_);
    allocator_->deallocate(value);
    slots.erase(slots.begin());
    if (!slots.empty()) vector_header::write_slots(*stream_, header_, index, slots);
    --count_;
    vector_header::write_count(*stream_, header_, count_);
  }

  // Drops the elements from index n on, freeing their value blocks.
  void shrink_to(word_t n) {
    if (n >= count_) return;
    if (places_.size() > static_cast<std::size_t>(n)) places_.resize(static_cast<std::size_t>(n));
    for (word_t value : vector_header::read_slots(*stream_, header_, n, count_ - n)) {
      if (value < database_header_size) throw io_tools::corrupt_file(*stream_);
      allocator_->deallocate(value);
    }
    count_ = n;
    vector_header::write_count(*stream_, header_, count_);
  }

  // Adds elements holding T{} up to n, growing as push_back would, or to n
  // at once when that is more.
  void extend_to(word_t n) {
    if (n == count_) return;
    if (n > capacity_) move_header(std::max(n, grown_capacity()));
    std::vector<word_t> added;
    for (word_t i = count_; i < n; ++i) added.push_back(store_value(*allocator_, T{}));
    vector_header::write_slots(*stream_, header_, count_, added);
    count_ = n;
    vector_header::write_count(*stream_, header_, count_);
  }

  void insert_at(word_t index, T const& value) {
    if (index < 0 || index > count_)
      throw error(errc::out_of_range, "vector index out of range...");
    if (count_ == capacity_) grow();
    word_t const block = store_value(*allocator_, value);
    if (index == count_) {
      stream_->write_word(vector_header::slot_address(header_, index), block);
    } else {
      places_.clear();
      std::vector<word_t> moved =
          vector_header::read_slots(*stream_, header_, index, count_ - index);
      moved.insert(moved.begin(), block);
      vector_header::write_slots(*stream_, header_, index, moved);
    }
    ++count_;
    vector_header::write_count(*stream_, header_, count_);
    if constexpr (std::is_same<T, std::string>::value) {
      // Known without reading: the block holds the characters after their
      // length word, and a read stops at the first 0 byte.
      if (places_.size() == static_cast<std::size_t>(index)) {
        places_.push_back(vector_detail::place(
            block + static_cast<word_t>(word_size),
            stored_value<std::string>::chars_before_zero(value.c_str(), value.size())));
      }
    }
  }

  void grow() { move_header(grown_capacity()); }
  word_t grown_capacity() const { return capacity_ < 4 ? 4 : capacity_ * 2; }

  // Moves the header to a block with room for more slots: the new block is
  // complete before the handle slot names it, and the old one is freed last.
  void move_header(word_t larger) {
    auto const slot_bytes = static_cast<std::size_t>(count_) * word_size;
    char const* const slots =
        stream_->view(vector_header::slot_address(header_, 0), slot_bytes);
    if (!slots) throw io_tools::corrupt_file(*stream_);
    word_t const moved_to = create_vector(larger, count_, slots, database_);
    stream_->write_word(handle_, moved_to);
    allocator_->deallocate(header_);
    header_ = moved_to;
    capacity_ = larger;
  }

  d_alloc* allocator_ = nullptr;
  d_database* database_ = nullptr;
  word_t header_ = no_address;
  io_tools::bfstream* stream_ = nullptr;
  // In the header's order: GCC 12's vectorizer drops the swap when it copies
  // a decoded header into fields declared the other way round.
  word_t capacity_ = 0;
  word_t count_ = 0;
  word_t handle_ = no_address;
  db_handle link_;
  // For view(): where each element's characters lie in the file, as
  // vector_detail::place packs it (0: not known), for the elements from 0 on
  // that this object stored or read since its cache last agreed with the
  // file. Any change to the vector but an append at its end drops it.
  std::vector<std::uint64_t> places_;
};

template <class T>
class d_vector<T>::string_views {
 public:
  class iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    iterator() = default;
    iterator(string_views const* range, std::size_t at) : range_(range), at_(at) {}
    std::string_view operator*() const { return (*range_)[at_]; }
    std::string_view operator[](difference_type n) const {
      return (*range_)[at_ + static_cast<std::size_t>(n)];
    }
    iterator& operator++() { return ++at_, *this; }
    iterator operator++(int) { return {range_, at_++}; }
    iterator& operator--() { return --at_, *this; }
    iterator operator--(int) { return {range_, at_--}; }
    iterator& operator+=(difference_type n) { return at_ += static_cast<std::size_t>(n), *this; }
    iterator& operator-=(difference_type n) { return at_ -= static_cast<std::size_t>(n), *this; }
    friend iterator operator+(iterator it, difference_type n) { return it += n; }
    friend iterator operator+(difference_type n, iterator it) { return it += n; }
    friend iterator operator-(iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(iterator const& a, iterator const& b) {
      return static_cast<difference_type>(a.at_) - static_cast<difference_type>(b.at_);
    }
    friend bool operator==(iterator const& a, iterator const& b) { return a.at_ == b.at_; }
    friend bool operator!=(iterator const& a, iterator const& b) { return a.at_ != b.at_; }
    friend bool operator<(iterator const& a, iterator const& b) { return a.at_ < b.at_; }
    friend bool operator>(iterator const& a, iterator const& b) { return a.at_ > b.at_; }
    friend bool operator<=(iterator const& a, iterator const& b) { return a.at_ <= b.at_; }
    friend bool operator>=(iterator const& a, iterator const& b) { return a.at_ >= b.at_; }

   private:
    string_views const* range_ = nullptr;
    std::size_t at_ = 0;
  };

  // Element index's characters; index must lie in 0..size()-1.
  std::string_view operator[](std::size_t index) const {
#ifndef NDEBUG
    if (!vector_->link_.unchanged_since(taken_)) {
      throw error(errc::out_of_range,
                  "vector views used after a change to the database: take them again...");
    }
#endif
    if (index >= count_) throw error(errc::out_of_range, "vector index out of range...");
    std::uint64_t const place = places_[index];
    if (place != 0) {
      // The place was found while the vector was as it is now; the bytes are
      // still not trusted to lie inside the file.
      word_t const chars = vector_detail::chars_of(place);
      std::size_t const length = vector_detail::length_of(place);
      if (chars <= size_ - static_cast<word_t>(length)) return {bytes_ + chars, length};
    }
    return vector_->view(static_cast<long>(index));
  }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, count_}; }

 private:
  friend class d_vector<T>;
  explicit string_views(d_vector<T>& v) : vector_(&v) {
    auto const op = v.reading();
    count_ = static_cast<std::size_t>(v.count_);
    // Unknown places are 0, found by view() as they are met: their table
    // never moves while the range is used.
    if (v.places_.size() < count_) v.places_.resize(count_, 0);
    places_ = v.places_.data();
    size_ = v.stream_->size();
    bytes_ = v.stream_->view(0, static_cast<std::size_t>(size_));
    if (!bytes_) throw io_tools::corrupt_file(*v.stream_);
    taken_ = v.link_.stamp();
  }

  d_vector<T>* vector_;
  std::uint64_t const* places_ = nullptr;  // the vector's own table
  std::size_t count_ = 0;
  word_t size_ = 0;  // the file's bytes, from bytes_ on
  char const* bytes_ = nullptr;
  db_handle::copy_stamp taken_;
};

template <class T>
typename d_vector<T>::string_views d_vector<T>::views() & {
  static_assert(std::is_same<T, std::string>::value,
                "views() reads strings in place: read other values by copy");
  return string_views(*this);
}

}  // namespace disk_tools
