// An LMDB environment and write transaction that clean up after themselves,
// failing with the library's own message.
#pragma once

#ifdef ODB_BENCH_HAS_LMDB

#include <lmdb.h>

#include <stdexcept>
#include <string>

namespace bench {

inline void lmdb_check(int rc, char const* what) {
  if (rc != 0) throw std::runtime_error(std::string("lmdb: ") + what + ": " + mdb_strerror(rc));
}

struct lmdb_env {
  lmdb_env() = default;
  ~lmdb_env() {
    if (env) mdb_env_close(env);
  }
  lmdb_env(lmdb_env const&) = delete;
  lmdb_env& operator=(lmdb_env const&) = delete;
  MDB_env* env = nullptr;
};

// One write transaction; aborted unless committed.
struct lmdb_txn {
  explicit lmdb_txn(MDB_env* env) { lmdb_check(mdb_txn_begin(env, nullptr, 0, &txn), "begin"); }
  ~lmdb_txn() {
    if (txn) mdb_txn_abort(txn);
  }
  lmdb_txn(lmdb_txn const&) = delete;
  lmdb_txn& operator=(lmdb_txn const&) = delete;
  void commit() {
    MDB_txn* const t = txn;
    txn = nullptr;
    lmdb_check(mdb_txn_commit(t), "commit");
  }
  MDB_txn* txn = nullptr;
};

}  // namespace bench

#endif
