// What a list of lists owns: its inner lists, freed with the elements that hold them, but
// for one kept at a root of its own; and a root list held as an element, which removing the
// root must not free under the list of lists.
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/odb_check.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;

namespace {

using test_support::thrown_by;
using strings = d_list<std::string>;
using lists = d_list<strings>;

class ListOfListsTest : public test_support::database_test {
 protected:
  ListOfListsTest() : database_test("", d_open_options{}) {}
  std::size_t blocks_in_use() { return db_->allocator()->allocation_list().size(); }
  // The file as the next opening finds it: no damage, and no block in use that no root owns.
  void expect_clean() {
    close();
    database_check const check = check_database(path());
    EXPECT_EQ(check.problems, std::vector<std::string>{});
    EXPECT_EQ(check.notes, std::vector<std::string>{}) << "blocks no root owns";
    open();
  }
};

std::vector<std::string> contents(strings l) { return {l.begin(), l.end()}; }

// Taking an element out of a list of lists (erase, pop_front, pop_back, clear, or dl_assign
// giving it another list) freed its value block and node alone: the inner list's handle,
// header, sentinel, nodes and values stayed in use with nothing naming them. They go with
// the element now, in the same change (a rollback brings them back), and the objects still
// attached to a freed inner list refuse use; an inner list kept at a root stays with it.
TEST_F(ListOfListsTest, TakingElementsOutFreesTheirInnerListsButOneKeptAtARoot) {
  struct {
    char const* what;
    std::function<void(lists&, strings&)> take_out;  // every element, or replaced by kept
  } const rows[] = {
      {"erase by iterator",
       [](lists& o, strings&) {
         for (auto it = o.begin(); it != o.end();) o.erase(it);
       }},
      {"pop_front", [](lists& o, strings&) { while (!o.empty()) o.pop_front(); }},
      {"pop_back", [](lists& o, strings&) { while (!o.empty()) o.pop_back(); }},
      {"clear", [](lists& o, strings&) { o.clear(); }},
      {"dl_assign",
       [](lists& o, strings& kept) {
         for (auto it = o.begin(); it != o.end(); ++it) dl_assign<strings>{it} = kept;
       }},
  };
  for (auto const& row : rows) {
    for (bool const rolled_back_first : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (rolled_back_first ? ", rolled back first" : ""));
      afresh();
      strings kept("kept", &env_);
      kept.push_back("stays");
      lists outer("outer", &env_);
      std::size_t const empty = blocks_in_use();
      strings inner(&env_);
      for (char const* s : {"a", "b", "c"}) inner.push_back(s);
      outer.push_back(inner);
      outer.push_back(kept);
      outer.push_back(strings(&env_));
      strings held = outer.front();
      auto in = held.begin();
      std::size_t const full = blocks_in_use();
      if (rolled_back_first) {
        {
          d_transaction tx(&env_);
          row.take_out(outer, kept);
          tx.rollback();
        }
        EXPECT_EQ(blocks_in_use(), full);
        EXPECT_EQ(outer.size(), 3u);
        EXPECT_EQ(contents(outer.front()), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(inner.size(), 3u);
        EXPECT_EQ(*in, "a");
      }
      row.take_out(outer, kept);
      // What stays: the outer list's own records, and a node and a value block for each
      // element left (each names the list kept at its root).
      EXPECT_EQ(blocks_in_use(), empty + 2 * outer.size());
      for (strings l : outer) EXPECT_EQ(contents(l), std::vector<std::string>{"stays"});
      std::string const gone =
          "list was taken out of its list of lists, which freed it: read the list of lists "
          "again...";
      EXPECT_EQ(thrown_by([&] { inner.size(); }), gone);
      EXPECT_EQ(thrown_by([&] { held.push_back("x"); }), gone);
      EXPECT_EQ(thrown_by([&] { (void)*in; }), gone);
      EXPECT_EQ(contents(kept), std::vector<std::string>{"stays"});
      expect_clean();
    }
  }
}

// An element given its own inner list again keeps it: only the old value block goes.
TEST_F(ListOfListsTest, AnElementGivenItsOwnListAgainKeepsIt) {
  lists outer("outer", &env_);
  strings inner(&env_);
  for (char const* s : {"a", "b"}) inner.push_back(s);
  outer.push_back(inner);
  std::size_t const full = blocks_in_use();
  auto it = outer.begin();
  dl_assign<strings>{it} = *it;
  EXPECT_EQ(blocks_in_use(), full);
  EXPECT_EQ(contents(outer.front()), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(inner.size(), 2u);
  expect_clean();
}

// Now that an element's inner list goes with it, one list held by two elements would be
// freed under the second when the first goes, which then read whatever list took its blocks.
// So a list that is an element already is refused as another, wherever it would go; a list
// kept at a root may be an element any number of times.
TEST_F(ListOfListsTest, AListThatIsAnElementAlreadyIsRefusedAsAnother) {
  using row_t = std::function<void(lists&, lists&, strings&)>;  // outer, other, the element
  struct {
    char const* what;
    row_t give;
  } const rows[] = {
      {"push_back again", [](lists& o, lists&, strings& in) { o.push_back(in); }},
      {"push_front again", [](lists& o, lists&, strings& in) { o.push_front(in); }},
      {"insert again", [](lists& o, lists&, strings& in) { o.insert(o.begin(), in); }},
      {"into another list of lists",
       [](lists&, lists& other, strings& in) { other.push_back(in); }},
      {"an element read back, into another",
       [](lists& o, lists& other, strings&) { other.push_back(o.front()); }},
      {"dl_assign to another element",
       [](lists& o, lists&, strings& in) {
         auto it = o.begin();
         ++it;
         dl_assign<strings>{it} = in;
       }},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    afresh();
    lists outer("outer", &env_), other("other", &env_);
    strings in(&env_);
    in.push_back("a");
    outer.push_back(in);
    outer.push_back(strings(&env_));
    close();
    std::vector<char> const before = test_support::read_file(path());
    open();
    lists outer_again("outer", &env_), other_again("other", &env_);
    strings element = outer_again.front();
    EXPECT_EQ(thrown_by([&] { row.give(outer_again, other_again, element); }),
              "list is an element of a list of lists already: each element needs a list of its "
              "own (d_list<T>(env)), or one kept at a root...");
    close();
    EXPECT_EQ(test_support::read_file(path()), before);
    open();
  }
  // The object given first is refused too, and so is a copy of it made before it was given
  // (each of a std::vector's copies of one new list); a root's list is not.
  afresh();
  lists outer("outer", &env_);
  strings in(&env_), kept("kept", &env_);
  outer.push_back(in);
  EXPECT_NE(thrown_by([&] { outer.push_back(in); }), "");
  std::vector<strings> copies(2, strings(&env_));
  outer.push_back(copies[0]);
  EXPECT_NE(thrown_by([&] { outer.push_front(copies[1]); }), "");
  for (int i = 0; i < 3; ++i) outer.push_back(kept);
  EXPECT_EQ(outer.size(), 5u);
  expect_clean();
}

// A list of lists of lists frees its middle lists and the lists inside them.
TEST_F(ListOfListsTest, DeeperListsGoWithTheirElement) {
  d_list<lists> deep("deep", &env_);
  std::size_t const empty = blocks_in_use();
  for (int i = 0; i < 3; ++i) {
    lists middle(&env_);
    strings inner(&env_);
    inner.push_back("x" + std::to_string(i));
    middle.push_back(inner);
    middle.push_back(strings(&env_));
    deep.push_back(middle);
  }
  deep.pop_front();
  deep.erase(deep.begin());
  deep.pop_back();
  EXPECT_EQ(blocks_in_use(), empty);
  expect_clean();
}

// A list kept at a root and stored in a list of lists: removing the root freed its blocks
// under the list of lists, whose element then read freed blocks (wrong values, or "corrupt
// database file..."), and odbcheck found nothing wrong. Now only the name goes and the
// list stays the list of lists' (at a root, or a map's value), which frees it with itself.
TEST_F(ListOfListsTest, RemovingTheRootOfAListHeldInAListOfListsKeepsItThere) {
  using numbers = d_list<long>;
  using held_in = d_list<numbers>;
  using map_of = d_map<std::string, held_in>;
  struct {
    char const* what;
    std::function<held_in(d_env*)> holder;
    std::function<void(d_database*, d_env*)> remove_holder;
  } const rows[] = {
      {"a list of lists at a root", [](d_env* e) { return held_in("outer", e); },
       [](d_database* db, d_env*) { EXPECT_TRUE(db->remove_root("outer")); }},
      {"a map's list of lists", [](d_env* e) { return map_of("m", e)["k"]; },
       [](d_database*, d_env* e) { EXPECT_TRUE(map_of("m", e).erase("k")); }},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    afresh();
    std::size_t const empty = blocks_in_use();
    {
      numbers r("r", &env_);
      for (long v : {10, 20, 30}) r.push_back(v);
      held_in outer = row.holder(&env_);
      outer.push_back(r);
      EXPECT_TRUE(db_->remove_root("r"));
      EXPECT_EQ(thrown_by([&] { r.size(); }),
                "container was removed with its root: make it again...");
      // The name is free for a root of another kind, which must not take the list's place.
      d_list<std::string> other("r", &env_);
      other.push_back("new");
    }
    reopen();
    for (numbers l : row.holder(&env_)) {
      EXPECT_EQ(std::vector<long>(l.begin(), l.end()), (std::vector<long>{10, 20, 30}));
    }
    expect_clean();
    row.remove_holder(db_, &env_);
    EXPECT_TRUE(db_->remove_root("r"));
    if (std::string(row.what) != "a list of lists at a root") {
      EXPECT_TRUE(db_->remove_root("m"));
    }
    EXPECT_EQ(blocks_in_use(), empty);
    expect_clean();
  }
}

// A root's list held by two elements: removing the root gave both elements one handle block,
// so taking the first out freed the list under the second, which then read whatever took its
// blocks. The removal is refused while more than one element holds the list, with nothing
// changed; once all but one let go, the name goes and the list stays the last element's.
TEST_F(ListOfListsTest, ARootListHeldByTwoElementsKeepsItsRootUntilOneLetsGo) {
  using numbers = d_list<long>;
  using held_in = d_list<numbers>;
  struct {
    char const* what;
    char const* second;  // the root of the list of lists holding the second element
  } const rows[] = {{"twice in one list of lists", "outer"}, {"in two lists of lists", "other"}};
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    afresh();
    {
      numbers r("r", &env_);
      for (long v : {10, 20, 30}) r.push_back(v);
      held_in outer("outer", &env_), second(row.second, &env_);
      outer.push_back(r);
      second.push_back(r);
    }
    close();
    std::vector<char> const before = test_support::read_file(path());
    open();
    EXPECT_TRUE(test_support::throws_error(
        [&] { db_->remove_root("r"); }, errc::wrong_kind,
        "list is an element of lists of lists more than once: removing its root would leave one "
        "list to several elements; take it out of all but one first..."));
    close();
    EXPECT_EQ(test_support::read_file(path()), before);
    open();
    held_in(row.second, &env_).pop_back();
    EXPECT_TRUE(db_->remove_root("r"));
    // Blocks freed now are taken by a new list: none may be the held list's.
    if (std::string(row.second) != "outer") {
      EXPECT_TRUE(db_->remove_root(row.second));
    }
    d_list<std::string> filler("filler", &env_);
    for (int i = 0; i < 20; ++i) filler.push_back(std::string(40, 'z'));
    reopen();
    held_in outer("outer", &env_);
    ASSERT_EQ(outer.size(), 1u);
    numbers kept = outer.front();
    EXPECT_EQ(std::vector<long>(kept.begin(), kept.end()), (std::vector<long>{10, 20, 30}));
    expect_clean();
  }
}


// A list can reach an object without it knowing that the list is an element: attached by
// the address of its handle block (grab), in this opening or another. The refusal knew only
// what objects of one opening had seen, so a new list and an object attached to it by address
// were each given as an element, and taking out the first freed the list under the second.
// Where an object cannot tell, the file is looked at, inside the change that would add it.
TEST_F(ListOfListsTest, AListFoundByAddressIsRefusedWhenAnElementNamesItInTheFile) {
  struct {
    char const* what;
    bool another_opening;
    bool found_given_first;  // the object attached by address is given first
  } const rows[] = {
      {"the new list given first, this opening", false, false},
      {"the list found by address given first, this opening", false, true},
      {"the new list given first, another opening", true, false},
      {"the list found by address given first, another opening", true, true},
  };
  std::string const refusal =
      "list is an element of a list of lists already: each element needs a list of its own "
      "(d_list<T>(env)), or one kept at a root...";
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    afresh();
    lists outer("outer", &env_);
    strings in(&env_);
    in.push_back("a");
    d_env other_env{};
    d_database* other = row.another_opening ? open_database(name(), &other_env, *options_)
                                            : nullptr;
    d_env& env = row.another_opening ? other_env : env_;
    strings found;
    found.grab(env.stream, in.handle(), env.allocator, env.database);
    lists second("second", &env);
    std::function<void()> const give_new = [&] { outer.push_back(in); };
    std::function<void()> const give_found = [&] { second.push_back(found); };
    EXPECT_EQ(thrown_by(row.found_given_first ? give_found : give_new), "");
    EXPECT_EQ(thrown_by(row.found_given_first ? give_new : give_found), refusal);
    close_database(other);
    EXPECT_EQ(outer.size() + lists("second", &env_).size(), 1u);
    for (lists l : {lists("outer", &env_), lists("second", &env_)}) {
      for (strings inner : l) EXPECT_EQ(contents(inner), std::vector<std::string>{"a"});
    }
    expect_clean();
  }
}

}  // namespace
