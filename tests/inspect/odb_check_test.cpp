#include <disk_tools/odb_check.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/directory.h>
#include <disk_tools/detail/factories.h>
#include <disk_tools/detail/journal_records.h>
#include <disk_tools/odb_copy.h>
#include <disk_tools/odb_stat.h>
#include "harness.h"

// A plain type given a word of its own.
struct tagged_point {
  std::int32_t x, y;
};
template <>
struct disk_tools::kind_name<tagged_point> {
  static std::string get() { return "point"; }
};

using namespace disk_tools;

namespace {

bool mentions(std::vector<std::string> const& problems, std::string const& text) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](auto const& p) { return p.find(text) != std::string::npos; });
}

// Where text lies in the file: the first byte of its first copy.
word_t offset_of(std::vector<char> const& f, std::string const& text) {
  auto const at = std::search(f.begin(), f.end(), text.begin(), text.end());
  EXPECT_NE(at, f.end()) << text;
  return static_cast<word_t>(at - f.begin());
}

std::vector<char> with(std::vector<char> f, word_t at, word_t value) {
  encode_word(&f.at(static_cast<std::size_t>(at)), value);
  return f;
}

// The names of the first `entries` directory entries lose their terminating 0.
std::vector<char> unterminated(std::vector<char> f, int entries) {
  for (int i = 0; i < entries; ++i)
    std::fill_n(f.begin() + directory_entry::address_of(i), directory_entry::name_size, 'n');
  return f;
}

class CheckTest : public test_support::database_test {
 protected:
  // A database with blocks in use, free, split and merged.
  void fill() {
    std::mt19937 rng(7);
    std::vector<long> blocks;
    text_tools::bstringstream empty;
    for (int i = 0; i < 300; ++i) {
      blocks.push_back(db_->allocator()->allocate(1 + static_cast<long>(rng() % 64), empty));
      if (rng() % 3 == 0) {
        std::size_t const k = rng() % blocks.size();
        db_->allocator()->deallocate(blocks[k]);
        blocks.erase(blocks.begin() + static_cast<long>(k));
      }
    }
    db_->allocator()->compact();
    d_var<std::string> v("v", &env_);
    v = "value";
    close();
  }
  std::vector<std::string> check() { return check_database_file(path()); }
};

TEST_F(CheckTest, SoundFilesPassAndEachKindOfDamageIsReported) {
  EXPECT_TRUE(check().empty());
  EXPECT_EQ(test_support::code_thrown_by([&] { check_database_file(path() + ".absent"); }), errc::cannot_open);
  fill();
  auto const sound = bytes();
  auto const found = check();
  EXPECT_TRUE(found.empty()) << found.front();
  auto const first = [&](word_t head) {
    return d_alloc_node::decode(
        &sound.at(static_cast<std::size_t>(test_support::word_at(sound, head))));
  };
  auto const used = first(alloc_list_head), freed = first(free_list_head);
  auto marked_free = sound;
  marked_free.at(static_cast<std::size_t>(used.own + 32)) = 1;
  auto const put = [&](word_t at, word_t value) { return with(sound, at, value); };
  struct {
    char const* expected;
    std::vector<char> file;
    char const* absent = nullptr;
    std::size_t count = 0;  // of problems, when it must be this many
  } const cases[] = {
      {"shorter than the 13616-byte header", std::vector<char>(100, 'x'), nullptr, 1},
      {"cycle", put(freed.own + 24, freed.own)},
      {"outside the blocks", put(0, static_cast<word_t>(sound.size()) + 5)},
      {"gives its own address", put(used.own, used.own + 8)},
      // The overlap check measures a record where it was found: the claim may be any word.
      {"gives its own address as 9223372036854775807",
       put(used.own, std::numeric_limits<word_t>::max()), "overlaps"},
      {"overlaps", put(used.own + 16, used.size + 40)},
      {"is marked free", marked_free},
      {"ascending size order", put(used.own + 16, 1000000)},
      {"in both lists", put(freed.own + 24, used.own)},
      {"directory entry 0: the name has no terminating 0 byte", unterminated(sound, 1)},
  };
  for (auto const& c : cases) {
    test_support::write_file(path(), c.file);
    auto const problems = check();
    EXPECT_TRUE(mentions(problems, c.expected)) << c.expected;
    EXPECT_FALSE(c.absent && mentions(problems, c.absent)) << c.expected;
    EXPECT_TRUE(c.count == 0 || problems.size() == c.count) << c.expected;
  }
}

// Damage inside a root that records its kind: the root is walked block by block, and what cannot be
// followed is told with the root's name, where the allocator's lists alone find nothing wrong.
TEST_F(CheckTest, DamageInsideATypedRootIsToldByTheRoot) {
  std::string const long_value = "a value too long for its slot, kept in a block";
  std::string const entry = "an entry";
  std::string const erased_value = "a value as long as that one, erased since then";
  ASSERT_EQ(erased_value.size(), long_value.size());
  {
    d_map<std::string, std::string> names("names", &env_);
    names.put("key", long_value);
    d_map<std::string, d_list<std::string>> index("index", &env_);
    index["word"].push_back(entry);
    // Its block is free now, and still holds the string: the longer value
    // after it keeps it from the file's tail, which the close gives back.
    names.put("gone", erased_value);
    names.erase("gone");
    names.put("last", std::string(200, 'x'));
  }
  close();
  auto const sound = bytes();
  EXPECT_TRUE(check().empty());
  // A long string's block starts with the length word before its bytes; the
  // slot keeps the first 16 bytes and then the block's address.
  word_t const block = offset_of(sound, long_value) - word_size;
  std::string slot_bytes = long_value.substr(0, 16) + std::string(word_size, '\0');
  encode_word(&slot_bytes[16], block);
  word_t const slot_address_word = offset_of(sound, slot_bytes) + 16;
  word_t const entry_length_word = offset_of(sound, entry) - word_size;
  struct {
    char const* what;
    std::vector<char> file;
    char const* expected;
  } const cases[] = {
      {"a long string's length word off by one",
       with(sound, block, static_cast<word_t>(long_value.size()) + 2),
       "root \"names\" (ordered<string,string>) is damaged"},
      {"a slot naming a place inside its block", with(sound, slot_address_word, block + 8),
       "root \"names\" (ordered<string,string>) is damaged"},
      {"a slot naming a free block",
       with(sound, slot_address_word, offset_of(sound, erased_value) - word_size),
       "root \"names\" (ordered<string,string>) names the block at"},
      {"a list element's length beyond its block",
       with(sound, entry_length_word, static_cast<word_t>(entry.size()) + 200),
       "root \"index\" (ordered<string,list<string>>) keeps in the block at"},
  };
  for (auto const& c : cases) {
    test_support::write_file(path(), c.file);
    auto const problems = check();
    EXPECT_TRUE(mentions(problems, c.expected))
        << c.what << ": " << ::testing::PrintToString(problems);
  }
}

// A root whose recorded kind this code cannot walk was passed over in silence, so that "no
// problems found" covered a container nothing had looked inside: a note names it. (A typed map
// of a type with a word of its own, as older files recorded it; opened, it records its shape.)
TEST_F(CheckTest, ARootOfAKindThatCannotBeWalkedIsNamedInANote) {
  d_map<int, tagged_point>("points", &env_).put(1, tagged_point{2, 3});
  d_var<long>("n", &env_) = 1;
  close();
  test_support::record_kind_in_file(path(), "points", "ordered<int,point>");
  database_check c = check_database(path());
  EXPECT_EQ(c.problems, std::vector<std::string>{});
  EXPECT_EQ(c.notes, std::vector<std::string>{"root \"points\" (ordered<int,point>) was not "
                                              "walked: unknown root kind \"point\"..."});
  open();
  d_map<int, tagged_point>("points", &env_, d_root::existing);
  close();
  c = check_database(path());
  EXPECT_EQ(c.problems, std::vector<std::string>{});
  EXPECT_EQ(c.notes, std::vector<std::string>{});
}

// The counts a container's size() reads, a list's backward links and the links of a map's
// tree must agree with the records the walk finds: a wrong one is damage even when every
// block it names is in use.
TEST_F(CheckTest, CountsAndLinksThatDisagreeWithTheRecordsAreDamage) {
  {
    d_list<std::string> list("list", &env_);
    d_hashmap<std::string, std::string> hash("hash", &env_);
    d_map<unsigned, unsigned, unsigned> numbers("numbers", &env_);
    d_map<std::string, std::string> names("names", &env_);
    for (unsigned i = 0; i < 5; ++i) {
      list.push_back("element " + std::to_string(i));
      hash.put("key " + std::to_string(i), "value");
      numbers.put(i, 2 * i);
      names.put("name " + std::to_string(i), "value");
    }
    db_->record_kind("list", "list<string>");
    db_->record_kind("hash", "hashmap<string,string>");
    db_->record_kind("numbers", "map<unsigned,unsigned>");
    d_list<d_list<std::string>> lists("lists", &env_);
    d_vector<std::string> vec("vec", &env_);
    for (int i = 0; i < 2; ++i) {
      d_list<std::string> inner(&env_);
      inner.push_back("inner");
      lists.push_back(inner);
      vec.push_back("slot " + std::to_string(i));
    }
    db_->record_kind("lists", "list<list<string>>");
    db_->record_kind("vec", "vector<string>");
  }
  std::map<std::string, word_t> top;  // each root's container block
  for (d_root_info const& r : db_->roots()) top[r.name] = r.holds;
  close();
  auto const sound = bytes();
  ASSERT_EQ(check(), std::vector<std::string>{});
  auto const word = [&](word_t at) { return test_support::word_at(sound, static_cast<std::size_t>(at)); };
  word_t const sentinel = word(top["list"]);
  word_t const first_node = word(sentinel + 8);
  word_t const second_node = word(first_node + 8);
  word_t const numbers_root = word(top["numbers"] + 8);
  word_t const names_root = word(top["names"] + 8);
  // Blocks named twice, which two owners would each free: two nodes naming one value, two
  // slots of a vector one value.
  word_t const first_value = word(first_node + 24);
  word_t const vec_slots = top["vec"] + 16;
  struct {
    char const* what;
    word_t at, value;
    char const* root;
  } const cases[] = {
      {"the list's count one too many", sentinel + 32, 6, "root \"list\" (list<string>) is damaged"},
      {"the list's count one too few", sentinel + 32, 4, "root \"list\" (list<string>) is damaged"},
      {"a node's prev at the node after it", second_node + 16, word(second_node + 8),
       "root \"list\" (list<string>) is damaged"},
      {"the first node's prev past the file", first_node + 16, word_t{1} << 40,
       "root \"list\" (list<string>) is damaged"},
      {"the sentinel's prev at the first node", sentinel + 16, first_node,
       "root \"list\" (list<string>) is damaged"},
      {"the hash map's count one too many", top["hash"], 6,
       "root \"hash\" (hashmap<string,string>) is damaged"},
      {"the map's size one too few", top["numbers"], 4,
       "root \"numbers\" (map<unsigned,unsigned>) is damaged"},
      {"the typed map's size one too many", top["names"], 6,
       "root \"names\" (ordered<string,string>) is damaged"},
      {"the map's root inside its node", top["numbers"] + 8, numbers_root + 8,
       "root \"numbers\" (map<unsigned,unsigned>) is damaged"},
      {"the typed map's root at its header", top["names"] + 8, top["names"],
       "root \"names\" (ordered<string,string>) is damaged"},
      {"a node's left child at the map's header", numbers_root, top["numbers"],
       "root \"numbers\" (map<unsigned,unsigned>) is damaged"},
      {"a node's parent at another root's block", names_root + 16, top["list"],
       "root \"names\" (ordered<string,string>) is damaged"},
      {"two nodes naming one value", second_node + 24, first_value,
       "root \"list\" (list<string>) names the block at"},
      {"two slots of a vector naming one value", vec_slots + 8, word(vec_slots),
       "root \"vec\" (vector<string>) names the block at"},
  };
  for (auto const& c : cases) {
    test_support::write_file(path(), with(sound, c.at, c.value));
    auto const problems = check();
    EXPECT_TRUE(mentions(problems, c.root)) << c.what << ": " << ::testing::PrintToString(problems);
  }
  // Two elements of a list of lists holding one inner list, as removing that list's root, or
  // pushing it twice, once left them: erasing either would free it under the other. Files
  // of older releases may hold it, so it is told in a note (it went untold).
  word_t const lists_first = word(word(top["lists"]) + 8);
  word_t const first_handle = word(word(lists_first + 24));
  word_t const lists_second = word(lists_first + 8);
  test_support::write_file(path(), with(sound, word(lists_second + 24), first_handle));
  EXPECT_EQ(check(), std::vector<std::string>{});
  EXPECT_TRUE(mentions(check_database(path()).notes,
                       "root \"lists\" (list<list<string>>) holds the list whose handle block is "
                       "at " + std::to_string(first_handle) + " in two elements"))
      << ::testing::PrintToString(check_database(path()).notes);
  // A wrong count hides no block: the root is removed all the same, and its blocks go with it.
  test_support::write_file(path(), with(sound, sentinel + 32, 6));
  open();
  EXPECT_EQ(test_support::thrown_by([&] { EXPECT_TRUE(db_->remove_root("list")); }), "");
  close();
  EXPECT_EQ(check(), std::vector<std::string>{});
}

// What odbcheck answers, by exit status and the first line it prints, for a
// sound database, a damaged one, files of other kinds and a missing file,
// named as the library names a database or by the file's own name.
TEST_F(CheckTest, ProgramTellsSoundDamagedUnreadableAndForeignFiles) {
  fill();
  auto const sound = bytes();
  std::mt19937 rng(11);
  std::vector<char> noise(20000);
  for (auto& b : noise) b = static_cast<char>(rng());
  std::string const foreign = "not a database file...";
  struct {
    char const* what;
    std::vector<char> file;
    std::vector<std::string> args;  // after the program; "@" stands for the database's name
    int status;
    std::string out;  // a part of standard output; "" when it must be empty
    std::string err;  // a part of standard error; "" when it must be empty
  } const cases[] = {
      {"sound, by file name", sound, {"@.odb"}, 0, "db.odb: no problems found", ""},
      {"damaged", unterminated(sound, 1), {"@.odb"}, 1, "directory entry 0", ""},
      {"damaged, half the names", unterminated(sound, 50), {"@"}, 1, "directory entry 49", ""},
      {"most names unterminated", unterminated(sound, 51), {"@"}, 2, "", foreign},
      {"a list head inside the header", with(sound, free_list_head, 17), {"@"}, 2, "", foreign},
      {"random bytes, details", noise, {"--details", "@"}, 2, "directory entry 99", foreign},
      {"too short", std::vector<char>(100, 0), {"@.odb"}, 2, "", foreign},
      {"missing", sound, {"@x"}, 2, "", "dbx.odb: unable to open db file...: No such file"},
  };
  for (auto const& c : cases) {
    test_support::write_file(path(), c.file);
    std::vector<std::string> argv{ODBCHECK_PATH};
    for (auto arg : c.args) argv.push_back(arg[0] == '@' ? name() + arg.substr(1) : arg);
    auto const r = test_support::run_program(argv, dir_.path());
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    for (auto const& [stream, part] : {std::pair{&r.out, &c.out}, std::pair{&r.err, &c.err}})
      EXPECT_TRUE(part->empty() ? stream->empty() : stream->find(*part) != std::string::npos)
          << c.what << ": " << *stream;
    // A foreign file gets one line, not one per byte that is wrong.
    EXPECT_TRUE(c.status != 2 || std::count(r.err.begin(), r.err.end(), '\n') == 1) << c.what;
  }
}

// odbcheck on a database with a journal beside it: it checks the file as the
// next opening will find it, says so, and changes no byte of either file.
class JournalCheckTest : public test_support::database_test {
 protected:
  void SetUp() override {
    database_test::SetUp();
    {
      d_list<std::string> list("list", &env_);
      for (int i = 0; i < 20; ++i) list.push_back("element " + std::to_string(i));
    }
    close();
    before_ = test_support::read_file(path());
  }

  // A child opens the database, makes changes (in a transaction left open
  // when mid_transaction), and is killed.
  void kill_a_user(bool mid_transaction) {
    kill_a_user_after([&](d_env& env) {
      d_list<std::string> list("list", &env);
      if (mid_transaction) new d_transaction(&env);  // never ends
      for (int i = 0; i < 50; ++i) list.push_back(std::string(200, 'x'));
    });
  }
  // A child opens the database (with options; the plain call when there are none), runs
  // changes on it and is killed; left_ and left_journal_ keep the files it left.
  void kill_a_user_after(std::function<void(d_env&)> const& changes,
                         std::optional<d_open_options> const& options = {}) {
    test_support::child_processes kids;
    ASSERT_EQ(kids.run([&] {
      d_env env{};
      options ? open_database(name(), &env, *options) : open_database(name(), &env);
      changes(env);
      ::kill(::getpid(), SIGKILL);
      return 0;
    }), -1);
    left_ = test_support::read_file(path());
    left_journal_ = test_support::read_file(journal());
  }

  // The file the error f threw names; what it threw else.
  template <class F>
  static std::string path_thrown(F&& f) {
    try {
      f();
    } catch (error const& e) {
      return e.path();
    } catch (std::exception const& e) {
      return std::string("another error: ") + e.what();
    }
    return "nothing thrown";
  }

  test_support::run_result odbcheck() {
    return test_support::run_program({ODBCHECK_PATH, path()}, dir_.path());
  }
  std::string journal() const { return journal_file_of(path()); }

  // Checks, then opens the database, its file as db, beside journal_bytes (made length bytes
  // long, when given): refused, with db left as it was, or opened and rolled back to after.
  void expect_opening(std::vector<char> const& db, std::vector<char> const& journal_bytes,
                      bool refused, std::vector<char> const& after, std::uintmax_t length = 0) {
    test_support::write_file(path(), db);
    test_support::write_file(journal(), journal_bytes);
    if (length > 0) std::filesystem::resize_file(journal(), length);
    // odbcheck finds the files as the opening will; one refused, as the opening left them.
    auto const odbcheck_says = [this](int status, std::string const& part) {
      auto const r = odbcheck();
      EXPECT_EQ(r.status, status) << r.out << r.err;
      EXPECT_NE((status == 0 ? r.out : r.err).find(part), std::string::npos) << r.out << r.err;
    };
    if (!refused) odbcheck_says(0, "no problems found");
    d_env env{};
    std::string const thrown =
        test_support::thrown_by([&] { close_database(open_database(name(), &env)); });
    if (refused) {
      EXPECT_EQ(thrown, "corrupt journal file...");
      // The error names the journal, for the library's caller as for the programs.
      EXPECT_EQ(path_thrown([&] { close_database(open_database(name(), &env)); }), journal());
      EXPECT_EQ(path_thrown([&] { check_database(path()); }), journal());
      EXPECT_TRUE(test_support::read_file(path()) == db) << "the database changed";
      odbcheck_says(2, "corrupt journal file...");
    } else {
      EXPECT_EQ(thrown, "");
      EXPECT_TRUE(test_support::read_file(path()) == after) << "not rolled back whole";
    }
  }

  std::vector<char> before_, left_, left_journal_;
};

TEST_F(JournalCheckTest, ATransactionCutShortIsCheckedRolledBackAndNothingChanges) {
  kill_a_user(true);
  ASSERT_FALSE(left_journal_.empty());
  auto const r = odbcheck();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("did not finish"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no problems found"), std::string::npos) << r.out;
  EXPECT_EQ(test_support::read_file(path()), left_);
  EXPECT_EQ(test_support::read_file(journal()), left_journal_);
  // With the journal whole, the opening finds the file from before the transaction.
  expect_opening(left_, left_journal_, false, before_);
}

// A damaged journal is refused by the checker and by the opening, and the database keeps every
// byte. A rollback cuts the database to the length its journal recorded when the transaction
// began: a flipped bit there is refused, not obeyed. A journal of an older release carries no
// check and rolls back as it always did. A header whose magic, version or kind is damaged is
// refused too, where it was taken for one never written whole and ignored. The header's magic
// is written after its other words, which make the file a header long: a journal shorter than
// that with its magic begun was cut short, not left by a process that died while starting it;
// it was ignored, and the opening kept the half of the transaction the file held.
TEST_F(JournalCheckTest, ADamagedOrCutShortJournalIsRefusedAndChangesNothing) {
  kill_a_user(true);
  auto const flipped = [&](std::size_t at, unsigned char flip) {
    auto damaged = left_journal_;
    damaged.at(at) = static_cast<char>(damaged.at(at) ^ flip);
    return damaged;
  };
  auto unchecked = left_journal_;
  std::fill_n(unchecked.begin() + 56, 8, 0);
  struct row { std::string name; std::vector<char> journal; bool refused; };
  std::vector<row> rows = {
      {"a bit inside the first undo record", flipped(100, 0x5a), true},
      {"the length's lowest bit", flipped(24, 0x01), true},
      {"a bit of the length's second byte", flipped(25, 0x20), true},
      {"a bit of its check", flipped(57, 0x04), true},
      {"no check, as an older release wrote it", unchecked, false},
      {"a bit of the magic", flipped(3, 0x02), true},
      {"a bit of the version", flipped(8, 0x04), true},
      {"a bit of the kind", flipped(12, 0x02), true},
  };
  for (std::size_t const cut : {std::size_t{1}, journal_header::magic_size, std::size_t{43},
                                journal_header::record_size - 1}) {
    rows.push_back({"the journal cut to " + std::to_string(cut) + " bytes",
                    {left_journal_.begin(), left_journal_.begin() + static_cast<long>(cut)},
                    true});
  }
  for (row const& r : rows) {
    SCOPED_TRACE(r.name);
    expect_opening(left_, r.journal, r.refused, before_);
  }
  // A journal's file may be of any length (it grows ahead, or is damaged): one never started
  // whole is passed over, and one whose header is damaged refused, from the header alone. The
  // opening and odbcheck read it whole into memory first, at any length: a file of terabytes
  // (of holes) asked for as much.
  std::vector<char> head(journal_header::record_size, 0);
  for (bool const damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a damaged header, terabytes long" : "a header never written, long");
    if (damaged) head.at(3) = 'x';  // begun, and no magic of ours
    expect_opening(before_, head, damaged, before_, std::uintmax_t{1} << 43);
  }
}

// The tools read the file into memory. One longer than the memory the process may have (here
// a sparse file of terabytes, beside a bound on the address space that leaves room to map it
// and none to copy it) was refused with the allocator's "std::bad_alloc"; now with an error
// of the library's that says why, from the checker, the statistics and the copy alike.
TEST_F(JournalCheckTest, AFileTooLargeToReadIntoMemoryIsRefusedAsSuch) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's shadow memory does not fit a bound on the address space";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the address sanitizer's shadow memory does not fit a bound on the address space";
#endif
#endif
  constexpr std::uintmax_t terabytes = std::uintmax_t{1} << 43;
  test_support::write_file(path(), before_);
  std::filesystem::resize_file(path(), terabytes);
  std::string const copy = dir_.file("copy");
  struct {
    char const* what;
    std::function<void()> read;
  } const rows[] = {
      {"check", [&] { check_database(path()); }},
      {"statistics", [&] { stat_database(path()); }},
      {"copy", [&] { copy_database(path(), copy); }},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    test_support::child_processes kids;
    int const status = kids.run([&] {
      rlimit const bound{terabytes + (rlim_t{4} << 30), terabytes + (rlim_t{4} << 30)};
      if (::setrlimit(RLIMIT_AS, &bound) != 0) return 3;
      return test_support::throws_error(row.read, errc::io_failure,
                                        "database file too large to read into memory...")
                 ? 0
                 : 1;
    });
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(test_support::file_size(copy + ".odb"), -1) << "no copy is left behind";
}

// The end word says how many undo records a rollback plays back. A process
// killed between the word and its check leaves the check a record ahead; any
// other disagreement is refused. Unchecked, an end moved back onto a record's
// end rolled back part of the transaction, and one moved on played back an
// earlier transaction's records.
TEST_F(JournalCheckTest, ADamagedEndOfTheUndoRecordsIsRefusedOrRolledBackWhole) {
  // Ten elements rewritten and committed, then three in a transaction cut
  // short: its three records lie over the first three of the ten.
  kill_a_user_after([](d_env& env) {
    d_vector<std::uint64_t> v("v", &env);
    v.resize(10);
    {
      d_transaction tx(&env);
      for (long i = 0; i < 10; ++i) v[i] = 1;
      tx.commit();
    }
    new d_transaction(&env);  // never ends
    for (long i = 0; i < 3; ++i) v[i] = 2;
  });
  auto const &db = left_, &j = left_journal_;
  word_t const end = decode_word(&j.at(journal_header::end_offset));
  word_t const check = decode_word(&j.at(journal_header::salt_offset));
  // The records' ends: up to the end word this transaction's, past it an earlier one's.
  std::vector<word_t> ends;
  for (word_t at = journal_header::record_size;;) {
    word_t address;
    char const* bytes;
    std::size_t n;
    auto const room = static_cast<word_t>(j.size()) - at;
    if (!undo_record::decode(&j.at(static_cast<std::size_t>(at)), room, address, bytes, n)) break;
    ends.push_back(at += undo_record::size_for(n));
  }
  auto const counted = std::find(ends.begin(), ends.end(), end);
  ASSERT_TRUE(counted != ends.end() && counted - ends.begin() >= 2 && counted + 1 != ends.end())
      << "the test needs records of two transactions: end " << end << ", " << ends.size()
      << " records";
  {
    d_env env{};
    close_database(open_database(name(), &env));
  }
  auto const rolled_back = test_support::read_file(path());
  struct row { char const* name; word_t end, check; bool refused; };
  row const rows[] = {
      {"the word a record behind, as a kill between it and its check leaves it", counted[-1],
       check, false},
      {"the word moved back to the first record", ends.front(), check, false},
      {"the word moved on over an earlier transaction's record", counted[1], check, true},
      {"the check damaged", end, check ^ 0x10, true},
      {"no check, as an older release wrote it", end, 0, false},
  };
  for (row const& r : rows) {
    SCOPED_TRACE(r.name);
    auto const damaged = with(with(j, journal_header::end_offset, r.end),
                              journal_header::salt_offset, r.check);
    expect_opening(db, damaged, r.refused, rolled_back);
  }
}

// A durable log is played back up to its first record that fails its check. A power loss can
// tear only the last transaction's records, the one whose commit was under way: damage there
// drops that transaction, as a log cut before it would. Damage in an earlier transaction is
// refused: the records before it are older than bytes the file already holds, and were played
// over them, and the transactions after it lost.
TEST_F(JournalCheckTest, ADurableLogDamagedBeforeItsLastTransactionIsRefused) {
  kill_a_user_after([](d_env& env) {
    d_list<std::string> list("list", &env);
    for (int i = 0; i < 4; ++i) list.push_back("late " + std::to_string(i));
  }, d_open_options{d_journal::durable});
  auto const &db = left_, &j = left_journal_;
  journal_header h;
  ASSERT_TRUE(journal_header::decode(j.data(), j.size(), h));
  ASSERT_EQ(h.kind, journal_kind::redo);
  struct record { std::size_t at; bool commit; };
  std::vector<record> records;
  for (auto at = static_cast<word_t>(journal_header::record_size);;) {
    redo_record r;
    auto const room = static_cast<word_t>(j.size()) - at;
    if (!redo_record::decode(&j.at(static_cast<std::size_t>(at)), room, h.salt, r)) break;
    records.push_back({static_cast<std::size_t>(at), r.type == redo_record::commit});
    at += r.size();
  }
  std::vector<std::size_t> commits;  // indexes into records
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].commit) commits.push_back(i);
  ASSERT_EQ(commits.size(), 4u) << "one commit for each push";
  // What the opening makes of the log without its last transaction.
  std::size_t const last_begins = records[commits[2] + 1].at;
  test_support::write_file(path(), db);
  test_support::write_file(journal(), std::vector<char>(j.begin(), j.begin() + last_begins));
  {
    d_env env{};
    close_database(open_database(name(), &env));
  }
  auto const without_last = test_support::read_file(path());
  ASSERT_NE(without_last, db) << "the last push must change the file";
  // A byte of a record's checksum flipped: the record is whole in length, and fails.
  auto const checksum_of = [&](std::size_t i) { return records[i].at + redo_record::checksum_offset; };
  struct row { char const* name; std::size_t at; bool refused; };
  row const rows[] = {
      {"the first transaction's first record", checksum_of(0), true},
      {"the first transaction's commit", checksum_of(commits[0]), true},
      {"a middle transaction's first record", checksum_of(commits[1] + 1), true},
      {"the commit before the last transaction", checksum_of(commits[2]), true},
      {"the last transaction's first record", checksum_of(commits[2] + 1), false},
      {"the last transaction's commit", checksum_of(commits[3]), false},
  };
  for (row const& r : rows) {
    SCOPED_TRACE(r.name);
    auto damaged = j;
    damaged.at(r.at) ^= 0x10;
    expect_opening(db, damaged, r.refused, without_last);
  }
}

// A database left open is cut to its last commit's length: the room grown ahead goes. A
// committed length whose check fails cuts nothing; with its high bit cleared it cut the file
// short.
TEST_F(JournalCheckTest, ADatabaseLeftOpenIsCheckedAsItsLastCommit) {
  kill_a_user(false);
  // The file is longer than its data: it was grown ahead.
  EXPECT_GT(test_support::file_size(path()), static_cast<std::int64_t>(before_.size()));
  auto const r = odbcheck();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("a journal is beside the database"), std::string::npos) << r.out;
  auto const &db = left_, &j = left_journal_;
  for (bool const damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "the committed length damaged" : "the journal whole");
    auto journal_bytes = j;
    char* const word = &journal_bytes.at(journal_header::committed_size_offset);
    word_t const length = decode_word(word);
    if (damaged) encode_word(word, length & ~(word_t{1} << (63 - __builtin_clzll(length))));
    test_support::write_file(path(), db);
    test_support::write_file(journal(), journal_bytes);
    d_env env{};
    d_database* opened = open_database(name(), &env);
    EXPECT_EQ(d_list<std::string>("list", &env).count(), 70);
    close_database(opened);
    EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
    if (!damaged) {
      EXPECT_EQ(test_support::file_size(path()), length);
    }
  }
}

// A durable log cut short inside its first transaction replays nothing and cuts
// the file to its length when the log began. After a crash the file is no
// longer than that (a commit's bytes reach it only once its log is synced, and
// then with a batch of later commits'), but beside a log cut short by damage
// the file holds the commits of a batch: cut back, it was no database any
// more, and the opening that spoiled it then refused it as "not a database
// file...". The log is refused instead, and neither file changes.
TEST_F(JournalCheckTest, ALogCutShortIsRefusedWhereCarryingItOutWouldSpoilTheFile) {
  afresh();
  close();
  int const pushes = 70;  // more commits than a batch
  kill_a_user_after([](d_env& env) {
    d_list<std::string> list("list", &env);
    for (int i = 0; i < pushes; ++i) list.push_back("committed " + std::to_string(i));
  }, d_open_options{d_journal::durable});
  auto const &db = left_, &j = left_journal_;
  ASSERT_GT(j.size(), journal_header::record_size + 40);
  for (std::size_t const cut : {journal_header::record_size + 8, journal_header::record_size + 40}) {
    SCOPED_TRACE("the log cut to " + std::to_string(cut) + " bytes");
    expect_opening(db, std::vector<char>(j.begin(), j.begin() + static_cast<long>(cut)), true, {});
    EXPECT_TRUE(test_support::read_file(journal()).size() == cut) << "the journal changed";
  }
  // Whole, it opens with every commit.
  test_support::write_file(path(), db);
  test_support::write_file(journal(), j);
  d_env env{};
  d_database* opened = open_database(name(), &env);
  EXPECT_EQ(d_list<std::string>("list", &env).count(), pushes);
  close_database(opened);
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

}  // namespace
