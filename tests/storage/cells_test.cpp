#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
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
#include <disk_tools/odb_check.h>
#include "harness.h"
#include "stored_types.h"

// A value whose codec refuses to encode one text, as a user's codec refuses a value it
// cannot store.
struct refusable {
  std::string text;
};
template <>
struct disk_tools::codec<refusable> {
  static void encode(refusable const& v, std::string& out) {
    if (v.text == "refused") throw std::invalid_argument("cannot encode");
    put(out, v.text);
  }
  static refusable decode(std::string_view in) {
    refusable v;
    get(in, v.text);
    return v;
  }
};

using namespace disk_tools;
using test_support::word_at;

namespace {

class CellTest : public test_support::database_test {
 protected:
  long block_size(long data) {  // as the allocator records it; -1 if not in use
    for (auto const& r : db_->allocator()->allocation_list())
      if (r.data == data) return r.size;
    return -1;
  }
};

TEST_F(CellTest, StringVariableWritesItsEncodingReusesFreedBlocksAndRefusesADamagedLength) {
  long const cell = create_var(db_);
  d_var<std::string> v(cell, &env_);
  EXPECT_EQ(v.get_data(), "");
  v = "HELLO";
  auto const f = bytes();
  long const first = word_at(f, cell);
  ASSERT_NE(first, -1);
  EXPECT_EQ(word_at(f, first), 6);  // length with the terminator, then the bytes
  EXPECT_EQ(std::string(&f[first + 8], 6), std::string("HELLO\0", 6));
  EXPECT_EQ(block_size(first), 14);
  EXPECT_EQ(v.get_data(), "HELLO");
  v = "WORLD";  // the old block is freed and taken again for the same size
  EXPECT_EQ(word_at(bytes(), cell), first);
  EXPECT_EQ(v.get_data(), "WORLD");
  v = "a longer value";
  EXPECT_NE(word_at(bytes(), cell), first);
  ASSERT_EQ(db_->allocator()->free_list().size(), 1u);
  EXPECT_EQ(db_->allocator()->free_list()[0].data, first);
  EXPECT_EQ(v.get_data(), "a longer value");
  v = std::string("ab\0cd", 5);  // an embedded zero byte cuts the value
  EXPECT_EQ(v.get_data(), "ab");
  // A length word beyond the file is reported, not allocated for.
  db_->stream()->write_word(word_at(bytes(), cell), long{1} << 40);
  EXPECT_EQ(test_support::thrown_by([&] { v.get_data(); }), "corrupt database file...");
}

TEST_F(CellTest, PlainValuesAreStoredAsTheirBytes) {
  d_var<int> v(create_var(db_), &env_);
  v = -123456;
  long const block = word_at(bytes(), v.cell());
  EXPECT_EQ(block_size(block), 4);
  EXPECT_EQ(v.get_data(), -123456);
  EXPECT_EQ(bytes()[block], static_cast<char>(-123456 & 0xff));
  v = v + 6;  // read where an int is wanted, then stored
  EXPECT_EQ(d_var<int>(v.cell(), &env_).get_data(), -123450);
}

TEST_F(CellTest, CodecValueIsItsLengthAndBytesAndDamageIsReported) {
  test_support::package const p{"libc6", 42, {"a", "", "zlib1g"}};
  d_var<test_support::package> v(create_var(db_), &env_);
  v = p;
  long const block = word_at(bytes(), v.cell());
  std::string encoded;
  codec<test_support::package>::encode(p, encoded);
  EXPECT_EQ(word_at(bytes(), block), static_cast<long>(encoded.size()));
  EXPECT_EQ(block_size(block), static_cast<long>(8 + encoded.size()));
  reopen();
  d_var<test_support::package> again(v.cell(), &env_);
  EXPECT_EQ(again.get_data(), p);
  // A length word past the file, or one that cuts the bytes short, is reported: the first
  // by the library, the second by the codec.
  struct { long length; std::string message; } const damage[] = {{-1, "corrupt database file..."},
                      {long{1} << 40, "corrupt database file..."},
                      {static_cast<long>(encoded.size()) - 1, "stored value cannot be decoded..."}};
  for (auto const& d : damage) {
    db_->stream()->write_word(block, d.length);
    EXPECT_EQ(test_support::thrown_by([&] { again.get_data(); }), d.message) << d.length;
  }
}

// An assignment whose codec throws keeps the old value, in every journal mode: before, with
// the journal off, the old block was freed before the encoding, the cell went on naming it,
// and the next block made took it over; and the ordered map made a long key's block before
// it encoded the value, and lost that block when the encoding threw.
TEST(CellCodec, AnAssignmentWhoseCodecThrowsKeepsTheOldValueInEveryJournalMode) {
  struct {
    char const* what;
    std::function<void(d_env&, refusable const&)> assign;
    std::function<std::string(d_env&)> read;
  } const rows[] = {
      {"variable", [](d_env& e, refusable const& v) { d_var<refusable>("var", &e) = v; },
       [](d_env& e) { return d_var<refusable>("var", &e).get_data().text; }},
      {"pointer",
       [](d_env& e, refusable const& v) {
         d_var<refusable> var("var", &e);
         *d_ptr<refusable>(var, &e) = v;
       },
       [](d_env& e) { return d_var<refusable>("var", &e).get_data().text; }},
      {"vector element",
       [](d_env& e, refusable const& v) {
         d_vector<refusable> vec("vec", &e);
         if (vec.empty()) vec.push_back(refusable{""});
         vec[0] = v;
       },
       [](d_env& e) { return static_cast<refusable>(d_vector<refusable>("vec", &e)[0]).text; }},
      {"ordered map value under a long key",
       [](d_env& e, refusable const& v) {
         d_map<std::string, refusable>("map", &e).put(std::string(40, 'k'), v);
       },
       [](d_env& e) {
         return d_map<std::string, refusable>("map", &e).at(std::string(40, 'k')).text;
       }},
      {"hash map value",
       [](d_env& e, refusable const& v) {
         d_hashmap<std::string, refusable>("hm", &e).put("k", v);
       },
       [](d_env& e) {
         refusable v;
         d_hashmap<std::string, refusable>("hm", &e).get("k", v);
         return v.text;
       }},
  };
  for (d_journal mode : {d_journal::atomic, d_journal::durable, d_journal::off}) {
    for (auto const& row : rows) {
      SCOPED_TRACE(std::string(row.what) + ", journal " + test_support::mode_name(mode));
      test_support::scratch_dir dir(test_support::memory_dir);
      std::string const name = dir.file("db");
      ASSERT_TRUE(create_database(name, nullptr));
      {
        d_env env{};
        scoped_database db = open_database_scoped(name, &env, test_support::options_for(mode));
        row.assign(env, refusable{"kept"});
        EXPECT_THROW(row.assign(env, refusable{"refused"}), std::invalid_argument);
        d_list<std::string> other("other", &env);  // new blocks, freed ones first
        for (int i = 0; i < 4; ++i) other.push_back("other");
        std::string kept;
        EXPECT_EQ(test_support::thrown_by([&] { kept = row.read(env); }), "");
        EXPECT_EQ(kept, "kept");
      }
      EXPECT_TRUE(test_support::checks_clean(name + ".odb"));
    }
  }
}

// put lays a C string out as a string, whatever way the characters are named: before, a char
// pointer went in as its own 8 bytes, an address that get could not read back as a string.
TEST(CodecHelpers, CStringsArePutAsTheirStrings) {
  std::string const text = "zlib1g";
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  char const* const none = nullptr;
  struct {
    char const* what;
    std::function<void(std::string&)> put_it;
    std::string expected;
  } const rows[] = {
      {"c_str()", [&](std::string& out) { put(out, text.c_str()); }, text},
      {"char pointer", [&](std::string& out) { put(out, buffer.data()); }, text},
      {"null pointer", [&](std::string& out) { put(out, none); }, ""},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.what);
    std::string out, as_string;
    row.put_it(out);
    put(as_string, row.expected);
    EXPECT_EQ(out, as_string);
    std::string_view in = out;
    std::string back;
    get(in, back);
    EXPECT_EQ(back, row.expected);
    EXPECT_TRUE(in.empty());
  }
}

TEST_F(CellTest, NamedVariablePointerAndReferenceSurviveReopening) {
  long pointer, address;
  {
    d_var<std::string> v("var2", &env_);
    v = "Quibley";
    d_ptr<std::string> p(create_pointer(db_), &env_);
    *p = "HELLO, WORLD!";
    pointer = p.cell();
    address = d_ref<std::string>("kept", &env_).address();
  }
  reopen();
  EXPECT_EQ(d_var<std::string>("var2", &env_).get_data(), "Quibley");
  EXPECT_EQ(static_cast<std::string>(*d_ptr<std::string>(pointer, &env_)), "HELLO, WORLD!");
  d_ref<std::string> r;
  r.grab(env_.stream, address, env_.allocator, env_.database);
  EXPECT_EQ(r.get_data(), "kept");
  r.grab(env_.stream, -1, env_.allocator, env_.database);
  EXPECT_EQ(r.get_data(), "kept");  // no block: the cached value stays
}

// A pointer's proxy reads the cell as the file holds it now: after a rollback
// of the cell's first value, an empty value, as a variable on the cell reads.
TEST_F(CellTest, PointerReadsNoValueOnceItsCellsFirstValueIsRolledBack) {
  d_var<std::string> text("text", &env_);
  d_ptr<std::string> text_ptr(text, &env_);
  d_var<long> number("number", &env_);
  d_ptr<long> number_ptr(number, &env_);
  {
    d_transaction tx(db_);
    *text_ptr = "taken back";
    *number_ptr = 42;
    EXPECT_EQ(static_cast<std::string>(*text_ptr), "taken back");
    EXPECT_EQ(static_cast<long>(*number_ptr), 42);
  }  // rolled back
  EXPECT_EQ(text.get_data(), "");
  EXPECT_EQ(static_cast<std::string>(*text_ptr), "");
  EXPECT_EQ(number.get_data(), 0);
  EXPECT_EQ(static_cast<long>(*number_ptr), 0);
  *text_ptr = "kept";
  EXPECT_EQ(text.get_data(), "kept");
}

// The proxy *p stays usable when p moves or goes (a std::vector of pointers
// that grows moves them all), and its reads leave other pointers alone.
TEST_F(CellTest, PointerProxyOutlivesItsPointer) {
  d_var<std::string> first("first", &env_), second("second", &env_);
  first = "alpha";
  std::optional<d_ptr<std::string>> ptr(std::in_place, first, &env_);
  d_ptr_assign<std::string> proxy = **ptr;
  ptr.reset();
  ptr.emplace(second, &env_);  // likely where the first pointer was
  EXPECT_EQ(static_cast<std::string>(proxy), "alpha");
  EXPECT_EQ(static_cast<std::string>(**ptr), "");
  proxy = "through the proxy";
  EXPECT_EQ(first.get_data(), "through the proxy");

  std::vector<d_ptr<std::string>> pointers;
  pointers.emplace_back(first, &env_);
  d_ptr_assign<std::string> element = *pointers[0];
  for (int i = 0; i < 8; ++i) pointers.emplace_back(second, &env_);  // moves pointers[0]
  element = "moved";
  EXPECT_EQ(static_cast<std::string>(element), "moved");
  EXPECT_EQ(static_cast<std::string>(*pointers[0]), "moved");
}

TEST_F(CellTest, ReferencesCompareByValueWithBytesUnsigned) {
  for (auto [l, h] : {std::pair{"z", "\xe9"}, std::pair{"LOV", "LOVE"}}) {  // unsigned; prefix
    SCOPED_TRACE(std::string(l) + " < " + h);
    d_ref<std::string> low(l, &env_), high(h, &env_), same(h, &env_);
    EXPECT_TRUE(low < high && high > low && high == same);
    EXPECT_FALSE(high < low || low > high || low == high);
    EXPECT_FALSE(high < same || same < high || high > same);
  }
}

TEST_F(CellTest, ReferenceHasItsOwnBlockAndAssignmentSharesItWithoutWriting) {
  auto const empty_file = bytes();
  d_ref<std::string> slots[128];  // a default reference reserves nothing
  EXPECT_EQ(bytes(), empty_file);
  EXPECT_EQ(slots[0].address(), -1);
  EXPECT_EQ(slots[0].get_data(), "");

  d_ref<std::string> hate("HATE", &env_), empty(&env_);
  auto const f = bytes();
  EXPECT_EQ(word_at(f, hate.address()), 5);
  EXPECT_EQ(std::string(&f[hate.address() + 8]), "HATE");
  EXPECT_EQ(word_at(f, empty.address()), 1);
  EXPECT_EQ(block_size(empty.address()), 9);
  EXPECT_EQ(empty.get_data(), "");

  slots[5] = hate;
  empty = hate;
  EXPECT_EQ(empty.address(), hate.address());
  EXPECT_EQ(empty.get_data(), "HATE");
  EXPECT_EQ(slots[5].get_data(), "HATE");
  EXPECT_EQ(bytes(), f);
}

}  // namespace
