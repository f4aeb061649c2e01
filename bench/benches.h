// The benchmark groups; each prints its own Markdown table.
#pragma once

namespace bench {

// Allocator allocate/deallocate mixes at 1k, 10k and 100k blocks in use.
void run_alloc_benches(int repetitions);
// The ordered-map workload at 25k, 100k and 400k keys, beside the SQL peer,
// and our map in each journal mode.
void run_map_benches(int repetitions);
// The map workload up to 16 000 000 keys beside a Boost.Interprocess map in a
// mapped file: insert per key as the map grows, and resident memory.
void run_large_map_benches(int repetitions);
// main's --large STORE N DIR: one run of the large map workload in a process
// of its own, its result written to standard output; returns the exit status.
int run_large_map_child(int argc, char** argv);
// The ordered map's walk in key order, lower_bound and erase at 25k and 400k
// keys, beside std::map.
void run_map_order_benches(int repetitions);
// File size and lookup time of churn workloads (values rewritten again and
// again): one variable, a hash map of 10k keys.
void run_churn_benches(int repetitions);
// List, vector and hash-map operations at growing sizes.
void run_container_benches(int repetitions);
// Hash-map put and get by hash at 1k and 100k look-alike keys, beside
// std::unordered_map.
void run_hash_benches(int repetitions);
// showcase runs 1, 2, 25 and 100 on one database; a normal mapdrill run.
void run_program_benches(int repetitions);
// Lists, vectors and hash maps of strings on our containers, Boost.Interprocess
// containers in a mapped file and the standard containers, with their system
// calls and page faults, and the first write after opening a large database.
void run_peer_benches(int repetitions);
// compact_database on churned databases of about 25 MB and 100 MB.
void run_compact_benches(int repetitions);
// Durable commits of 1 and 1 000 inserts on SQLite, LMDB and our map.
void run_commit_benches(int repetitions);

// The writer's commit rate beside a reader that holds one read transaction
// for a while, against its rate beside the same reader between snapshots.
void run_long_reader_benches(int repetitions);

// A reader process's lookups per second alone and beside a writer process,
// and the writer's commits per second alone and beside four readers, on our
// map, LMDB and SQLite in WAL mode.
void run_concurrent_benches(int repetitions);

// The typed map of strings and of 64-bit numbers, beside std::map and a
// Boost.Interprocess map in a mapped file.
void run_typed_map_benches(int repetitions);

}  // namespace bench
