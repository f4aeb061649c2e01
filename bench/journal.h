// How a workload opens its database and groups its writes.
#pragma once

#include <algorithm>
#include <string>

#include <disk_tools/d_db.h>
#include <disk_tools/d_transaction.h>

namespace bench {

// plain: open_database(name, env), the library's default (d_journal::atomic);
// durable and off: open_database with those d_open_options.
enum class journal { plain, durable, off };

// The plan of one run: how the database is opened and how many operations
// each d_transaction holds (0: none, every operation stands alone).
struct open_plan {
  journal mode = journal::plain;
  long per_transaction = 0;
};

inline disk_tools::d_database* open_as(std::string const& name, disk_tools::d_env* env,
                                       journal mode) {
  if (mode == journal::plain) return disk_tools::open_database(name, env);
  disk_tools::d_open_options options;
  options.journal =
      mode == journal::durable ? disk_tools::d_journal::durable : disk_tools::d_journal::off;
  return disk_tools::open_database(name, env, options);
}

// Calls operation(i) for i = 0..n-1, committing a d_transaction every
// per_transaction calls (and after the last), or with no transaction at all
// when per_transaction is 0.
template <class Operation>
void run_grouped(disk_tools::d_database* db, long n, long per_transaction, Operation operation) {
  if (per_transaction <= 0) {
    for (long i = 0; i < n; ++i) operation(i);
    return;
  }
  for (long i = 0; i < n;) {
    long const end = std::min(n, i + per_transaction);
    disk_tools::d_transaction tx(db);
    for (; i < end; ++i) operation(i);
    tx.commit();
  }
}

}  // namespace bench
