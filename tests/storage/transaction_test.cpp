// An operation that fails inside a transaction of several takes back its own
// writes and nothing else, though it rewrote bytes that the transaction had
// changed before it; the transaction then commits the rest, or rolls back to
// the bytes it began with.
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/bfstream.h>
#include <disk_tools/odb_check.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "harness.h"

using namespace disk_tools;

namespace {

using int_map = d_map<unsigned, unsigned, unsigned>;
using bytes_t = std::vector<char>;

// Armed, makes the fail_at-th change to a file from now on fail.
struct failing_writes : io_tools::io_observer {
  failing_writes() { io_tools::set_io_observer(this); }
  ~failing_writes() { io_tools::set_io_observer(nullptr); }
  void on_event(io_tools::io_event const&) override {
    if (fail_at > 0 && ++seen == fail_at)
      throw error(errc::io_failure, "simulated write failure...");
  }
  long fail_at = 0, seen = 0;
};

struct containers {
  explicit containers(d_env& e)
      : env(e), list("list", &e), vec("vec", 2, &e), map("map", &e), var("var", &e) {}
  std::string contents() {
    std::string out;
    for (std::string const& s : list) out += s + "|";
    for (std::string const& s : vec) out += s + "|";
    for (unsigned k = 0, v = 0; k < 1000; ++k)
      if (map.get(k, v)) out += std::to_string(k) + "=" + std::to_string(v) + "|";
    return out + var.get_data();
  }
  d_env& env;
  int calls = 0;
  d_list<std::string> list;
  d_vector<std::string> vec;
  int_map map;
  d_var<std::string> var;
};

// Each operation rewrites what the one before it in the transaction wrote: the
// same allocator records, headers and map node.
struct step {
  char const* what;
  std::function<void(containers&, int)> run;
};
step const steps[] = {
    {"list push_back", [](containers& c, int i) { c.list.push_back("item " + std::to_string(i)); }},
    {"vector push_back (growing)",
     [](containers& c, int i) { c.vec.push_back(std::string(10 + i, 'v')); }},
    {"map insert into one node",
     [](containers& c, int i) {
       c.map.insert(static_cast<unsigned>(2 * i), static_cast<unsigned>(i));
     }},
    {"variable assignment", [](containers& c, int i) { c.var = std::string(5 + 7 * i, 'a' + i); }},
    // Bytes the transaction has not changed before, changed twice by one
    // operation that then fails: the first change's bytes are the ones to
    // put back.
    {"two updates of one key in a nested transaction",
     [](containers& c, int i) {
       if (i == 0) {
         for (unsigned k = 0; k < 1000; ++k) c.map.insert(k, k);
         return;
       }
       // A key of its own each time, retries included.
       auto const key = static_cast<unsigned>(37 * ++c.calls % 1000);
       d_transaction nested(&c.env);
       c.map.update(key, 1);
       c.map.update(key, 2);
       c.list.push_back("after the updates");
       nested.commit();
     }},
};

bytes_t data_of(d_database* db) {
  bytes_t all = test_support::read_file(db->file_name());
  all.resize(static_cast<std::size_t>(db->stream()->size()));
  return all;
}

TEST(TransactionOfSeveralOperations, AFailedOneTakesBackItsOwnWritesOnly) {
  test_support::scratch_dir dir;
  for (bool commit : {true, false}) {
    for (step const& s : steps) {
      SCOPED_TRACE(std::string(s.what) + (commit ? ", committed" : ", rolled back"));
      std::string const name =
          dir.file(std::string(commit ? "c" : "r") + std::to_string(&s - steps));
      ASSERT_TRUE(create_database(name, nullptr));
      d_env env{};
      d_database* db = open_database(name, &env);
      std::string expected;
      {
        containers c(env);
        s.run(c, 0);
        bytes_t const before_tx = data_of(db);
        std::string const contents_before_tx = c.contents();
        d_transaction tx(&env);
        failing_writes fail;
        for (int i = 1; i <= 4; ++i) {
          // Fails at its first change, its second, ... until it gets through.
          for (long k = 1;; ++k) {
            bytes_t const before = data_of(db);
            std::string const contents = c.contents();
            fail.fail_at = k, fail.seen = 0;
            std::string const message = test_support::thrown_by([&] { s.run(c, i); });
            fail.fail_at = 0;
            if (message.empty()) break;
            ASSERT_EQ(message, "simulated write failure...");
            ASSERT_TRUE(data_of(db) == before) << "operation " << i << ", failing at change " << k;
            ASSERT_EQ(c.contents(), contents) << "operation " << i << ", failing at change " << k;
          }
        }
        if (commit) {
          tx.commit();
          expected = c.contents();
        } else {
          tx.rollback();
          EXPECT_TRUE(data_of(db) == before_tx);
          expected = contents_before_tx;
        }
      }
      close_database(db);
      db = open_database(name, &env);
      {
        containers c(env);
        EXPECT_EQ(c.contents(), expected);
      }
      close_database(db);
      EXPECT_TRUE(check_database_file(name + ".odb").empty());
    }
  }
}

}  // namespace
