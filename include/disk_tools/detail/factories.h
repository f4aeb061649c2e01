// Factories of the initial header block of each kind of persistent object.
// Each allocates the block through the database's allocator with its first
// words already laid out, and returns the block's address.
//
//   factory          size      initial words
//   create_pointer   8         -1
//   create_var       8         -1
//   create_ref       8         -1
//   create_handle    8         -1 (the handle slot of a vector kept in
//                              another container)
//   create_list      16        -1 (sentinel), 0 (count)
//   create_vector    16 + 8n   n (capacity), 0 (count), n zero slots
//   create_hashmap   16 + 8n   0 (count), n (buckets, with the hash kind when given),
//                              n bucket heads of -1
//                 24 + 8n   the same, then the growth policy word
//   create_map       24        -1 (size), -1 (root), -1 (chain head)
#pragma once

#include "disk_tools/d_db.h"
#include "disk_tools/detail/hashmap_records.h"

namespace disk_tools {

long create_pointer(d_database* db);
long create_var(d_database* db);
long create_ref(d_database* db);
long create_handle(d_database* db);
long create_list(d_database* db);
long create_vector(long const& n, d_database* db);
// The same holding count elements, whose slots (count words in file order)
// are copied from slots; the vector's growth moves its header this way.
long create_vector(long const& n, long count, char const* slots, d_database* db);
long create_hashmap(long const& n, d_database* db);
long create_hashmap(long const& n, hash_kind kind, d_database* db);
// The same with a growth policy word after the table (max_load, 0 for none).
long create_hashmap(long const& n, hash_kind kind, double max_load, d_database* db);
long create_map(d_database* db);

}  // namespace disk_tools
