// Operations that meet a damaged count or link refuse with "corrupt database file..." before
// it sizes or aims a write. Files of typed containers damaged at random read cleanly or fail
// with an error, and odbcheck tells the damage the reads meet.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include "harness.h"

using namespace disk_tools;

namespace {

using number_map = d_map<unsigned, unsigned, unsigned>;
using string_table = d_hashmap<std::string, std::string>;
constexpr word_t largest = std::numeric_limits<word_t>::max();

class DamagedRecordsTest : public test_support::database_test {
 protected:
  void damage_word(word_t at, word_t value) { db_->stream()->write_word(at, value); }
  template <class Op>
  void expect_refused(Op op) {
    EXPECT_EQ(test_support::thrown_by(op), io_tools::corrupt_file_message);
  }
};

TEST_F(DamagedRecordsTest, CountsBeyondWhatTheFileHoldsAreRefused) {
  word_t table_header = -1, map_header_at = -1;
  {
    string_table table("table", 10, &env_);
    table["key"] = "value";
    number_map map("map", &env_);
    map.insert(1, 1);
    table_header = table.header_address();
    map_header_at = map.header_address;
  }
  damage_word(table_header + static_cast<word_t>(hashmap_header::count_offset), largest);
  damage_word(map_header_at + static_cast<word_t>(map_header::size_offset), largest);
  expect_refused([&] { string_table("table", 10, &env_)["new key"] = "value"; });
  expect_refused([&] { number_map("map", &env_).insert(2, 2); });
}

// A slot table's words are checked before they are followed: slots naming entries past the
// count, a count past the room for entries, a slot count that is not a power of 2, and the
// widths of other types each refuse the first lookups instead of reading past the table or
// taking other bytes for keys.
TEST_F(DamagedRecordsTest, SlotTableWordsAreCheckedBeforeTheyAreFollowed) {
  using slot_table = d_hashmap<std::uint64_t, std::uint64_t>;
  using io_tools::bfstream;
  struct {
    char const* what;
    std::function<void(bfstream&, word_t header, word_t slots)> apply;
    std::string message = io_tools::corrupt_file_message;
  } const damages[] = {
      {"slots naming entries past the count",
       [](bfstream& s, word_t header, word_t slots) {
         for (word_t i = 0; i < slots; ++i) {
           word_t const at = hashmap_slots::slot_address(header, i);
           if (word_t const w = s.read_word(at)) s.write_word(at, (w & ~word_t{0xffffffff}) | 1000);
         }
       }},
      {"a count past the room for entries",
       [](bfstream& s, word_t header, word_t slots) {
         hashmap_header::write_count(s, header, hashmap_slots::capacity(slots) + 1);
       }},
      {"a slot count that is not a power of 2",
       [](bfstream& s, word_t header, word_t slots) {
         s.write_word(header + 8, hashmap_slots::table_word(slots - 1, hash_kind::strong));
       }},
      {"the widths of other types",
       [](bfstream& s, word_t header, word_t) {
         s.write_word(header + static_cast<word_t>(hashmap_slots::widths_offset),
                      hashmap_slots::widths_word(4, 4));
       },
       "hash map is not a slot table of this map's key and value widths..."},
  };
  for (auto const& d : damages) {
    SCOPED_TRACE(d.what);
    afresh();
    word_t header = -1, slots = 0;
    {
      slot_table table("t", &env_);
      for (std::uint64_t k = 0; k < 10; ++k) table.put(k, k);
      header = table.header_address();
      slots = table.buckets();
    }
    d.apply(*db_->stream(), header, slots);
    EXPECT_EQ(test_support::thrown_by([&] {
                slot_table table("t", &env_);
                std::uint64_t v = 0;
                for (std::uint64_t k = 0; k < 10; ++k) table.get(k, v);
              }),
              d.message);
  }
}

// A list or vector kept as a map's value is made with its pair, so a handle found holding -1
// is damage, refused by every way to the container, not a reason to make a new one there.
TEST_F(DamagedRecordsTest, AContainerValueWhoseHandleNamesNoHeaderIsRefused) {
  using list_index = d_map<std::string, d_list<std::string>>;
  using vector_table = d_hashmap<std::uint64_t, d_vector<std::string>>;
  word_t list_handle = -1, vector_handle = -1;
  {
    list_index index("index", &env_);
    index["word"].push_back("place");
    list_handle = index.begin()->value;
    vector_table lines("lines", &env_);
    lines[7].push_back("line");
    vector_handle = lines.begin()->second;
  }
  damage_word(list_handle, no_address);
  damage_word(vector_handle, no_address);
  list_index index("index", &env_);
  vector_table lines("lines", &env_);
  d_list<std::string> list;
  d_vector<std::string> vector;
  expect_refused([&] { index["word"].push_back("more"); });
  expect_refused([&] { index.get("word", list); });
  expect_refused([&] { lines[7].push_back("more"); });
  expect_refused([&] { lines.get(7, vector); });
  EXPECT_EQ(db_->stream()->read_word(list_handle), no_address);
  EXPECT_EQ(db_->stream()->read_word(vector_handle), no_address);
}

struct point {
  std::int32_t x;
  double y;
};

// One root of every typed kind but codec values (only their codec can judge their bytes),
// through an opening that records kinds; or, reading, every container walked and changed a
// little. Returns how many values it saw.
long fill_or_read(std::string const& name, bool fill) {
  d_env env{};
  scoped_database db = open_database_scoped(name, &env);
  d_map<std::string, std::string> texts("texts", &env);
  d_map<std::int32_t, point> points("points", &env);
  d_map<std::string, d_list<std::string>> index("index", &env);
  d_hashmap<std::uint64_t, std::string> titles("titles", &env);
  d_hashmap<std::uint64_t, d_vector<std::string>> lines("lines", &env);
  d_vector<std::string> v("v", 4, &env);
  d_list<std::string> l("l", &env);
  long seen = 0;
  for (int i = 0; i < 200; ++i) {
    std::string const key = "key " + std::to_string(i * 37 % 200) + std::string(i % 30, 'k');
    if (fill) {
      texts.put(key, std::string(i % 70, 'v'));
      points.put(i - 100, point{i, i / 4.0});
      index["w" + std::to_string(i % 17)].push_back("place " + std::string(i % 40, 'p'));
      titles.put(static_cast<std::uint64_t>(i) * 11, "title " + std::string(i % 50, 't'));
      lines[static_cast<std::uint64_t>(i % 13)].push_back("line " + std::to_string(i));
      v.push_back("value " + std::string(i % 45, 'x'));
      l.push_back("item " + std::to_string(i));
      if (i % 3 == 0) texts.erase("key " + std::to_string(i));
      continue;
    }
    std::string text;
    point at{};
    seen += texts.get(key, text) + points.get(i - 100, at) + titles.get(i * 11u, text);
    texts.put("new " + std::to_string(i), "n");
    titles.erase(static_cast<std::uint64_t>(i) * 11);
    index["w" + std::to_string(i % 19)].push_back("more");
    if (i % 17 == 0) index.erase("w" + std::to_string(i % 23));
  }
  if (fill) return 0;
  for (auto const& e : texts) seen += static_cast<long>(e.key.size());
  for (auto const& e : index) seen += static_cast<long>(index.at(e.key).size());
  for (std::uint64_t k = 0; k < 13; ++k) {
    d_vector<std::string> found;
    if (lines.get(k, found)) seen += found.empty() ? 0 : static_cast<long>(found.back().size());
  }
  for (long i = 0; i < static_cast<long>(v.size()); ++i)
    seen += static_cast<long>(v.view(i).size());
  for (std::string_view s : v.views()) seen += static_cast<long>(s.size());
  for (std::string const& item : l) seen += static_cast<long>(item.size());
  v.push_back("more");
  l.push_back("more");
  return seen;
}

TEST(TypedDamage, ReadsFailOnlyWithAnErrorAndOdbcheckToldTheDamageTheyMet) {
  test_support::scratch_dir dir;
  std::string const name = dir.file("typed");
  d_env env{};
  ASSERT_TRUE(create_database(name, &env));
  fill_or_read(name, true);
  std::vector<char> const sound = test_support::read_file(name + ".odb");
  ASSERT_TRUE(check_database(name + ".odb").problems.empty());
  std::mt19937_64 rng(17);
  int read = 0, failed = 0;
  for (int round = 0; round < 150; ++round) {
    // A few bits flipped, a word set to a telling value, or the file cut.
    std::vector<char> bytes = sound;
    std::size_t const at = rng() % (bytes.size() / word_size) * word_size;
    std::string what;
    switch (rng() % 3) {
      case 0:
        bytes[at + rng() % word_size] ^= static_cast<char>(1 << rng() % 8);
        what = "a bit flipped at " + std::to_string(at);
        break;
      case 1: {
        auto const size = static_cast<word_t>(bytes.size());
        auto const somewhere = static_cast<word_t>(rng() % bytes.size());
        word_t const values[] = {0, -1, 1, size, static_cast<word_t>(at), somewhere, largest};
        word_t const value = values[rng() % 7];
        encode_word(&bytes[at], value);
        what = "the word at " + std::to_string(at) + " set to " + std::to_string(value);
        break;
      }
      default:
        bytes.resize(at);
        what = "the file cut to " + std::to_string(at);
    }
    test_support::write_file(name + ".odb", bytes);
    std::remove((name + ".odb-index").c_str());
    database_check const check = check_database(name + ".odb");
    try {
      fill_or_read(name, false);
      ++read;
    } catch (disk_tools::error const& e) {
      ++failed;
      // A file odbcheck passed as sound must not fail as damaged.
      EXPECT_FALSE(check.is_database && check.problems.empty() && e.code() == errc::corrupt)
          << what << ": odbcheck found nothing, and the reads failed with " << e.what();
    }
  }
  EXPECT_GT(read, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
