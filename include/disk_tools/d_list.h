// The persistent list: a circular, doubly linked list with a sentinel, whose
// header, nodes and element values all live in the database file (records in
// list_records.h).
//
// A list is reached through its handle slot, a word holding the address of the
// list header: a root slot for a named list, the first word of a block from
// create_list for an anonymous one. The object in memory keeps a copy of the
// sentinel's links, the element count and the addresses it works with, read
// afresh whenever another object or a rollback changed the list since its own
// last operation; each operation reads the records it needs and
// writes the changed ones before it returns.
//
// Elements are visited with dl_iterator, a bidirectional iterator that carries
// a copy of one node (so range-for and the standard algorithms work), and read
// or replaced through dl_assign. Element types are strings, plain values (int)
// and lists (a list of lists stores each inner list's handle slot and count;
// *it, or the iterator's view get_data2, reads it back as a working list).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "disk_tools/d_db.h"
#include "disk_tools/d_transaction.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/factories.h"
#include "disk_tools/detail/list_records.h"
#include "disk_tools/detail/root_kind.h"
#include "disk_tools/detail/root_walk.h"
#include "disk_tools/detail/stored_value.h"

namespace disk_tools {

template <class T>
class d_list;
template <class T>
class dl_iterator;

template <class T>
struct is_list_of_lists : std::false_type {};
template <class U>
struct is_list_of_lists<d_list<d_list<U>>> : std::true_type {};

// What taking elements out of a list of lists frees: each element's value
// block and its inner list with every block that owns, deeper lists
// included, as the walk of the list's kind finds them; an inner list kept at
// a root of its own stays with that root. Every block is found before any is
// freed (a freed block may be reused by the allocator's own bookkeeping), and
// an inner list that is an element twice is found once. The objects and
// iterators still attached to a freed inner list are told it went.
class removed_elements {
 public:
  removed_elements(io_tools::bfstream& s, std::string kind)
      : walker_(s, false), kind_(std::move(kind)) {}

  // The element whose value block is at value.
  void add(word_t value) {
    walker_.walk_element(kind_, value, [this](owned_block const& b) {
      blocks_.push_back(b.address);
      // An inner list's handle block is one word naming its header (a list's
      // header and an element's value block are such blocks too, and no harm
      // to count).
      if (b.links == std::vector<std::size_t>{0} && b.run_words == 0) handles_.push_back(b.address);
    });
  }
  // The element's value block alone, when its inner list stays in use.
  void add_value_only(word_t value) { blocks_.push_back(value); }

  void free(d_alloc& allocator, db_state& state) const {
    for (word_t b : blocks_) allocator.deallocate(b);
    for (word_t h : handles_) state.note_freed(h, db_state::gone_reason::taken_out);
  }

 private:
  root_walker walker_;
  std::string kind_;
  std::vector<word_t> blocks_, handles_;
};

// Orders the elements handed to sort: true when a is less than b. Strings
// compare byte by byte as unsigned over their common length, then the shorter
// is less; numbers compare by value.
template <class T>
struct CompLess {
  bool operator()(T const& a, T const& b) const { return a < b; }
};

// How an element is laid out in its value block and read back.
template <class T>
struct list_element {
  static void encode(text_tools::bstringstream& out, T const& value) {
    stored_value<T>::encode(out, value);
  }
  static T read(io_tools::bfstream& s, d_alloc*, d_database*, word_t address) {
    if (!is_block_address(address)) throw io_tools::corrupt_file(s);
    return stored_value<T>::read(s, address);
  }
};

// An inner list is stored as its handle slot and its count.
template <class U>
struct list_element<d_list<U>> {
  static void encode(text_tools::bstringstream& out, d_list<U> const& inner) {
    if (inner.handle() == no_address) throw error(errc::not_attached, "list not attached...");
    // Stored here too, it would have two owners: the map's erase frees it
    // under this list's element, and this list's removal under the map.
    if (inner.map_value()) {
      throw error(errc::wrong_kind,
                  "a map's list cannot be an element of a list of lists: the map owns it; "
                  "store a list of its own (d_list<T>(env))...");
    }
    inner_list_value{inner.handle(), inner.count()}.encode(out);
  }
  static d_list<U> read(io_tools::bfstream& s, d_alloc* allocator, d_database* database,
                        word_t address) {
    d_list<U> view;
    view.bind(&s, allocator, database);
    view.load_value(address);
    return view;
  }
  // An element owns its inner list: a list that is an element already (one
  // read from a list of lists, or given to one through this object) cannot
  // be another, in this list of lists or in another, or the first element
  // taken out would free it under the second. A list kept at a root may be
  // an element any number of times.
  static void check_free(d_list<U> const& inner) {
    if (inner.held_as_element() || inner.held_in_file()) {
      throw error(errc::wrong_kind,
                  "list is an element of a list of lists already: each element needs a list "
                  "of its own (d_list<T>(env)), or one kept at a root...");
    }
  }
};

// What it-> gives: the element's value, held by the arrow itself, since the
// value lives in the file and not in memory an iterator could point into.
// Read-only as *it is, but for a list of lists, whose inner list writes
// through.
template <class T>
struct dl_arrow {
  T value;
  std::conditional_t<is_list_of_lists<d_list<T>>::value, T, T const>* operator->() {
    return &value;
  }
};

// What every iterator carries: a copy of the current node record, and the
// stream and allocator it was read through.
//
// The iterators are bidirectional and constant in the standard's sense: *it is
// the element's value (a T; for a list of lists a working view of the inner
// list), read from its value block when asked for, and it-> reaches into that
// value. An element is replaced through dl_assign. Moving reads the node moved
// to and nothing else. Once the database has followed other openings'
// commits, the copy of the node may name one they freed: moving, reading, or
// changing the list at the iterator then throws "iterator is stale...". So
// may it once its list went (erased with its map entry, removed with its
// root, or its making rolled back): the iterator then throws what the list
// object throws, with nothing read or written. An iterator made or moved in
// a transaction that changed its list and was rolled back may name a node
// the rollback took back: it throws "iterator is stale: it was made or moved
// in a transaction that was rolled back...".
template <class T>
class dl_iterator_base {
 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using reference = read_copy<T, is_list_of_lists<d_list<T>>::value>;
  using pointer = dl_arrow<T>;

  // The position's own address; the list's sentinel address at the end.
  long address() const { return node_.own; }
  long next() const { return node_.next; }
  long prev() const { return node_.prev; }
  long value_address() const { return node_.value; }
  io_tools::bfstream* stream() const { return stream_; }
  d_alloc* allocator() const { return allocator_; }
  d_database* database() const { return database_; }

  bool operator==(dl_iterator_base const& other) const { return node_.own == other.node_.own; }
  bool operator!=(dl_iterator_base const& other) const { return !(*this == other); }

  reference operator*() const {
    auto const op = link_.operation();
    check_fresh();
    if (node_.value == no_address)
      throw error(errc::out_of_range, "no element at the end position...");
    return list_element<T>::read(*stream_, allocator_, database_, node_.value);
  }
  pointer operator->() const { return pointer{**this}; }
  // The element's characters where the file holds them (a list of strings):
  // no copy, valid until the next change to the database.
  std::string_view view() const {
    static_assert(std::is_same<T, std::string>::value, "view() reads strings in place: read other values by copy");
    auto const op = link_.operation();
    check_fresh();
    if (node_.value == no_address)
      throw error(errc::out_of_range, "no element at the end position...");
    return stored_value<std::string>::view(*stream_, node_.value);
  }
  // The sentinel of the list that made the iterator; -1 for one made from a
  // node alone.
  word_t list() const { return list_; }
  // Throws when the database followed other openings' commits since the
  // iterator copied its node, or when its list went since (check_kept).
  // When this opening changed the list since, the node is read again: an
  // insert or erase beside it relinked it.
  void check_fresh() const {
    link_.check_copy(container_, copied_);
    check_kept();
    if (link_.changed_since(container_, copied_.changes)) read_again();
  }
  // Throws when the list the iterator was made from went since: its blocks,
  // the node copied among them, may serve another container by now.
  void check_kept() const { link_.require_not_gone(container_); }

  list_node const& node() const { return node_; }
  // Replaces the copy after the node was rewritten in the file.
  void set_node(list_node const& node) {
    node_ = node;
    copied_ = link_.stamp();
  }
  // The database, checked to be open.
  d_database& database_checked() const { return link_.db(); }

 protected:
  dl_iterator_base() = default;
  dl_iterator_base(list_node const& node, io_tools::bfstream* stream, d_alloc* allocator,
                   d_database* database)
      : dl_iterator_base(node, stream, allocator, database, db_handle(database)) {}
  // Made by a list, which hands over its own share of the database's state:
  // the database may be closed already, and must not be asked for it.
  dl_iterator_base(list_node const& node, io_tools::bfstream* stream, d_alloc* allocator,
                   d_database* database, db_handle link)
      : node_(node),
        stream_(stream),
        allocator_(allocator),
        database_(database),
        link_(link),
        copied_(link_.stamp()) {}

  // The node as the file holds it now. One that no neighbour, then or now,
  // links to any more was erased, and its block may be free or serve another
  // record: "list iterator's element was erased...". One still linked is
  // read as any node is, damage told as such.
  void read_again() const {
    // Read as bytes: a freed block holds no node to check.
    auto const record_at = [this](word_t at) {
      char bytes[list_node::record_size];
      stream_->read_at(at, bytes, sizeof bytes);
      return list_node::decode(bytes);
    };
    word_t const own = node_.own;
    // A freed record keeps its links, and so do freed neighbours (a clear,
    // or erases on both sides, leave whole runs of them linking each other):
    // a node whose block is free was erased, whatever its links still say.
    bool const in_use = allocator_ == nullptr || allocator_->size_in_use(own) != no_address;
    list_node const now = record_at(own);
    bool const linked = in_use && ((now.own == own && is_block_address(now.prev) &&
                                    record_at(now.prev).next == own) ||
                                   record_at(node_.prev).next == own ||
                                   record_at(node_.next).prev == own);
    if (!linked) {
      throw error(errc::out_of_range,
                  "list iterator's element was erased: take the iterator again, or erase through "
                  "it = l.erase(it)...");
    }
    node_ = list_node::read(*stream_, own);
    copied_ = link_.stamp();
  }

  // Reads the following node. A list cannot hold more nodes than the file has
  // room for, so a walk that goes further in one direction has met a cycle.
  void advance() {
    auto const op = link_.operation();
    check_fresh();
    node_ = list_node::read(*stream_, node_.next);
    copied_ = link_.stamp();
    if (++steps_ > bound_) too_far();
  }

  // Reads the preceding node. The end position's copy of the sentinel may be
  // older than the list's last change at its back, so the sentinel's own
  // record names the last node.
  void retreat() {
    auto const op = link_.operation();
    check_fresh();
    word_t const to =
        node_.value == no_address ? list_node::read(*stream_, node_.own).prev : node_.prev;
    node_ = list_node::read(*stream_, to);
    copied_ = link_.stamp();
    if (--steps_ < -bound_) too_far();
  }

 private:
  word_t most_steps() const { return stream_->size() / static_cast<word_t>(list_node::record_size); }
  // A walk went past the bound it knew: the file may have grown since, so
  // the bound is taken again, and a walk past that has met a cycle.
  void too_far() {
    bound_ = most_steps();
    if (steps_ > bound_ || steps_ < -bound_) throw io_tools::corrupt_file(*stream_);
  }

  mutable list_node node_;  // read again after a change (check_fresh)
  io_tools::bfstream* stream_ = nullptr;
  d_alloc* allocator_ = nullptr;
  d_database* database_ = nullptr;
  db_handle link_;
  // Steps forward less steps back since the iterator was made, and the most
  // nodes the file had room for when last looked at (0 at first, so that the
  // first step looks): a step divides nothing.
  word_t steps_ = 0;
  word_t bound_ = 0;
  mutable db_handle::copy_stamp copied_;  // as node_ was copied

 protected:
  word_t list_ = no_address;       // list()
  word_t container_ = no_address;  // the list's handle slot (check_kept)
};

// What an iterator adds for the kind of element: nothing for plain values.
template <class T>
class dl_inner_view {
 protected:
  void bind_view(io_tools::bfstream*, d_alloc*, d_database*, db_handle const&) {}
};

// An iterator over a list of lists also holds a view, a list object bound to
// the same database, through which the current inner list is read.
template <class U>
class dl_inner_view<d_list<U>> {
 public:
  // Loads the inner list whose value block is at address into the view and
  // returns the view.
  d_list<U>& get_data2(long address) {
    view_.load_value(address);
    return view_;
  }

 protected:
  void bind_view(io_tools::bfstream* stream, d_alloc* allocator, d_database* database,
                 db_handle const& link) {
    view_.bind(stream, allocator, database, link);
  }

 private:
  d_list<U> view_;
};

template <class T>
class dl_iterator : public dl_iterator_base<T>, public dl_inner_view<T> {
 public:
  dl_iterator() = default;
  dl_iterator(list_node const& node, io_tools::bfstream* stream, d_alloc* allocator,
              d_database* database)
      : dl_iterator(node, stream, allocator, database, db_handle(database)) {}
  dl_iterator(list_node const& node, io_tools::bfstream* stream, d_alloc* allocator,
              d_database* database, db_handle const& link)
      : dl_iterator_base<T>(node, stream, allocator, database, link) {
    this->bind_view(stream, allocator, database, link);
  }
  // The end position of list: its sentinel.
  explicit dl_iterator(d_list<T> const& list)
      : dl_iterator(list.sentinel_links(), list.stream(), list.allocator(), list.database(),
                    list.link()) {
    this->list_ = list.sentinel_links().own;
    this->container_ = list.handle();
  }
  // A position in list: the node n of it.
  dl_iterator(d_list<T> const& list, list_node const& n)
      : dl_iterator(n, list.stream(), list.allocator(), list.database(), list.link()) {
    this->list_ = list.sentinel_links().own;
    this->container_ = list.handle();
  }

  dl_iterator operator++(int) {
    dl_iterator before = *this;
    this->advance();
    return before;
  }
  dl_iterator& operator++() {
    this->advance();
    return *this;
  }
  dl_iterator operator--(int) {
    dl_iterator before = *this;
    this->retreat();
    return before;
  }
  dl_iterator& operator--() {
    this->retreat();
    return *this;
  }
};

// Names the element an iterator stands on; reads it, or replaces its value
// block.
template <class T>
class dl_assign {
 public:
  dl_assign(dl_iterator<T>& it, d_alloc* allocator, io_tools::bfstream* stream)
      : it_(&it), allocator_(allocator), stream_(stream) {}
  explicit dl_assign(dl_iterator<T>& it) : dl_assign(it, it.allocator(), it.stream()) {}
  dl_assign(dl_assign const&) = default;

  operator T() const { return **it_; }
  T get_data() const { return *this; }

  // Gives the element a new value block. The node is re-read first so that
  // links changed since the iterator copied it are kept; neighbours are not
  // touched. No list object keeps a node or a value in memory, so this
  // change leaves every list object's cache as it is.
  dl_assign& operator=(T const& value) {
    list_node const node = in_change(it_->database_checked(), [&] {
      it_->check_kept();
      list_node n = list_node::read(*stream_, it_->address());
      if (n.value == no_address)
        throw error(errc::out_of_range, "no element at the end position...");
      text_tools::bstringstream block;
      list_element<T>::encode(block, value);
      if constexpr (is_list_of_lists<d_list<T>>::value) {
        // The inner list replaced goes with its element, unless the element is
        // given the same one again.
        removed_elements old(*stream_, kind_name<d_list<T>>::get());
        if (inner_list_value::read(*stream_, n.value).handle == value.handle()) {
          old.add_value_only(n.value);
        } else {
          list_element<T>::check_free(value);
          old.add(n.value);
        }
        old.free(*allocator_, *it_->database_checked().state());
      } else {
        allocator_->deallocate(n.value);
      }
      n.value = allocator_->allocate(static_cast<long>(block.size()), block);
      n.write(*stream_);
      return n;
    });
    if constexpr (is_list_of_lists<d_list<T>>::value) value.mark_held();
    it_->set_node(node);
    return *this;
  }
  // One element's value stored in another's; the implicit copy would aim
  // this proxy at the other's iterator and store nothing.
  dl_assign& operator=(dl_assign const& other) { return *this = static_cast<T>(other); }

 private:
  dl_iterator<T>* it_;
  d_alloc* allocator_;
  io_tools::bfstream* stream_;
};

template <class T>
class d_list {
  template <class C>
  friend struct nested_container;
  // A list of lists, and the proxy that gives one of its elements another
  // list, mark the inner list's object held_.
  template <class C>
  friend class d_list;
  template <class C>
  friend class dl_assign;

 public:
  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using iterator = dl_iterator<T>;
  using reverse_iterator = std::reverse_iterator<dl_iterator<T>>;

  // An unattached list; grab or bind and load attach it.
  d_list() = default;
  // A list object names a list; copying it names the same one. Assigning to
  // a temporary (m[key] = other of a map of lists) would change nothing in
  // the file, so it is refused.
  d_list(d_list const&) = default;
  d_list(d_list&&) = default;
  d_list& operator=(d_list const&) & = default;
  d_list& operator=(d_list&&) & = default;
  d_list& operator=(d_list const&) && = delete;
  d_list& operator=(d_list&&) && = delete;

  // The list kept in the root slot called name, created there when new.
  d_list(std::string const& name, d_env* env, d_root mode = d_root::open_or_create)
      : allocator_(env->allocator), database_(env->database) {
    attach_at_root(database_, name, root_kind<d_list>::get(), mode, [&](word_t slot) {
      grab(database_->stream(), slot, database_->allocator(), database_);
    });
  }

  // A new anonymous list: its handle slot is the first word of a fresh block.
  explicit d_list(d_env* env) : allocator_(env->allocator), database_(env->database) {
    require_open(database_);
    grab(database_->stream(), create_list(database_), database_->allocator(), database_);
    link_.made(handle_);
    given_ = std::make_shared<bool>(false);
    db_state const& state = *database_->state();
    made_when_ = {state.followed, state.lists_found_by_address};
  }

  // Attaches to the list whose handle slot is at address, creating the list
  // when the slot holds -1. The object keeps the handle slot's address.
  void grab(io_tools::bfstream* stream, long address, d_alloc* allocator, d_database* database) {
    bind(stream, allocator, database);
    handle_ = address;
    map_value_ = false;
    held_ = false;
    given_.reset();
    // The look holds an operation: beside other openings, what the file
    // shows may have moved on since the root was attached.
    if (auto const op = link_.attaching(handle_); stream_->read_word(handle_) != no_address) {
      attach_header(stream_->read_word(handle_));
      if (is_block_address(handle_)) ++database_->state()->lists_found_by_address;
      return;
    }
    link_.own_change(link_.db(), handle_, [&] {
      // Another opening may have made it since the look above.
      word_t const made = stream_->read_word(handle_);
      if (made != no_address) return attach_header(made);
      word_t const sentinel = allocate_zeroed(list_sentinel::record_size);
      header_ = create_list(database_);
      sentinel_ = list_node{sentinel, sentinel, sentinel, no_address};
      count_ = 0;
      // The records are complete before the handle slot names them.
      list_sentinel{sentinel_, count_}.write(*stream_);
      list_header{sentinel_.own, count_}.write(*stream_, header_);
      stream_->write_word(handle_, header_);
    });
  }

  // Gives an unattached object (an iterator's view) its database.
  void bind(io_tools::bfstream* stream, d_alloc* allocator, d_database* database) {
    bind(stream, allocator, database, db_handle(database));
  }
  void bind(io_tools::bfstream* stream, d_alloc* allocator, d_database* database,
            db_handle const& link) {
    stream_ = stream;
    allocator_ = allocator;
    database_ = database;
    link_ = link;
  }

  // Re-reads the header and the sentinel through the handle slot.
  void load() {
    if (stream_ == nullptr || handle_ == no_address)
      throw error(errc::not_attached, "list not attached...");
    link_.db();
    attach_header(stream_->read_word(handle_));
  }

  // Attaches to the inner list whose value block (handle slot and count) is at
  // address.
  void load_value(long address) {
    if (stream_ == nullptr) throw error(errc::not_attached, "list not attached...");
    link_.db();
    inner_list_value const v = inner_list_value::read(*stream_, address);
    handle_ = v.handle;
    count_ = v.count;
    held_ = true;
    given_.reset();
    load();
  }

  void push_back(T const& value) {
    changing([&] { link_between(sentinel_.prev, sentinel_.own, value); });
  }

  void push_front(T const& value) {
    changing([&] { link_between(sentinel_.own, sentinel_.next, value); });
  }
  // The element made from args, then stored as push_back stores it.
  template <class... Args>
  void emplace_back(Args&&... args) {
    push_back(T(std::forward<Args>(args)...));
  }

  // Adds value before the element at pos (after the last one when pos is at
  // the end).
  void insert(dl_iterator<T> pos, T const& value) {
    changing([&] {
      check_position(pos);
      if (pos.address() == sentinel_.own) {
        link_between(sentinel_.prev, sentinel_.own, value);
      } else {
        list_node const at = read_node(pos.address());
        link_between(at.prev, at.own, value);
      }
    });
  }

  // Removes the element at pos; at the end position, the first element. An
  // empty list is left as it is. pos then stands on the element that followed
  // the removed one (or stays at the end position), and is returned, so that
  // it = l.erase(it) walks on as with a std::list.
  dl_iterator<T> erase(dl_iterator<T>& pos) {
    changing([&] {
      check_position(pos);
      erase_at(pos);
    });
    return pos;
  }
  dl_iterator<T> erase(dl_iterator<T>&& pos) { return erase(pos); }

  // Remove the first or the last element. Popping from an empty list is a
  // mistake of the caller's, refused with "list is empty..." and nothing
  // written (erase, older, leaves an empty list as it is).
  void pop_front() {
    changing([&] { unlink(end_node(&list_node::next)); });
  }
  void pop_back() {
    changing([&] { unlink(end_node(&list_node::prev)); });
  }

  // Removes every element. A list of lists frees its inner lists with them,
  // but for one kept at a root of its own (removed_elements).
  void clear() {
    changing([&] { unlink_all(); });
  }

  // The number of elements, as the file has it now.
  size_type size() {
    auto const op = reading();
    return static_cast<size_type>(count_);
  }
  bool empty() { return size() == 0; }
  // The first and the last element, copied out; an empty list throws "no
  // element at the end position...".
  typename iterator::reference front() { return *begin(); }
  typename iterator::reference back() { return *std::prev(end()); }

  // Every element's characters where the file holds them, in list order, as
  // a forward range of std::string_view (a list of strings): for
  // (std::string_view s : l.views()). The checks a read makes are made once,
  // as the range is taken; a step then reads the next node and its value's
  // length, bounds-checked against the file as any read is. Valid until the
  // next change to the database, as view()'s views are; a build without
  // NDEBUG throws when it is used after one. (Not of a temporary object.)
  class string_views;
  string_views views() &;
  string_views views() && = delete;

  dl_iterator<T> begin() {
    auto const op = reading();
    return iterator_at(sentinel_.next);
  }
  dl_iterator<T> end() const { return dl_iterator<T>(*this); }
  reverse_iterator rbegin() { return reverse_iterator(end()); }
  reverse_iterator rend() { return reverse_iterator(begin()); }

  // Orders the elements so that no element is less than the one after it (the
  // largest first). Nodes and links stay; value addresses move between nodes.
  // Equal values keep their relative order.
  template <class Compare>
  void sort(Compare comp) {
    changing([&] { sort_values(comp); });
  }

  // Exchanges the values of the elements at a and b; links are unchanged.
  void swap(dl_iterator<T>& a, dl_iterator<T>& b) {
    changing([&] {
      list_node na = read_node(a.address());
      list_node nb = read_node(b.address());
      std::swap(na.value, nb.value);
      nb.write(*stream_);
      na.write(*stream_);
      a.set_node(na);
      b.set_node(nb);
    });
  }

  // The element whose value block is at address.
  T get_data(long address) {
    auto const op = reading();
    return list_element<T>::read(*stream_, allocator_, database_, address);
  }

  // Bytes the value block of value takes (16 for an inner list).
  unsigned long get_size(T const& value) const {
    text_tools::bstringstream block;
    list_element<T>::encode(block, value);
    return block.size();
  }

  long sentinel_address() const { return sentinel_.own; }
  list_node const& sentinel_links() const { return sentinel_; }
  long handle() const { return handle_; }
  long header_address() const { return header_; }
  // The count as the file holds it now: after a failed commit's rollback or
  // another process's commit too (the last one known once the database is
  // closed).
  long count() const {
    if (link_.is_open() && sentinel_.own != no_address) const_cast<d_list*>(this)->checked();
    return count_;
  }
  io_tools::bfstream* stream() const { return stream_; }
  d_alloc* allocator() const { return allocator_; }
  d_database* database() const { return database_; }
  db_handle const& link() const { return link_; }
  // Whether the object was taken from a map (m[key], get), whose entry owns
  // the list and frees it with its key.
  bool map_value() const { return map_value_; }
  // Whether the object's list is an element of a list of lists, as far as
  // this object knows: read from one, or given to one through it. A list
  // kept at a root never is: its root owns it.
  bool held_as_element() const {
    return (held_ || (given_ && *given_)) && is_block_address(handle_);
  }
  // Whether an element of a list of lists in the file names the list, where
  // this object cannot tell: it was attached by its address (another object
  // or opening may have given it as an element), or, made new, another
  // opening's commits or an object attached by address came since. Looked
  // up inside the change that would add it, so that no other opening adds
  // it meanwhile.
  bool held_in_file() const {
    if (!is_block_address(handle_) || map_value_) return false;
    db_state const& state = *database_->state();
    if (given_ && made_when_.followed == state.followed &&
        made_when_.found == state.lists_found_by_address) {
      return false;
    }
    return database_->held_by_an_element(handle_, root_kind<d_list>::get());
  }

  // Everything wrong with the list's records, one sentence each; empty when
  // the header, the sentinel and every node agree (links both ways, the count
  // in both homes) and every record and value lies in a block in use.
  std::vector<std::string> check() const {
    std::vector<std::string> problems;
    try {
      link_.db();
      std::set<word_t> in_use;
      for (auto const& r : allocator_->allocation_list()) in_use.insert(r.data);
      auto require_block = [&](word_t address, std::string const& what) {
        if (!in_use.count(address)) {
          problems.push_back(what + " at " + std::to_string(address) + " is not a block in use");
        }
      };
      word_t const header_at = stream_->read_word(handle_);
      list_header const header = list_header::read(*stream_, header_at);
      require_block(header_at, "list header");
      list_sentinel const sentinel = list_sentinel::read(*stream_, header.sentinel);
      require_block(sentinel.links.own, "sentinel");
      word_t const s = sentinel.links.own;
      word_t before = s;
      word_t walked = 0;
      std::set<word_t> seen;
      for (word_t at = sentinel.links.next; at != s;) {
        list_node const n = list_node::read(*stream_, at);
        if (!seen.insert(at).second) {
          problems.push_back("node " + std::to_string(at) + " is reached twice");
          break;
        }
        if (n.prev != before) {
          problems.push_back("node " + std::to_string(at) + " has prev " + std::to_string(n.prev) +
                             ", but follows " + std::to_string(before));
        }
        require_block(at, "node");
        require_block(n.value, "value of node " + std::to_string(at));
        ++walked;
        before = at;
        at = n.next;
      }
      if (sentinel.links.prev != before) {
        problems.push_back("sentinel has prev " + std::to_string(sentinel.links.prev) +
                           ", but the last node is " + std::to_string(before));
      }
      if (sentinel.count != walked) {
        problems.push_back("sentinel count " + std::to_string(sentinel.count) + " but " +
                           std::to_string(walked) + " nodes");
      }
      if (header.count != walked) {
        problems.push_back("header count " + std::to_string(header.count) + " but " +
                           std::to_string(walked) + " nodes");
      }
    } catch (error const& e) {
      problems.push_back(std::string("unreadable list record: ") + e.what());
    }
    return problems;
  }

 private:
  // The database, checked to be open. When another object or a rollback
  // changed the list since this object's last operation, the header and the
  // sentinel are found again through the handle slot. A read holds the
  // operation until it ends.
  db_operation reading() {
    require_attached();
    return link_.reading([this] { refresh(); });
  }
  d_database& checked() {
    require_attached();
    return link_.checked([this] { refresh(); });
  }
  template <class Step>
  decltype(auto) changing(Step&& step) {
    require_attached();
    return link_.changing(handle_, step, [this] { refresh(); });
  }
  // Told before the database is asked for: a list never attached has none,
  // and would otherwise be reported as closed.
  void require_attached() const {
    if (sentinel_.own == no_address) throw error(errc::not_attached, "list not attached...");
  }
  void refresh() {
    if (link_.stale(handle_)) {
      word_t const header = stream_->read_word(handle_);
      if (header == no_address) throw error(errc::rolled_back, rolled_back_message);
      attach_header(header);
    }
  }

  void erase_at(dl_iterator<T>& pos) {
    bool const at_end = pos.address() == sentinel_.own;
    if (sentinel_.next == sentinel_.own) {
      if (at_end) pos = end();
      return;
    }
    word_t const after = unlink(at_end ? sentinel_.next : pos.address());
    pos = (at_end || after == sentinel_.own) ? end() : iterator_at(after);
  }

  // The first node (link next) or the last (link prev) of a list that must
  // not be empty.
  word_t end_node(word_t list_node::*link) {
    if (sentinel_.next == sentinel_.own) throw error(errc::empty, "list is empty...");
    return sentinel_.*link;
  }

  // Takes the node at address out of the chain and frees it and its value
  // block; returns the address of the record that followed it.
  word_t unlink(word_t address) {
    if (count_ < 1) throw io_tools::corrupt_file(*stream_);
    list_node const removed = read_node(address);
    list_node before = neighbour(removed.prev);
    list_node after = neighbour(removed.next);
    check_neighbours(before, after, removed.own, removed.own);
    if constexpr (is_list_of_lists<d_list>::value) {
      // Found before anything is written: a damaged inner list is refused
      // with the list as it was.
      removed_elements gone(*stream_, kind_name<d_list>::get());
      gone.add(removed.value);
      set_next(before, after.own);
      set_prev(after, before.own);
      gone.free(*allocator_, *database_->state());
    } else {
      set_next(before, after.own);
      set_prev(after, before.own);
      allocator_->deallocate(removed.value);
    }
    allocator_->deallocate(removed.own);
    --count_;
    store_sentinel_and_count();
    return after.own;
  }

  // Frees every node and value block, then lets the sentinel name itself:
  // one write of links in all, where unlinking node by node would rewrite a
  // neighbour for each. A chain whose length is not the count is damaged and
  // refused before anything is freed.
  void unlink_all() {
    std::vector<list_node> const nodes = collect_nodes();
    if (nodes.empty()) return;
    if (static_cast<word_t>(nodes.size()) != count_) throw io_tools::corrupt_file(*stream_);
    if constexpr (is_list_of_lists<d_list>::value) {
      removed_elements gone(*stream_, kind_name<d_list>::get());
      for (auto const& n : nodes) gone.add(n.value);
      gone.free(*allocator_, *database_->state());
      for (auto const& n : nodes) allocator_->deallocate(n.own);
    } else {
      for (auto const& n : nodes) {
        allocator_->deallocate(n.value);
        allocator_->deallocate(n.own);
      }
    }
    sentinel_.next = sentinel_.prev = sentinel_.own;
    count_ = 0;
    store_sentinel_and_count();
  }


  template <class Compare>
  void sort_values(Compare comp) {
    std::vector<list_node> nodes = collect_nodes();
    std::vector<T> values;
    values.reserve(nodes.size());
    for (auto const& n : nodes) {
      values.push_back(list_element<T>::read(*stream_, allocator_, database_, n.value));
    }
    std::vector<std::size_t> order(nodes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return comp(values[b], values[a]); });
    std::vector<word_t> placed(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) placed[i] = nodes[order[i]].value;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].value == placed[i]) continue;
      nodes[i].value = placed[i];
      nodes[i].write(*stream_);
    }
  }

  // Reads the header at address and the sentinel it names. A handle that
  // names a sentinel directly (its first word is its own address) is taken as
  // that sentinel; such a list's header is unknown and only the sentinel's
  // count is kept.
  void attach_header(word_t address) {
    list_header const header = list_header::read(*stream_, address);
    header_ = header.sentinel == address ? no_address : address;
    list_sentinel const sentinel = list_sentinel::read(*stream_, header.sentinel);
    sentinel_ = sentinel.links;
    // The sentinel's count has always been kept current; it is the one to
    // trust when the two homes disagree.
    count_ = sentinel.count;
    link_.up_to_date();
  }

  list_node read_node(word_t address) const {
    list_node const n = list_node::read(*stream_, address);
    if (n.own == sentinel_.own || n.value == no_address) throw io_tools::corrupt_file(*stream_);
    return n;
  }

  dl_iterator<T> iterator_at(word_t address) const {
    list_node const n = address == sentinel_.own ? sentinel_ : list_node::read(*stream_, address);
    return dl_iterator<T>(*this, n);
  }
  // A position given to insert or erase: current (dl_iterator_base), and
  // this list's, where it says whose it is; another list's node would be
  // relinked into this one.
  void check_position(dl_iterator_base<T> const& pos) const {
    pos.check_fresh();
    if (pos.list() != no_address && pos.list() != sentinel_.own) {
      throw error(errc::out_of_range, "iterator of another list: pass one this list made...");
    }
  }

  word_t allocate_zeroed(std::size_t size) {
    text_tools::bstringstream none;
    return allocator_->allocate(static_cast<long>(size), none);
  }

  // The record at address as it is now: the sentinel copy, or a node read
  // from the file.
  list_node neighbour(word_t address) const {
    return address == sentinel_.own ? sentinel_ : read_node(address);
  }

  // Checks that before's next is expected_next and after's prev is
  // expected_prev before either is changed, so that damaged links are
  // reported with nothing written. Two distinct records may only be the same
  // when both are the sentinel (the list is or becomes empty).
  void check_neighbours(list_node const& before, list_node const& after, word_t expected_next,
                        word_t expected_prev) const {
    if (before.next != expected_next || after.prev != expected_prev ||
        (before.own == after.own && before.own != sentinel_.own)) {
      throw io_tools::corrupt_file(*stream_);
    }
  }

  // Changes one link of a record: in the sentinel copy (written with the
  // count), or in the node's record in the file.
  void set_next(list_node& record, word_t target) {
    if (record.own == sentinel_.own) {
      sentinel_.next = target;
      return;
    }
    record.next = target;
    record.write_next(*stream_);
  }

  void set_prev(list_node& record, word_t target) {
    if (record.own == sentinel_.own) {
      sentinel_.prev = target;
      return;
    }
    record.prev = target;
    record.write_prev(*stream_);
  }

  // Writes value in a new block and links a node for it between the
  // neighbours before and after (either may be the sentinel).
  void link_between(word_t before_at, word_t after_at, T const& value) {
    list_node before = neighbour(before_at);
    list_node after = neighbour(after_at);
    check_neighbours(before, after, after_at, before_at);
    if constexpr (is_list_of_lists<d_list>::value) list_element<T>::check_free(value);
    text_tools::bstringstream block;
    list_element<T>::encode(block, value);
    allocator_->make_room_for(static_cast<long>(block.size() + list_node::record_size), 2);
    word_t const value_at = allocator_->allocate(static_cast<long>(block.size()), block);
    word_t const node_at = allocate_zeroed(list_node::record_size);
    list_node{node_at, after_at, before_at, value_at}.write(*stream_);
    set_next(before, node_at);
    set_prev(after, node_at);
    ++count_;
    store_sentinel_and_count();
    if constexpr (is_list_of_lists<d_list>::value) value.mark_held();
  }

  // The count has two homes, the sentinel and the header; both change
  // together so that a reopened list finds the true count in either. (The
  // header names the sentinel from the list's making on: only its count
  // changes.)
  void store_sentinel_and_count() {
    list_sentinel{sentinel_, count_}.write(*stream_);
    if (header_ != no_address) list_header::write_count(*stream_, header_, count_);
  }

  // Every node in list order, bounded by what the file can hold.
  std::vector<list_node> collect_nodes() {
    std::vector<list_node> nodes;
    word_t const most = stream_->size() / static_cast<word_t>(list_node::record_size);
    for (word_t at = sentinel_.next; at != sentinel_.own;) {
      if (static_cast<word_t>(nodes.size()) >= most) throw io_tools::corrupt_file(*stream_);
      nodes.push_back(read_node(at));
      at = nodes.back().next;
    }
    return nodes;
  }

  list_node sentinel_;
  io_tools::bfstream* stream_ = nullptr;
  d_alloc* allocator_ = nullptr;
  word_t handle_ = no_address;
  d_database* database_ = nullptr;
  word_t count_ = 0;
  word_t header_ = no_address;
  db_handle link_;
  bool map_value_ = false;  // taken from a map, which owns the list
  // An element of a list of lists (held_as_element). Set by a push through
  // the object even when a transaction takes the push back.
  mutable bool held_ = false;
  // A new anonymous list's mark, shared by every copy of the object that
  // made it, so that each copy knows once one was given as an element (a
  // std::vector of copies of one new list, each pushed).
  std::shared_ptr<bool> given_;
  // For a new anonymous list: the opening's counts of commits followed and
  // of lists found by address when it was made (held_in_file).
  struct counts {
    std::uint64_t followed = 0, found = 0;
  } made_when_;

  void mark_held() const {
    held_ = true;
    if (given_) *given_ = true;
  }
};

template <class T>
class d_list<T>::string_views {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    iterator() = default;
    std::string_view operator*() const {
      range_->check_unchanged();
      if (node_.value == no_address)
        throw error(errc::out_of_range, "no element at the end position...");
      return stored_value<std::string>::view(*range_->stream_, node_.value);
    }
    // A walk longer than the file has room for nodes has met a cycle.
    iterator& operator++() {
      range_->check_unchanged();
      if (node_.value == no_address)
        throw error(errc::out_of_range, "no element at the end position...");
      node_ = list_node::read(*range_->stream_, node_.next);
      if (++steps_ > range_->most_steps_) throw io_tools::corrupt_file(*range_->stream_);
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(iterator const& a, iterator const& b) {
      return a.node_.own == b.node_.own;
    }
    friend bool operator!=(iterator const& a, iterator const& b) { return !(a == b); }

   private:
    friend class string_views;
    iterator(string_views const* range, list_node const& node) : range_(range), node_(node) {}

    string_views const* range_ = nullptr;
    list_node node_;
    word_t steps_ = 0;
  };

  iterator begin() const {
    check_unchanged();
    return {this, list_node::read(*stream_, first_)};
  }
  iterator end() const { return {this, list_node{sentinel_, no_address, no_address, no_address}}; }

 private:
  friend class d_list<T>;
  explicit string_views(d_list<T>& l) : stream_(l.stream_) {
    auto const op = l.reading();
    sentinel_ = l.sentinel_.own;
    first_ = l.sentinel_.next;
    most_steps_ = stream_->size() / static_cast<word_t>(list_node::record_size);
    link_ = l.link_;
    taken_ = link_.stamp();
  }
  void check_unchanged() const {
#ifndef NDEBUG
    if (!link_.unchanged_since(taken_)) {
      throw error(errc::out_of_range,
                  "list views used after a change to the database: take them again...");
    }
#endif
  }

  io_tools::bfstream* stream_;
  word_t sentinel_ = no_address;
  word_t first_ = no_address;
  word_t most_steps_ = 0;
  db_handle link_;
  db_handle::copy_stamp taken_;
};

template <class T>
typename d_list<T>::string_views d_list<T>::views() & {
  static_assert(std::is_same<T, std::string>::value,
                "views() reads strings in place: read other values by copy");
  return string_views(*this);
}

}  // namespace disk_tools
