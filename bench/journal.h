// How a workload opens its database and groups its writes. The library's
// journal modes (open options and d_transaction) are compiled in only when the
// build defines ODB_BENCH_JOURNAL (cmake -DODB_BENCH_JOURNAL=ON); without it
// every workload opens the plain way and the tables say which cells were not
// built.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>

#include <disk_tools/d_db.h>
#if ODB_BENCH_JOURNAL
#include <disk_tools/d_transaction.h>
#endif

namespace bench {

#if ODB_BENCH_JOURNAL
constexpr bool journal_built = true;
#else
constexpr bool journal_built = false;
#endif

// plain: open_database(name, env), the library's default (d_journal::atomic);
// durable and off: open_database with those d_open_options.
enum class journal { plain, durable, off };

// The plan of one run: how the database is opened and how many operations
// each d_transaction holds (0: none, every operation stands alone).
struct open_plan {
  journal mode = journal::plain;
  long per_transaction = 0;
};

// Whether this build can carry out plan.
inline bool plan_built(open_plan const& plan) {
  return journal_built || (plan.mode == journal::plain && plan.per_transaction == 0);
}

inline disk_tools::d_database* open_as(std::string const& name, disk_tools::d_env* env,
                                       journal mode) {
  if (mode == journal::plain) return disk_tools::open_database(name, env);
#if ODB_BENCH_JOURNAL
  disk_tools::d_open_options options;
  options.journal =
      mode == journal::durable ? disk_tools::d_journal::durable : disk_tools::d_journal::off;
  return disk_tools::open_database(name, env, options);
#else
  throw std::runtime_error("journal modes not built (ODB_BENCH_JOURNAL)");
#endif
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
#if ODB_BENCH_JOURNAL
  for (long i = 0; i < n;) {
    long const end = std::min(n, i + per_transaction);
    disk_tools::d_transaction tx(db);
    for (; i < end; ++i) operation(i);
    tx.commit();
  }
#else
  (void)db;
  throw std::runtime_error("transactions not built (ODB_BENCH_JOURNAL)");
#endif
}

}  // namespace bench
