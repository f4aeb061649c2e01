// Every kind of persistent object used after its database closed: each use throws
// "database is closed..." and the objects, destroyed after the close, write nothing.
// A row's uses hold its objects (by shared_ptr), so the objects go with the uses.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_ref.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/factories.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using use = std::function<void()>;

struct after_close_row {
  char const* kind;
  std::function<std::vector<use>(d_env&)> make;
};

template <class T, class... Args>
std::shared_ptr<T> make(Args&&... args) {
  return std::make_shared<T>(std::forward<Args>(args)...);
}

using strings = d_list<std::string>;
using lists = d_list<d_list<int>>;
using words = d_vector<std::string>;
using table = d_hashmap<std::string, std::string, strong_string_hash>;
using ordered = d_map<unsigned, unsigned, unsigned>;

after_close_row const rows[] = {
    {"list",
     [](d_env& env) -> std::vector<use> {
       auto l = make<strings>("list", &env);
       l->push_back("a");
       auto it = make<dl_iterator<std::string>>(l->begin());
       return {[=] { l->push_back("c"); }, [=] { l->size(); }, [=] { ++*it; },
               [=] { dl_assign<std::string>{*it} = "x"; }};
     }},
    {"list of lists",
     [](d_env& env) -> std::vector<use> {
       auto ll = make<lists>("lists", &env);
       d_list<int> inner(&env);
       inner.push_back(1);
       ll->push_back(inner);
       auto it = make<dl_iterator<d_list<int>>>(ll->begin());
       return {[=] { ll->pop_back(); }, [=] { (*it)->push_back(2); }};
     }},
    {"vector",
     [](d_env& env) -> std::vector<use> {
       auto v = make<words>("vector", 2, &env);
       v->push_back("a");
       auto it = make<d_vector_iterator<std::string>>(v->begin());
       auto element = make<d_vector_assign<std::string>>((*v)[0]);
       return {[=] { v->push_back("b"); }, [=] { (*v)[0]; }, [=] { **it; },
               [=] { *element = "x"; }};
     }},
    {"cells",
     [](d_env& env) -> std::vector<use> {
       auto var = make<d_var<std::string>>("var", &env);
       *var = "v";
       auto ptr = make<d_ptr<std::string>>(create_pointer(env.database), &env);
       auto proxy = make<d_ptr_assign<std::string>>(**ptr);
       auto ref = make<d_ref<std::string>>();
       ref->refer_to(d_ref<std::string>("r", &env).address(), env.stream);
       return {[=] { *var = "w"; }, [=] { **ptr; }, [=] { *proxy = "p"; },
               [=] { ref->get_data(); }};
     }},
    {"hash map",
     [](d_env& env) -> std::vector<use> {
       auto m = make<table>("table", 3, &env);
       m->put("a", "1");
       auto it = make<d_hashmap_iterator>(m->begin());
       auto entry = make<d_hashmap_assign<std::string, std::string>>((*m)["a"]);
       return {[=] { m->put("b", "2"); }, [=] { m->find("a"); }, [=] { ++*it; },
               [=] { *entry = "x"; }};
     }},
    {"ordered map",
     [](d_env& env) -> std::vector<use> {
       auto m = make<ordered>("ordered", &env);
       for (unsigned k = 0; k < 100; ++k) m->insert(k, k);
       auto it = make<ordered::iterator>(m->lower_bound(63));
       auto entry = make<d_map_assign<unsigned, unsigned, unsigned>>((*m)[5]);
       return {[=] { m->insert(200, 1); }, [=] { m->lower_bound(5); }, [=] { m->balance(); },
               [=] { ++*it; }, [=] { *entry = 1; }};
     }},
};

TEST(AfterClose, EveryKindRefusesUseAndWritesNothingWhenDestroyed) {
  for (auto const& row : rows) {
    SCOPED_TRACE(row.kind);
    test_support::scratch_dir dir;
    std::string const name = dir.file("db");
    d_env env{};
    ASSERT_TRUE(create_database(name, &env));
    d_database* db = open_database(name, &env);
    std::vector<use> uses = row.make(env);
    close_database(db);
    auto const closed = test_support::read_file(name + ".odb");
    for (std::size_t i = 0; i < uses.size(); ++i) {
      EXPECT_EQ(test_support::thrown_by(uses[i]), "database is closed...") << "use " << i;
    }
    uses.clear();
    EXPECT_EQ(test_support::read_file(name + ".odb"), closed);
  }
}

}  // namespace
