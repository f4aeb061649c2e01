// Every kind of persistent object used after its database closed: each use throws
// "database is closed..." and the objects, destroyed after the close, write nothing.
// A row's uses hold its objects (by shared_ptr), so the objects go with the uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_ref.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/factories.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using uses = std::vector<std::function<void()>>;
using std::make_shared;
using std::string;
using ordered = d_map<unsigned, unsigned, unsigned>;

uses list(d_env& env) {
  auto l = make_shared<d_list<string>>("list", &env);
  l->push_back("a");
  auto it = make_shared<dl_iterator<string>>(l->begin());
  return {[=] { l->push_back("c"); }, [=] { l->size(); }, [=] { ++*it; },
          [=] { dl_assign<string>{*it} = "x"; }, [=] { it->view(); }};
}
uses list_of_lists(d_env& env) {
  auto ll = make_shared<d_list<d_list<int>>>("lists", &env);
  d_list<int> inner(&env);
  inner.push_back(1);
  ll->push_back(inner);
  auto it = make_shared<dl_iterator<d_list<int>>>(ll->begin());
  return {[=] { ll->pop_back(); }, [=] { (*it)->push_back(2); }};
}
uses vector(d_env& env) {
  auto v = make_shared<d_vector<string>>("vector", 2, &env);
  v->push_back("a");
  auto it = make_shared<d_vector_iterator<string>>(v->begin());
  auto element = make_shared<d_vector_assign<string>>((*v)[0]);
  return {[=] { v->push_back("b"); }, [=] { (*v)[0]; }, [=] { **it; }, [=] { *element = "x"; },
          [=] { v->view(0); }, [=] { it->view(); }};
}
uses cells(d_env& env) {
  auto var = make_shared<d_var<string>>("var", &env);
  *var = "v";
  auto ptr = make_shared<d_ptr<string>>(create_pointer(env.database), &env);
  auto proxy = make_shared<d_ptr_assign<string>>(**ptr);
  auto ref = make_shared<d_ref<string>>();
  ref->refer_to(d_ref<string>("r", &env).address(), env.stream);
  return {[=] { *var = "w"; }, [=] { **ptr; }, [=] { *proxy = "p"; }, [=] { ref->get_data(); }};
}
uses hash_map(d_env& env) {
  auto m = make_shared<d_hashmap<string, string, strong_string_hash>>("table", 3, &env);
  m->put("a", "1");
  auto it = make_shared<d_hashmap_iterator>(m->begin());
  auto entry = make_shared<d_hashmap_assign<string, string>>((*m)["a"]);
  return {[=] { m->put("b", "2"); }, [=] { m->find("a"); }, [=] { ++*it; },
          [=] { *entry = "x"; }};
}
uses ordered_map(d_env& env) {
  auto m = make_shared<ordered>("ordered", &env);
  for (unsigned k = 0; k < 100; ++k) m->insert(k, k);
  auto it = make_shared<ordered::iterator>(m->lower_bound(63));
  auto entry = make_shared<d_map_assign<unsigned, unsigned, unsigned>>((*m)[5]);
  return {[=] { m->insert(200, 1); }, [=] { m->lower_bound(5); }, [=] { m->balance(); },
          [=] { ++*it; }, [=] { *entry = 1; }};
}

using AfterClose = test_support::database_test;

TEST_F(AfterClose, EveryKindRefusesUseAndWritesNothingWhenDestroyed) {
  std::pair<char const*, uses (*)(d_env&)> const rows[] = {
      {"list", list},   {"list of lists", list_of_lists}, {"vector", vector},
      {"cells", cells}, {"hash map", hash_map},           {"ordered map", ordered_map}};
  for (auto const& [kind, make] : rows) {
    SCOPED_TRACE(kind);
    afresh();
    uses made = make(env_);
    close_database(std::exchange(db_, nullptr));  // env_ stays as the objects knew it
    auto const closed = test_support::read_file(path());
    for (std::size_t i = 0; i < made.size(); ++i)
      EXPECT_EQ(test_support::thrown_by(made[i]), "database is closed...") << "use " << i;
    made.clear();
    EXPECT_EQ(test_support::read_file(path()), closed);
  }
}

// An env goes on naming the database it was given after the close, and one never given any
// names none. Making an object on either read freed memory (or none) and crashed; now it is
// refused as any use after the close is, and the file stays as it was.
TEST_F(AfterClose, MakingAnObjectOnAnEnvWithoutAnOpenDatabaseIsRefused) {
  using make_t = void (*)(d_env*);
  std::pair<char const*, make_t> const rows[] = {
      {"list", [](d_env* e) { d_list<int>("list", e); }},
      {"new list", [](d_env* e) { d_list<int>{e}; }},
      {"vector", [](d_env* e) { d_vector<string>("vector", e); }},
      {"new vector", [](d_env* e) { d_vector<string>{e}; }},
      {"variable", [](d_env* e) { d_var<long>("var", e); }},
      {"pointer", [](d_env* e) { d_ptr<long>(8, e); }},
      {"value block", [](d_env* e) { d_ref<string>("r", e); }},
      {"ordered map", [](d_env* e) { d_map<string, string>("ordered", e); }},
      {"hash map", [](d_env* e) { d_hashmap<string, string>("table", e); }},
      {"slot-table hash map", [](d_env* e) { d_hashmap<std::uint64_t, long>("slots", e); }},
      {"transaction", [](d_env* e) { d_transaction{e}; }},
      {"read transaction", [](d_env* e) { d_read_transaction{e}; }},
  };
  close_database(std::exchange(db_, nullptr));
  auto const closed = test_support::read_file(path());
  for (auto const& row : rows) {
    make_t const make = row.second;
    d_env never{};
    EXPECT_EQ(test_support::thrown_by([&] { make(&env_); }), "database is closed...")
        << row.first << " on the env of a closed database";
    EXPECT_EQ(test_support::thrown_by([&] { make(&never); }), "database is closed...")
        << row.first << " on an env never opened";
  }
  EXPECT_EQ(test_support::read_file(path()), closed);
}

// Reading writes nothing: a database holding every kind of container is opened in each
// journal mode, read through every read path of every container (every_kind_contents),
// and closed; the file must then be byte for byte what it was before.
using ReadOnly = test_support::database_test;

TEST_F(ReadOnly, ReadingEveryContainerLeavesTheFileAsItWas) {
  close();
  test_support::fill_every_kind(name(), 300);
  std::vector<char> const before = test_support::read_file(path());
  std::string read;
  for (d_journal mode : {d_journal::atomic, d_journal::durable, d_journal::off}) {
    options_ = d_open_options{mode};
    open();
    read = test_support::every_kind_contents(env_, true);
    close();
    std::vector<char> const after = test_support::read_file(path());
    auto const diverge = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
    EXPECT_TRUE(after == before) << test_support::mode_name(mode) << ": " << before.size()
                                 << " bytes before, " << after.size()
                                 << " after, first change at " << (diverge.first - before.begin());
  }
  EXPECT_GT(read.size(), 300u);
}

}  // namespace
