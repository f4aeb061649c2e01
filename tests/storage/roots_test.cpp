// Roots know what they hold and refuse a container of another kind; they are looked up,
// listed and removed without making new ones; database names are taken as tools take them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include <disk_tools/odb_compact.h>
#include <disk_tools/odb_copy.h>
#include <disk_tools/odb_stat.h>
#include "harness.h"

// A stored type whose kind_name is a word of n bytes.
template <int n>
struct named_wide {
  std::int32_t value;
};
template <int n>
struct disk_tools::kind_name<named_wide<n>> {
  static std::string get() { return std::string(n, 'w'); }
};

// Types given words of their own: a plain one, and one kept through its codec.
struct named_point {
  std::int32_t x, y;
  bool operator<(named_point const& o) const { return x < o.x || (x == o.x && y < o.y); }
};
template <>
struct disk_tools::kind_name<named_point> {
  static std::string get() { return "point"; }
};
struct named_label {
  std::string text;
  bool operator<(named_label const& o) const { return text < o.text; }
};
template <>
struct disk_tools::codec<named_label> {
  static void encode(named_label const& l, std::string& out) { out = l.text; }
  static named_label decode(std::string_view bytes) { return named_label{std::string(bytes)}; }
};
template <>
struct disk_tools::kind_name<named_label> {
  static std::string get() { return "label"; }
};

// A plain type whose word is a container's.
struct named_like_a_list {
  std::int64_t value;
  bool operator<(named_like_a_list const& o) const { return value < o.value; }
};
template <>
struct disk_tools::kind_name<named_like_a_list> {
  static std::string get() { return "list"; }
};

using namespace disk_tools;
using test_support::thrown_by;

namespace {

using string_map = d_map<d_ref<std::string>, d_ref<std::string>, std::string>;
using number_map = d_map<unsigned, unsigned, unsigned>;

// One container kind: its descriptor, and how to attach it at the root "r" (in mode) and
// store something in it.
struct kind_case { std::string kind; std::function<void(d_env*, d_root)> fill; };

// A kind with its article as messages name it: "an ordered<...>", else "a ...".
std::string a(std::string const& kind) {
  return (kind.rfind("ordered<", 0) == 0 ? "an " : "a ") + kind;
}

std::vector<kind_case> const kinds = {
    {"var<string>", [](d_env* e, d_root m) { d_var<std::string>("r", e, m) = "string"; }},
    {"var<long>", [](d_env* e, d_root m) { d_var<long>("r", e, m) = 6; }},
    {"list<string>", [](d_env* e, d_root m) { d_list<std::string>("r", e, m).push_back("a"); }},
    {"list<list<int>>",
     [](d_env* e, d_root m) {
       d_list<d_list<int>> outer("r", e, m);
       d_list<int> inner(e);
       inner.push_back(1);
       outer.push_back(inner);
     }},
    {"vector<string>",
     [](d_env* e, d_root m) { d_vector<std::string>("r", 2, e, m).push_back("a"); }},
    // Grown from no slots to 4, its first words read as a hash map's header of one bucket too.
    {"vector<string>", [](d_env* e, d_root m) { d_vector<std::string>("r", e, m).push_back("a"); }},
    {"hashmap<string,string>",
     [](d_env* e, d_root m) { d_hashmap<std::string, std::string>("r", 8, e, m).put("k", "v"); }},
    {"hashmap<unsigned long,string>",
     [](d_env* e, d_root m) { d_hashmap<std::uint64_t, std::string>("r", e, m).put(1, "v"); }},
    {"hashmap<unsigned long,unsigned long>",
     [](d_env* e, d_root m) {
       d_hashmap<std::uint64_t, std::uint64_t> slots("r", e, m);
       for (std::uint64_t k = 0; k < 20; ++k) slots.put(k, k);
     }},
    {"hashmap<string,list<string>>",
     [](d_env* e, d_root m) {
       d_hashmap<std::string, d_list<std::string>> map("r", e, m);
       map["w"].push_back("p");
     }},
    {"hashmap<string,vector<string>>",
     [](d_env* e, d_root m) {
       d_hashmap<std::string, d_vector<std::string>> map("r", e, m);
       for (char c : std::string("abcde")) map["w"].push_back(std::string(1, c));
     }},
    {"map<string,string>",
     [](d_env* e, d_root m) {
       string_map map("r", e, m);
       map.put(d_ref<std::string>("k", e), d_ref<std::string>("v", e));
     }},
    {"map<unsigned,unsigned>", [](d_env* e, d_root m) { number_map("r", e, m).put(1, 2); }},
    // Typed maps (records like a map's): strings in their slots and in blocks of their own,
    // lists and vectors (grown past their first header) as values.
    {"ordered<string,string>",
     [](d_env* e, d_root m) {
       d_map<std::string, std::string> map("r", e, m);
       map.put("k", std::string(40, 'v'));
       map.put(std::string(30, 'k'), "v");
     }},
    {"ordered<unsigned long,double>",
     [](d_env* e, d_root m) { d_map<unsigned long, double>("r", e, m).put(1, 2.5); }},
    {"ordered<string,list<string>>",
     [](d_env* e, d_root m) {
       d_map<std::string, d_list<std::string>> map("r", e, m);
       map[std::string(30, 'w')].push_back("p");
       map["w"].push_back(std::string(30, 'q'));
     }},
    {"ordered<unsigned long,vector<unsigned long>>",
     [](d_env* e, d_root m) {
       d_map<unsigned long, d_vector<unsigned long>> map("r", e, m);
       for (unsigned long i = 0; i < 5; ++i) map[i % 2].push_back(i);
     }},
    // Words of the user's own carry the shape of their slots.
    {"ordered<int,point<bytes<8>>>",
     [](d_env* e, d_root m) { d_map<int, named_point>("r", e, m).put(1, named_point{2, 3}); }},
    {"ordered<label<codec>,point<bytes<8>>>",
     [](d_env* e, d_root m) {
       d_map<named_label, named_point> map("r", e, m);
       map.put(named_label{std::string(40, 'k')}, named_point{1, 2});
       map.put(named_label{"k"}, named_point{3, 4});
     }},
};

// A database opened the way new programs open one: kinds are recorded.
class RootsTest : public test_support::database_test {
 protected:
  RootsTest() : database_test("", d_open_options{}) {}
  std::vector<d_alloc_node> in_use() { return db_->allocator()->allocation_list(); }
};

// Every kind made at a root opens again as itself and is refused as every other, naming
// the root and both kinds, writing nothing. Before kinds were recorded a hash map opened as
// a map said "corrupt database file..." and a string variable read as a long gave 6.
TEST_F(RootsTest, ARootOpensAsTheKindItWasMadeAsAndIsRefusedAsAnyOther) {
  for (auto const& made : kinds) {
    ASSERT_TRUE(db_->remove_root("r") || made.kind == kinds.front().kind);
    made.fill(&env_, d_root::open_or_create);
    reopen();
    for (auto const& opened : kinds) {
      SCOPED_TRACE(made.kind + " opened as " + opened.kind);
      std::vector<char> const before = test_support::read_file(path());
      auto const attach = [&] { opened.fill(&env_, d_root::existing); };
      if (opened.kind == made.kind) {
        EXPECT_EQ(thrown_by(attach), "");
      } else {
        EXPECT_TRUE(test_support::throws_error(
            attach, errc::wrong_kind,
            "root \"r\" holds " + a(made.kind) + ", not " + a(opened.kind) + "..."));
        EXPECT_EQ(test_support::read_file(path()), before);
      }
    }
    EXPECT_EQ(db_->roots().at(0).kind, made.kind);
  }
}

// Without a record (an older file, or the plain opening) a container whose first records cannot be
// of the kind asked for is refused all the same, naming its shape's kind (for the two maps, which
// differ in node size alone, the map it is); so is one opened as a variable. A variable's content
// cannot be told from damage, and is refused as either; element types are told only by a hash map's
// header or a map's nodes, else the root opens. A refusal writes nothing and the file checks clean.
// A typed map, which a map's shape check would take, records its kind under the plain opening too.
TEST_F(RootsTest, UnrecordedRootsAreRefusedWhereTheirShapeCannotBeTheKind) {
  auto const word = [](std::string const& kind) { return kind.substr(0, kind.find('<')); };
  for (auto const& made : kinds) {
    options_->record_kinds = false;
    afresh();
    made.fill(&env_, d_root::open_or_create);
    close();
    options_->record_kinds = true;
    std::vector<char> const original = test_support::read_file(path());
    bool const typed = word(made.kind) == "ordered";
    for (auto const& opened : kinds) {
      if (opened.kind == made.kind) continue;
      SCOPED_TRACE(made.kind + " opened as " + opened.kind);
      test_support::write_file(path(), original);
      open();
      auto const attach = [&] { opened.fill(&env_, d_root::existing); };
      std::string const message = thrown_by(attach);
      errc const code = message.empty() ? errc{} : test_support::code_thrown_by(attach);
      close();
      bool const maps = word(made.kind) == "map" && word(opened.kind) == "map";
      if (typed || maps || (word(made.kind) != word(opened.kind) && word(made.kind) != "var")) {
        std::string const held = typed || maps ? made.kind : word(made.kind);
        EXPECT_EQ(message, "root \"r\" holds " + a(held) + ", not " + a(opened.kind) + "...");
      } else if (message.empty()) {
        EXPECT_EQ(word(made.kind), word(opened.kind)) << "opened";
        continue;
      } else {
        EXPECT_TRUE(code == errc::wrong_kind || code == errc::corrupt) << message;
      }
      EXPECT_EQ(test_support::read_file(path()), original);
      EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
    }
    test_support::write_file(path(), original);
    open();
    EXPECT_EQ(thrown_by([&] { made.fill(&env_, d_root::existing); }), "");
    EXPECT_EQ(db_->roots().at(0).kind, typed ? made.kind : "");
  }
  // Sixteen zero bytes are a variable's value and an empty vector's header: the variable opens.
  struct two_words {
    std::int64_t a, b;
  };
  options_->record_kinds = false;
  afresh();
  d_var<two_words>("r", &env_) = two_words{0, 0};
  reopen();
  EXPECT_EQ(thrown_by([&] { d_var<two_words>("r", &env_, d_root::existing).get_data(); }), "");
}

// The plain opening records nothing, so that its programs' files keep their bytes (name
// fields padded with zeros); a later opening that records kinds leaves those roots alone,
// reading and writing through them unchecked.
TEST_F(RootsTest, PlainOpeningsRecordNoKindAndLaterOpeningsLeaveTheirRootsAlone) {
  options_.reset();
  reopen();
  d_list<std::string>("plain", &env_).push_back("a");
  close();
  auto const bytes = test_support::read_file(path());
  std::size_t const field = directory_entry::directory_offset;
  EXPECT_EQ(std::string(&bytes[field], 6), std::string("plain\0", 6));
  EXPECT_EQ(std::vector<char>(&bytes[field + 5], &bytes[field + 128]), std::vector<char>(123, 0));
  options_ = d_open_options{};
  open();
  EXPECT_EQ(d_list<std::string>("plain", &env_, d_root::existing).size(), 1u);
  EXPECT_EQ(db_->roots().at(0).kind, "");
  close();
  EXPECT_EQ(test_support::read_file(path()), bytes);
}

// A kind record whose bytes do not add up is damage: not trusted, named by the checker.
TEST_F(RootsTest, ADamagedKindRecordIsReportedAndNotTrusted) {
  d_var<long>("n", &env_) = 1;
  close();
  auto bytes = test_support::read_file(path());
  std::size_t const text = directory_entry::directory_offset + 1 + kind_record::text_offset;
  ASSERT_EQ(std::string(&bytes[text], 9), "var<long>");
  bytes[text + 4] = 'L';
  test_support::write_file(path(), bytes);
  EXPECT_EQ(check_database_file(path()),
            std::vector<std::string>{"directory entry 0: the bytes after the name are no kind record"});
  open();
  EXPECT_EQ(thrown_by([&] { d_var<long>("n", &env_); }), "corrupt database file...");
  EXPECT_EQ(thrown_by([&] { db_->remove_root("n"); }), "corrupt database file...");
}

// A root whose kind cannot be recorded is not made, and nothing is written. Without the record,
// a vector of longs under a long name opened again as a vector of doubles and read its bytes as
// doubles ("vector<long>" takes 16 bytes after the name's field of 128: the name's 0, 3 around
// it). A descriptor longer than a record holds ("var<" and ">" around the word: 121 bytes) was
// refused as "root name too long to record its kind..." under a name of one letter, which no
// shorter name could help. A word that with its shape reads as a map of lists (list<bytes<8>>)
// would have a removal of the map walk each value as a list. The longest name and descriptor
// that fit are recorded, and the plain opening, which records nothing, makes the long name.
TEST_F(RootsTest, ARootWhoseKindCannotBeRecordedIsRefusedUnwritten) {
  std::string const fits(112, 'n'), too_long(113, 'n');
  struct row { char const* what; std::function<void()> make; std::string message; };
  row const rows[] = {
      {"a name that leaves no room for its kind",
       [&] { d_vector<long>(too_long, 2, &env_); },
       "root name too long to record its kind..."},
      {"a kind too long for any record", [&] { d_var<named_wide<116>>("w", &env_); },
       "root kind too long to record: a descriptor holds at most 120 bytes; give its element "
       "types shorter words (kind_name)..."},
      {"a word taken by a container", [&] { d_map<int, named_like_a_list>("r", &env_); },
       "kind_name word taken by a container (list, vector): give the type a word of its "
       "own..."},
  };
  for (row const& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<char> const before = bytes();
    EXPECT_TRUE(test_support::throws_error(r.make, errc::bad_name, r.message));
    EXPECT_TRUE(bytes() == before) << "a refused root changed the file";
  }
  d_vector<long>(fits, 2, &env_).push_back(1000);
  d_var<named_wide<115>>("w", &env_) = named_wide<115>{7};
  reopen();
  EXPECT_EQ(thrown_by([&] { d_vector<double>(fits, 2, &env_); }),
            "root \"" + fits + "\" holds a vector<long>, not a vector<double>...");
  EXPECT_EQ(db_->roots().at(1).name, "w");
  EXPECT_EQ(db_->roots().at(1).kind, "var<" + std::string(115, 'w') + ">");
  EXPECT_EQ(d_var<named_wide<115>>("w", &env_).get_data().value, 7);
  options_.reset();
  reopen();
  d_vector<long>(too_long, 2, &env_).push_back(1);
  EXPECT_TRUE(db_->has_root(too_long));
}

// A misspelt name on a read path is refused and registers nothing; has_root and roots()
// see what is there, with its kind.
TEST_F(RootsTest, OpenExistingRefusesAMissingRootAndRegistersNothing) {
  d_var<long>("count", &env_) = 3;
  EXPECT_TRUE(test_support::throws_error([&] { d_var<long>("cuont", &env_, d_root::existing); },
                                         errc::out_of_range,
                                         "no root \"cuont\" in the database..."));
  EXPECT_FALSE(db_->has_root("cuont"));
  EXPECT_TRUE(db_->has_root("count"));
  reopen();
  auto const roots = db_->roots();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].name, "count");
  EXPECT_EQ(roots[0].kind, "var<long>");
  EXPECT_NE(roots[0].holds, no_address);
  EXPECT_EQ(stat_database(path()).roots.at(0).kind, "var<long>");
}

// remove_root frees every block the container owned and its entry for any other kind, as
// one change: a rolled-back removal leaves the root whole.
TEST_F(RootsTest, RemoveRootFreesEveryBlockItOwnedAsOneChange) {
  std::size_t const blocks_before = in_use().size();
  for (auto const& k : kinds) {
    SCOPED_TRACE(k.kind);
    k.fill(&env_, d_root::open_or_create);
    std::size_t const filled = in_use().size();
    {
      d_transaction t(db_);
      EXPECT_TRUE(db_->remove_root("r"));
    }
    EXPECT_TRUE(db_->has_root("r"));
    EXPECT_EQ(in_use().size(), filled);
    EXPECT_TRUE(db_->remove_root("r"));
    EXPECT_FALSE(db_->remove_root("r"));
    EXPECT_FALSE(db_->has_root("r"));
    EXPECT_EQ(in_use().size(), blocks_before);
    reopen();
    EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
  }
}

// Objects still attached to a removed root (inner lists, pointers, iterators) refuse every
// use, also once new roots take its entry and blocks (they wrote into those before); a
// removal rolled back leaves them working. An object or iterator of a root whose making
// was rolled back refuses its use though another root took the entry meanwhile.
TEST_F(RootsTest, ObjectsOfARemovedRootRefuseTheirUseWhenNewRootsTakeItsPlace) {
  char const* const names[] = {"list", "vec", "map", "var", "hash", "slots"};
  d_list<std::string> list("list", &env_);
  d_vector<std::string> vec("vec", &env_);
  d_map<std::string, d_list<std::string>> map("map", &env_);
  d_var<std::string> var("var", &env_);
  d_ptr<std::string> ptr(var, &env_);
  d_hashmap<std::string, std::string> hash("hash", 8, &env_);
  d_hashmap<std::uint64_t, std::uint64_t> slots("slots", &env_);
  d_list<std::string> inner = map["w"];
  list.push_back("a"), vec.push_back("a"), inner.push_back("a");
  hash.put("k", "a"), slots.put(1, 2);
  auto list_at = list.begin(), inner_at = inner.begin();
  auto vec_at = vec.begin();
  auto map_at = map.begin();
  auto hash_at = hash.begin();
  auto slots_at = slots.begin();
  {
    d_transaction t(db_);
    for (auto name : names) EXPECT_TRUE(db_->remove_root(name));
  }
  list.push_back("b"), vec.push_back("b"), inner.push_back("b"), *ptr = "b";
  EXPECT_EQ(list.size() + vec.size() + inner.size(), 6u);
  EXPECT_EQ(*list_at + *inner_at + *vec_at + hash_at->second, "aaaa");
  EXPECT_EQ((*map_at).key + std::to_string(slots_at->second), "w2");

  for (auto name : names) EXPECT_TRUE(db_->remove_root(name));
  d_list<std::string> new_list("new_list", &env_);
  d_vector<std::string> new_vec("new_vec", &env_);
  d_map<std::string, d_list<std::string>> new_map("new_map", &env_);
  d_var<std::string> new_var("new_var", &env_);
  new_map["w"];
  std::string const removed = "container was removed with its root: make it again...";
  // The iterators name blocks the new roots may have taken: they read and write none.
  std::function<void()> const uses[] = {
      [&] { list.push_back("c"); }, [&] { vec.push_back("c"); }, [&] { inner.push_back("c"); },
      [&] { map["w"]; }, [&] { var = "c"; }, [&] { *ptr = "c"; }, [&] { (void)*list_at; },
      [&] { ++inner_at; }, [&] { dl_assign<std::string>{inner_at} = "c"; },
      [&] { new_map["w"].insert(inner_at, "c"); }, [&] { new_map["w"].erase(inner_at); },
      [&] { (void)*vec_at; }, [&] { (void)*map_at; }, [&] { ++map_at; },
      [&] { (void)*hash_at; }, [&] { ++slots_at; }, [&] { (void)hash.size(); },
      [&] { (void)slots.size(); }, [&] { (void)hash.buckets(); }};
  for (auto const& use : uses) EXPECT_EQ(thrown_by(use), removed) << "use " << &use - uses;
  EXPECT_EQ(new_list.size() + new_vec.size() + new_map.size() + new_map["w"].size(), 1u);
  EXPECT_EQ(new_var.get_data(), "");

  std::optional<d_list<std::string>> undone;
  dl_iterator<std::string> undone_at;
  {
    d_transaction t(db_);
    undone.emplace("undone", &env_);
    undone->push_back("a");
    undone_at = undone->begin();
  }
  d_list<std::string> taker("taker", &env_);
  taker.push_back("t");
  std::string const rolled_back = "container was rolled back: make it again...";
  EXPECT_EQ(thrown_by([&] { undone->push_back("c"); }), rolled_back);
  EXPECT_EQ(thrown_by([&] { (void)*undone_at; }), rolled_back);
  EXPECT_EQ(thrown_by([&] { taker.insert(undone_at, "c"); }), rolled_back);
  EXPECT_EQ(std::vector<std::string>(taker.begin(), taker.end()), std::vector<std::string>{"t"});
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

// Transactions that each make an inner list and roll back: every round's object refuses
// its use, one made afterwards at the same place works, and the opening keeps one window
// of refusal, not one a round (a retry loop would otherwise grow it without end).
TEST_F(RootsTest, MakingsRolledBackInALoopKeepOneWindowOfRefusal) {
  d_map<std::string, d_list<std::string>> map("map", &env_);
  std::vector<d_list<std::string>> rounds;
  for (int i = 0; i < 100; ++i) {
    d_transaction t(db_);
    rounds.push_back(map["w"]);
    rounds.back().push_back("x");
  }
  for (auto& l : rounds) {
    EXPECT_EQ(thrown_by([&] { l.push_back("y"); }), "container was rolled back: make it again...");
  }
  d_list<std::string> kept = map["w"];
  kept.push_back("z");
  EXPECT_EQ(map["w"].size(), 1u);
  std::size_t windows = 0;
  for (auto const& entry : db_->state()->gone) windows += entry.second.size();
  EXPECT_LE(windows, 2u);
  EXPECT_EQ(db_->state()->undone.size(), db_state::undone_limit);
}

// Holds an iterator of each container kind across a rolled-back transaction
// that adds 200 elements to c (one element at first, as in u). The iterator
// moved to c's last element inside the transaction may stand on what the
// rollback took back: it is refused. The one made before, and one made inside
// on u, which the transaction left alone, read on.
template <class C, class Add, class Read>
void iterators_across_a_rollback(char const* what, d_database* db, d_env* env, Add add, Read read) {
  SCOPED_TRACE(what);
  C c("c", env), u("u", env);
  add(c, 0);
  add(u, 0);
  auto const before = c.begin();
  auto moved = c.begin();
  auto untouched = u.begin();
  try {
    d_transaction t(db);
    for (int i = 1; i < 200; ++i) add(c, i);
    for (auto it = c.begin(); it != c.end(); ++it) moved = it;
    untouched = u.begin();
    throw std::runtime_error("undo");
  } catch (std::runtime_error const&) {
  }
  EXPECT_TRUE(test_support::throws_error(
      [&] { read(moved); }, errc::rolled_back,
      "iterator is stale: it was made or moved in a transaction that was rolled back; "
      "make it again..."));
  // Read before the container object itself looks again at its file.
  auto const read_before = read(before);
  EXPECT_EQ(read_before, read(c.begin()));
  EXPECT_EQ(read(untouched), read(u.begin()));
  EXPECT_EQ(static_cast<std::size_t>(c.size()), 1u);
  db->remove_root("c");
  db->remove_root("u");
}

// Before, such an iterator read the freed blocks: "corrupt database file..."
// for a sound file, and the slot table's gave a pair the rollback took back.
TEST_F(RootsTest, IteratorsCopiedInARolledBackTransactionAreRefusedOthersReadOn) {
  iterators_across_a_rollback<d_list<std::string>>(
      "list", db_, &env_, [](auto& l, int i) { l.push_back(std::to_string(i)); },
      [](auto const& it) { return std::string(*it); });
  iterators_across_a_rollback<d_map<std::string, std::string>>(
      "ordered map of strings", db_, &env_,
      [](auto& m, int i) { m.put("k" + std::to_string(1000 + i), std::string(40, 'v')); },
      [](auto const& it) { return it->key; });
  iterators_across_a_rollback<d_hashmap<std::string, std::string>>(
      "hash map of strings", db_, &env_, [](auto& m, int i) { m.put(std::to_string(i), "v"); },
      [](auto const& it) { return it->first; });
  iterators_across_a_rollback<d_hashmap<std::uint64_t, std::uint64_t>>(
      "slot table", db_, &env_, [](auto& m, int i) { m.put(static_cast<std::uint64_t>(i), 1); },
      [](auto const& it) { return it->first; });
  reopen();
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

// An inner list kept at a root of its own survives the removal of the list holding it. A
// root whose kind is not recorded is not removed: its blocks cannot be told apart.
TEST_F(RootsTest, RemoveRootLeavesWhatOtherRootsOwnAndRefusesAnUnknownKind) {
  {
    d_list<int> named("inner", &env_);
    named.push_back(7);
    d_list<d_list<int>> outer("outer", &env_);
    outer.push_back(named);
  }
  EXPECT_TRUE(db_->remove_root("outer"));
  EXPECT_EQ(*d_list<int>("inner", &env_, d_root::existing).begin(), 7);
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});

  options_->record_kinds = false;
  reopen();
  d_var<long>("old", &env_) = 1;
  EXPECT_EQ(thrown_by([&] { db_->remove_root("old"); }),
            "root \"old\" records no kind: its blocks cannot be told apart...");
  EXPECT_TRUE(db_->has_root("old"));
}

// record_kind takes only a descriptor a walk can follow: another, recorded, would keep the
// root from being removed or compacted for good. An empty root is held to the same rule.
TEST_F(RootsTest, RecordKindRefusesADescriptorNoWalkCanFollowAndRecordsNothing) {
  options_->record_kinds = false;
  reopen();
  d_list<int> list("l", &env_);
  list.push_back(7);
  db_->get_address("empty");
  auto const before = test_support::read_file(path());
  for (std::string const root : {"l", "empty"}) {
    for (std::string const kind : {"garbage", "list", "list<int", "list<int,int>", "lists<int>",
                                   "list<list<int,int>>", "map<int,int>", "ordered<int,point>",
                                   "hashmap<string,list<int,int>>"}) {
      SCOPED_TRACE(root + " as " + kind);
      auto const record = [&] { db_->record_kind(root, kind); };
      EXPECT_EQ(thrown_by(record).rfind("unknown root kind \"", 0), 0u) << thrown_by(record);
      EXPECT_EQ(test_support::code_thrown_by(record), errc::wrong_kind);
    }
  }
  EXPECT_EQ(test_support::read_file(path()), before);
  for (d_root_info const& r : db_->roots()) EXPECT_EQ(r.kind, "") << r.name;
  db_->record_kind("l", "list<int>");
  db_->record_kind("empty", "map<string,string>");
  EXPECT_TRUE(db_->remove_root("l"));
  EXPECT_TRUE(db_->remove_root("empty"));
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

// A typed map of a type with a word of its own recorded that word alone, which does not say
// how its slots are laid out: the map could never be removed, nor its file compacted ("unknown
// root kind..."). Such a file still opens, also read-only, and the map's first writable opening
// records the shape, after which both work.
TEST_F(RootsTest, AMapRecordedWithoutTheShapeOfItsOwnWordsGetsItWhenOpened) {
  std::size_t const blocks_before = in_use().size();
  {
    d_map<int, named_point> m("points", &env_);
    for (int i = 0; i < 100; ++i) m.put(i, named_point{i, -i});
  }
  close();
  test_support::record_kind_in_file(path(), "points", "ordered<int,point>");
  auto const read_back = [&] {
    d_map<int, named_point> m("points", &env_, d_root::existing);
    named_point p{};
    EXPECT_TRUE(m.get(7, p));
    EXPECT_EQ(p.y, -7);
    EXPECT_EQ(m.size(), 100u);
  };

  options_ = test_support::reading();
  open();
  read_back();
  EXPECT_EQ(db_->roots().at(0).kind, "ordered<int,point>");
  close();
  EXPECT_EQ(thrown_by([&] { compact_database(path()); }), "unknown root kind \"point\"...");

  options_ = d_open_options{};
  open();
  EXPECT_EQ(thrown_by([&] { db_->remove_root("points"); }), "unknown root kind \"point\"...");
  read_back();
  EXPECT_EQ(db_->roots().at(0).kind, "ordered<int,point<bytes<8>>>");
  close();
  EXPECT_EQ(thrown_by([&] { compact_database(path()); }), "");
  open();
  read_back();
  EXPECT_TRUE(db_->remove_root("points"));
  EXPECT_EQ(in_use().size(), blocks_before);
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

// "x.odb" is the database x, the empty name is refused before any file is made, and
// create_if_missing makes a missing database once and never empties one.
TEST(DatabaseNames, TheFileNameOpensItsDatabaseTheEmptyNameIsRefusedAndMissingOnesAreMade) {
  test_support::scratch_dir dir;
  d_env env{};
  std::string const x = dir.file("x");
  d_open_options make;
  make.create_if_missing = true;
  d_database* db = open_database(x + ".odb", &env, make);
  EXPECT_EQ(db->file_name(), x + ".odb");
  d_var<std::string>("v", &env) = "kept";
  close_database(db);
  db = open_database(x, &env, make);
  EXPECT_EQ(d_var<std::string>("v", &env, d_root::existing).get_data(), "kept");
  close_database(db);
  EXPECT_FALSE(std::filesystem::exists(x + ".odb.odb"));

  test_support::write_file(dir.file("empty.odb"), {});
  EXPECT_EQ(thrown_by([&] { open_database(dir.file("empty"), &env, make); }),
            "not a database file...");
  EXPECT_EQ(test_support::file_size(dir.file("empty.odb")), 0);

  // A folder's name ("sub/") would name a hidden ".odb" in it as well.
  std::string const sub = dir.file("sub") + "/";
  std::filesystem::create_directory(sub);
  std::string const empty = "empty database name...";
  std::string const folder = "database name ends in '/': name a file in the folder...";
  std::string const dots = "database name is a folder's ('.' or '..'): name a file in it...";
  std::string const zero = "database name holds a 0 byte...";
  std::filesystem::copy_file(x + ".odb", x);
  for (auto const& [call, message] : std::vector<std::pair<std::function<void()>, std::string>>{
           {[&] { open_database("", &env); }, empty},
           {[&] { open_database("", &env, make); }, empty},
           {[&] { create_database("", &env); }, empty},
           {[&] { delete_database(""); }, empty},
           {[&] { copy_database(x, ""); }, empty},
           {[&] { copy_database("", x); }, empty},
           {[&] { compact_database(""); }, empty},
           {[&] { open_database(sub, &env, make); }, folder},
           {[&] { create_database(sub, &env); }, folder},
           {[&] { copy_database(x, sub); }, folder},
           {[&] { compact_database(sub); }, folder},
           {[&] { open_database(dir.file("."), &env, make); }, dots},
           {[&] { create_database(sub + "..", &env); }, dots},
           {[&] { copy_database(x, "."); }, dots},
           // Up to its 0 byte, the name is another file's: "x", here a database.
           {[&] { open_database(x + std::string(1, '\0') + "y", &env); }, zero},
           {[&] { create_database(x + std::string(1, '\0') + ".odb", &env); }, zero},
           {[&] { copy_database(x, x + std::string(1, '\0') + "y"); }, zero}}) {
    EXPECT_EQ(thrown_by(call), message);
  }
  EXPECT_FALSE(std::filesystem::exists(".odb"));
  EXPECT_TRUE(std::filesystem::is_empty(sub));
  EXPECT_EQ(test_support::read_file(x), test_support::read_file(x + ".odb"));
}

}  // namespace
