#include "factories.h"

#include <initializer_list>

#include "bstringstream.h"

namespace disk_tools {

namespace {

// Allocates a block holding the given words followed by zero_words zero
// words.
long make_block(d_database* db, std::initializer_list<word_t> words, long zero_words = 0,
                long repeat_count = 0, word_t repeated = 0) {
  text_tools::bstringstream block;
  for (word_t w : words) block.cpy_word(w);
  for (long i = 0; i < repeat_count; ++i) block.cpy_word(repeated);
  for (long i = 0; i < zero_words; ++i) block.cpy_word(0);
  return db->allocator()->allocate(static_cast<long>(block.size()), block);
}

// A capacity or bucket count must leave a block the file can address.
void check_count(long n) {
  if (n < 0 || n > (long{1} << 28)) throw "invalid container size...";
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
long create_list(d_database* db) {
  return make_block(db, {no_address, 0});
}

long create_vector(long const& n, d_database* db) {
  check_count(n);
  return make_block(db, {n, 0}, n);
}

long create_hashmap(long const& n, d_database* db) {
  return create_hashmap(n, hash_kind::weighted_sum, db);
}

long create_hashmap(long const& n, hash_kind kind, d_database* db) {
  check_count(n);
  return make_block(db, {0, hashmap_header::table_word(n, kind)}, 0, n, no_address);
}

long create_map(d_database* db) {
  return make_block(db, {no_address, no_address, no_address});
}

}  // namespace disk_tools
