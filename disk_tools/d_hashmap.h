// The persistent hash map of string keys to string values: a header block with
// the key count and a fixed table of buckets, each heading a singly linked
// chain of entry records that hold their key and value inline (records in
// hashmap_records.h).
//
// Lookups and insertions go straight to the file. A new key's entry heads its
// chain; replacing a value writes a whole new entry in the old one's place in
// the chain. The count of distinct keys is written to the header whenever it
// changes (and once more when the map object goes), so a reopened map finds it
// even when its object was never destroyed.
#pragma once

#include <cstdint>
#include <exception>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "d_db.h"
#include "d_transaction.h"
#include "db_handle.h"
#include "factories.h"
#include "hashmap_records.h"

namespace disk_tools {

// The weighted sum of a key's characters: each character, taken as a signed
// byte, times its index (the first has weight 0). Computed modulo 2^64 so that
// no key, however long, overflows.
struct string_hash {
  long operator()(std::string const& key) const {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
      auto const c = static_cast<std::int64_t>(static_cast<signed char>(key[i]));
      h += static_cast<std::uint64_t>(i) * static_cast<std::uint64_t>(c);
    }
    return static_cast<long>(h);
  }
};

// The bucket of a key whose hash is h among n buckets: (2^63 - 1 - h) mod n.
// The difference is taken without sign, so that it is exact for a negative h
// too (where it exceeds the largest signed word); for h >= 0 this is the same
// as the signed remainder.
inline word_t bucket_of(long h, word_t n) {
  std::uint64_t const top = static_cast<std::uint64_t>(INT64_MAX);
  std::uint64_t const diff = top - static_cast<std::uint64_t>(h);
  return static_cast<word_t>(diff % static_cast<std::uint64_t>(n));
}

namespace hashmap_detail {

// Where a key was found: its entry, the word that links to it, and the entry
// as read. entry is 0 when the key is absent.
struct found_entry {
  word_t entry = 0;
  word_t link = no_address;
  hashmap_entry record;
};

// Walks the chain whose head is in the bucket word at bucket looking for key.
// The walk is bounded by the number of entries the file can hold, so a cycle
// is reported as corruption.
inline found_entry find_in_chain(io_tools::bfstream& s, word_t bucket, std::string const& key) {
  found_entry found;
  word_t const most = s.size() / static_cast<word_t>(hashmap_entry::min_size);
  word_t link = bucket;
  word_t at = s.read_word(bucket);
  for (word_t steps = 0; at != no_address; ++steps) {
    if (steps > most) throw io_tools::corrupt_file_message;
    hashmap_entry record = hashmap_entry::read(s, at);
    if (record.key == key) {
      found.entry = at;
      found.link = link;
      found.record = std::move(record);
      return found;
    }
    link = at + static_cast<word_t>(hashmap_entry::next_offset);
    at = record.next;
  }
  return found;
}

// Writes the entry (its next, key and value) in a new block in place of the
// old one at old_entry, rewriting link; returns the new block's address.
inline word_t replace_entry(io_tools::bfstream& s, d_alloc& allocator, word_t link,
                            word_t old_entry, hashmap_entry const& record) {
  text_tools::bstringstream block;
  record.encode(block);
  allocator.deallocate(old_entry);
  word_t const entry = allocator.allocate(static_cast<long>(block.size()), block);
  s.write_word(link, entry);
  return entry;
}

}  // namespace hashmap_detail

// Names the entry of one key. The entry and its link can move while the
// proxy lives (a new key heads the chain, a replacement writes a new entry
// before or at this one, and the old link may then lie in a freed block), so
// every use finds the key's entry again by walking its chain.
template <class K, class V>
class d_hashmap_assign {
 public:
  d_hashmap_assign(word_t entry, word_t link, io_tools::bfstream* stream, d_alloc* allocator,
                   d_database* database, word_t bucket, K key)
      : entry_(entry),
        link_(link),
        stream_(stream),
        allocator_(allocator),
        database_(database),
        bucket_(bucket),
        key_(std::move(key)),
        db_(database) {}

  V get_data() {
    db_.db();
    return current().value;
  }
  operator V() { return get_data(); }

  // Stores value as the key's value; the entry keeps its place in the chain.
  d_hashmap_assign& operator=(V const& value) {
    entry_ = in_change(db_.db(), [&] {
      hashmap_entry record = current();
      record.value = value;
      return hashmap_detail::replace_entry(*stream_, *allocator_, link_, entry_, record);
    });
    return *this;
  }

  long entry() const { return entry_; }
  long link() const { return link_; }

 private:
  hashmap_entry current() {
    hashmap_detail::found_entry found = hashmap_detail::find_in_chain(*stream_, bucket_, key_);
    if (found.entry == 0) throw "hash map entry no longer exists...";
    entry_ = found.entry;
    link_ = found.link;
    return found.record;
  }

  word_t entry_;
  word_t link_;
  io_tools::bfstream* stream_;
  d_alloc* allocator_;
  d_database* database_;
  word_t bucket_;
  K key_;
  db_handle db_;
};

template <class K, class V, class H = string_hash>
class d_hashmap {
  static_assert(std::is_same<K, std::string>::value && std::is_same<V, std::string>::value,
                "entries hold string keys and values");

 public:
  // The map kept in the root slot called name; created with buckets buckets
  // when new, otherwise buckets is ignored.
  d_hashmap(std::string const& name, long buckets, d_env* env)
      : allocator_(env->allocator), database_(env->database), buckets_(buckets) {
    grab(database_->stream(), root_slot(database_, name), database_->allocator(), database_);
  }

  // The count goes to the file whenever it changes, so the object has nothing
  // to write back and may outlive its database.
  d_hashmap(d_hashmap const&) = delete;
  d_hashmap& operator=(d_hashmap const&) = delete;

  // Attaches to the map whose handle slot is at address, creating it when the
  // slot holds -1.
  void grab(io_tools::bfstream* stream, long address, d_alloc* allocator, d_database* database) {
    stream_ = stream;
    allocator_ = allocator;
    database_ = database;
    link_ = db_handle(database);
    handle_ = address;
    if (stream_->read_word(handle_) != no_address) {
      load_header();
      return;
    }
    // A bucket is a remainder modulo the bucket count.
    if (buckets_ < 1) throw "invalid container size...";
    in_change(link_.db(), [&] {
      header_ = create_hashmap(buckets_, database_);
      count_ = 0;
      stream_->write_word(handle_, header_);
    });
  }

  // The key's entry address and its value; 0 and an empty value when the key
  // is absent.
  long get(K const& key, V& value) {
    checked();
    hashmap_detail::found_entry const found =
        hashmap_detail::find_in_chain(*stream_, bucket_word(key), key);
    value = found.record.value;
    if (found.entry != 0) last_link_ = found.link;
    return found.entry;
  }

  // Stores the pair, replacing the value of a present key in its place in the
  // chain; a new key heads its chain. Returns the entry now holding the pair.
  long put(K const& key, V const& value) {
    return in_change(checked(), [&] { return put_pair(key, value); });
  }

  // The entry of key, created with an empty value when absent.
  d_hashmap_assign<K, V> operator[](K const& key) {
    V scratch;
    word_t entry = get(key, scratch);
    if (entry == 0) entry = put(key, V());
    return d_hashmap_assign<K, V>(entry, last_link_, stream_, allocator_, database_,
                                  bucket_word(key), key);
  }

  long count() const { return count_; }
  long buckets() const { return buckets_; }
  long header_address() const { return header_; }
  long last_link() const { return last_link_; }
  // The address of the bucket word of key.
  long bucket_word(K const& key) const {
    return hashmap_header::bucket_address(header_, bucket_of(H()(key), buckets_));
  }

 private:
  // The database, checked to be open, with the header read afresh: another
  // object on the same map, or a rollback, may have changed it.
  d_database& checked() {
    d_database& db = link_.db();
    load_header();
    link_.up_to_date();
    return db;
  }

  void load_header() {
    word_t const header = stream_->read_word(handle_);
    if (header == no_address) throw rolled_back_message;
    hashmap_header const h = hashmap_header::read(*stream_, header);
    header_ = header;
    count_ = h.count;
    buckets_ = h.buckets;
  }

  long put_pair(K const& key, V const& value) {
    word_t const bucket = bucket_word(key);
    hashmap_detail::found_entry found = hashmap_detail::find_in_chain(*stream_, bucket, key);
    if (found.entry != 0) {
      found.record.value = value;
      last_link_ = found.link;
      return hashmap_detail::replace_entry(*stream_, *allocator_, found.link, found.entry,
                                           found.record);
    }
    hashmap_entry record;
    record.next = stream_->read_word(bucket);
    record.key = key;
    record.value = value;
    text_tools::bstringstream block;
    record.encode(block);
    word_t const entry = allocator_->allocate(static_cast<long>(block.size()), block);
    stream_->write_word(bucket, entry);
    last_link_ = bucket;
    ++count_;
    store_count();
    return entry;
  }

 public:
  // Everything wrong with the map's records, one sentence each: an entry in
  // the wrong bucket, a key twice, a chain with a cycle, a count that is not
  // the number of keys, or a record that is not a block in use.
  std::vector<std::string> check() const {
    std::vector<std::string> problems;
    try {
      link_.db();
      std::set<word_t> in_use;
      for (auto const& r : allocator_->allocation_list()) in_use.insert(r.data);
      hashmap_header const h = hashmap_header::read(*stream_, header_);
      if (!in_use.count(header_)) problems.push_back("map header is not a block in use");
      std::set<std::string> keys;
      std::set<word_t> seen;
      for (word_t b = 0; b < h.buckets; ++b) {
        word_t at = stream_->read_word(hashmap_header::bucket_address(header_, b));
        while (at != no_address) {
          std::string const where = "entry " + std::to_string(at);
          if (!seen.insert(at).second) {
            problems.push_back(where + " is reached twice");
            break;
          }
          if (!in_use.count(at)) problems.push_back(where + " is not a block in use");
          hashmap_entry const e = hashmap_entry::read(*stream_, at);
          if (bucket_of(H()(e.key), h.buckets) != b) {
            problems.push_back(where + " of key \"" + e.key + "\" is in bucket " +
                               std::to_string(b) + ", not its own");
          }
          if (!keys.insert(e.key).second) {
            problems.push_back("key \"" + e.key + "\" is stored twice");
          }
          at = e.next;
        }
      }
      if (h.count != static_cast<word_t>(keys.size())) {
        problems.push_back("header count " + std::to_string(h.count) + " but " +
                           std::to_string(keys.size()) + " keys");
      }
    } catch (char const* message) {
      problems.push_back(std::string("unreadable hash map record: ") + message);
    }
    return problems;
  }

 private:
  void store_count() { hashmap_header::write_count(*stream_, header_, count_); }

  io_tools::bfstream* stream_ = nullptr;
  d_alloc* allocator_ = nullptr;
  word_t header_ = no_address;
  word_t last_link_ = no_address;
  d_database* database_ = nullptr;
  word_t count_ = 0;
  word_t buckets_ = 0;
  word_t handle_ = no_address;
  db_handle link_;
};

}  // namespace disk_tools
