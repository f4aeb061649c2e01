// The benchmark groups; each prints its own Markdown table.
#pragma once

namespace bench {

// Allocator allocate/deallocate mixes at 1k, 10k and 100k blocks in use.
void run_alloc_benches(int repetitions);
// The ordered-map workload at 25k, 100k and 400k keys, beside the SQL peer.
void run_map_benches(int repetitions);
// List, vector and hash-map operations at growing sizes.
void run_container_benches(int repetitions);
// showcase runs 1, 2, 25 and 100 on one database; a normal mapdrill run.
void run_program_benches(int repetitions);

}  // namespace bench
