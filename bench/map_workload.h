// The ordered-map workload of the map drill, run on our map and, for
// comparison, on an embedded SQL store in the same process: insert the pairs
// 0..n-1 one at a time, look every key up, then walk every pair.
#pragma once

#include <optional>
#include <string>

#include "journal.h"

namespace bench {

// Seconds taken by each phase of one run.
struct map_phases {
  double insert = 0;
  double lookup = 0;
  double walk = 0;
};

// Our map "btree" in a new database in dir, filled as mapdrill fills it
// (look the key up, insert it when absent); the walk follows the node chain.
// The database is opened, and its inserts grouped into transactions, as plan
// says.
map_phases run_map_workload(std::string const& dir, unsigned n, open_plan const& plan = {});

// The insert phase alone, with the share of it spent balancing and the work
// the balancing did; the balancing finds the nodes to rotate through the
// map's in-memory shape of the tree, or (with_shape false) by reading every
// node in every pass.
struct insert_profile {
  double insert = 0;
  double balancing = 0;
  long runs = 0;
  long passes = 0;
  long shifts = 0;  // single and 4-shifts together
};
insert_profile profile_map_inserts(std::string const& dir, unsigned n, bool with_shape);

// A table of integer keys and values in a new SQL database in dir, with
// synchronous=OFF, journal_mode=OFF and locking_mode=EXCLUSIVE, one autocommit
// INSERT per pair; empty when the benchmark was built without the SQL library.
std::optional<map_phases> run_sql_workload(std::string const& dir, unsigned n);

}  // namespace bench
