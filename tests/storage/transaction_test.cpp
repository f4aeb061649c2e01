// Transactions end innermost first: whatever order the program ends its
// d_transaction objects in, each commit and rollback acts on its own changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <disk_tools/d_db.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;
using test_support::code_thrown_by;
using test_support::thrown_by;

namespace {

std::vector<std::string> contents(d_list<std::string>& l) {
  return std::vector<std::string>(l.begin(), l.end());
}

// Before, a transaction's commit or rollback ended the innermost open one, whichever
// object it was called on: an outer commit with an inner one open committed the inner
// one, and the inner one's rollback then took back the outer one's changes too; an inner
// object that outlived an outer rollback took back a later transaction's changes.
TEST(TransactionOrder, EachEndActsOnItsOwnTransactionInEveryMode) {
  using held = std::unique_ptr<d_transaction>;
  struct order_case {
    char const* what;
    // Given the list, the database and the two transactions (the inner one begun after
    // "outer" was pushed, then "inner" pushed), ends them; the contents afterwards.
    void (*end)(d_list<std::string>& l, d_database* db, held& outer, held& inner);
    std::vector<std::string> kept;
  };
  order_case const cases[] = {
      {"the outer commit refused while the inner is open, then each in order",
       [](d_list<std::string>&, d_database*, held& outer, held& inner) {
         EXPECT_EQ(code_thrown_by([&] { outer->commit(); }), errc::nested_open);
         EXPECT_EQ(thrown_by([&] { outer->commit(); }),
                   "a transaction begun inside this one is still open: end it first...");
         EXPECT_TRUE(outer->active());
         inner->commit();
         outer->commit();
       },
       {"before", "outer", "inner"}},
      {"the outer commit refused, the inner rolled back, the outer committed",
       [](d_list<std::string>&, d_database*, held& outer, held& inner) {
         EXPECT_EQ(code_thrown_by([&] { outer->commit(); }), errc::nested_open);
         inner->rollback();
         outer->commit();
       },
       {"before", "outer"}},
      {"the outer rolled back with the inner open: both taken back, the inner ended",
       [](d_list<std::string>& l, d_database* db, held& outer, held& inner) {
         outer->rollback();
         EXPECT_FALSE(inner->active());
         EXPECT_EQ(thrown_by([&] { inner->commit(); }), "transaction already ended...");
         EXPECT_EQ(thrown_by([&] { inner->rollback(); }), "transaction already ended...");
         d_transaction later(db);
         l.push_back("later");
         inner.reset();  // ended: takes back nothing of the later one
         later.commit();
       },
       {"before", "later"}},
      {"the outer's scope ended with the inner open: both taken back",
       [](d_list<std::string>& l, d_database* db, held& outer, held& inner) {
         outer.reset();
         EXPECT_FALSE(inner->active());
         d_transaction later(db);
         l.push_back("later");
         d_transaction later_inner(db);
         l.push_back("later inner");
         inner.reset();  // where the later inner one stands now
         later_inner.commit();
         later.commit();
       },
       {"before", "later", "later inner"}},
  };
  for (d_journal mode : {d_journal::atomic, d_journal::durable}) {
    for (auto const& c : cases) {
      SCOPED_TRACE(std::string(test_support::mode_name(mode)) + ": " + c.what);
      test_support::scratch_dir dir;
      d_env env{};
      std::string const name = dir.file("db");
      ASSERT_TRUE(create_database(name, &env));
      {
        d_open_options options;
        options.journal = mode;
        scoped_database db = open_database_scoped(name, &env, options);
        d_list<std::string> l("l", &env);
        l.push_back("before");
        held outer = std::make_unique<d_transaction>(db.get());
        l.push_back("outer");
        held inner = std::make_unique<d_transaction>(db.get());
        l.push_back("inner");
        c.end(l, db.get(), outer, inner);
        inner.reset();
        outer.reset();
        EXPECT_EQ(contents(l), c.kept);
      }
      EXPECT_EQ(check_database_file(dir.file("db.odb")), std::vector<std::string>{});
      scoped_database db = open_database_scoped(name, &env);
      d_list<std::string> l("l", &env, d_root::existing);
      EXPECT_EQ(contents(l), c.kept);
    }
  }
}

}  // namespace
