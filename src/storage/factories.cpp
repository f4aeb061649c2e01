#include "disk_tools/detail/factories.h"

#include <initializer_list>

#include "disk_tools/detail/bstringstream.h"
#include "disk_tools/detail/vector_header.h"

namespace disk_tools {

namespace {

// Allocates a block holding the given words followed by zero_words zero
// words (the allocator fills the rest of a block with zeros).
long make_block(d_database* db, std::initializer_list<word_t> words, long zero_words = 0,
                long repeat_count = 0, word_t repeated = 0) {
  text_tools::bstringstream block;
  for (word_t w : words) block.cpy_word(w);
  for (long i = 0; i < repeat_count; ++i) block.cpy_word(repeated);
  return db->allocator()->allocate(
      static_cast<long>(block.size()) + zero_words * static_cast<long>(word_size), block);
}

// A capacity or bucket count must leave a block the file can address.
void check_count(long n) {
  if (n < 0 || n > (long{1} << 28)) throw error(errc::bad_size, "invalid container size...");
}

}  // namespace

long create_pointer(d_database* db) {
  return make_block(db, {no_address});
}
long create_var(d_database* db) {
  return make_block(db, {no_address});
}
long create_ref(d_database* db) {
  return make_block(db, {no_address});
}
long create_handle(d_database* db) {
  return make_block(db, {no_address});
}
long create_list(d_database* db) {
  return make_block(db, {no_address, 0});
}

long create_vector(long const& n, d_database* db) {
  return create_vector(n, 0, nullptr, db);
}

long create_vector(long const& n, long count, char const* slots, d_database* db) {
  check_count(n);
  if (count < 0 || count > n) throw error(errc::bad_size, "invalid container size...");
  text_tools::bstringstream block;
  block.reserve(vector_header::fixed_size + static_cast<std::size_t>(count) * word_size);
  block.cpy_word(n);
  block.cpy_word(count);
  block.cpy(slots, static_cast<unsigned long>(count) * word_size);
  return db->allocator()->allocate(vector_header::block_size(n), block);
}

long create_hashmap(long const& n, d_database* db) {
  return create_hashmap(n, hash_kind::weighted_sum, db);
}

long create_hashmap(long const& n, hash_kind kind, d_database* db) {
  check_count(n);
  return make_block(db, {0, hashmap_header::table_word(n, kind)}, 0, n, no_address);
}

long create_hashmap(long const& n, hash_kind kind, double max_load, d_database* db) {
  check_count(n);
  text_tools::bstringstream block;
  block.cpy_word(0);
  block.cpy_word(hashmap_header::table_word(n, kind, true));
  for (long i = 0; i < n; ++i) block.cpy_word(no_address);
  block.cpy_word(hashmap_header::policy_word(max_load));
  return db->allocator()->allocate(static_cast<long>(block.size()), block);
}

long create_map(d_database* db) {
  return make_block(db, {no_address, no_address, no_address});
}

}  // namespace disk_tools
