#include <gtest/gtest.h>

#include <disk_tools/d_ptr.h>
#include <disk_tools/d_ref.h>
#include <disk_tools/d_var.h>
#include <disk_tools/factories.h>
#include "harness.h"

using namespace disk_tools;
using test_support::word_at;

namespace {

TEST(GetSize, StringsCarryLengthAndTerminatorPlainValuesTheirBytes) {
  EXPECT_EQ(get_size(std::string("HELLO")), 14u);
  EXPECT_EQ(get_size(std::string()), 9u);
  EXPECT_EQ(get_size(42), 4u);
  EXPECT_EQ(get_size(42u), 4u);
}

class VarTest : public test_support::database_test {};

TEST_F(VarTest, AssignmentWritesTheEncodingAndAimsTheCell) {
  long const cell = create_var(db_);
  d_var<std::string> v(cell, &env_);
  EXPECT_EQ(v.get_data(), "");
  v = "HELLO";
  auto const f = bytes();
  long const block = word_at(f, cell);
  ASSERT_NE(block, -1);
  EXPECT_EQ(word_at(f, block), 6);
  EXPECT_EQ(std::string(&f[block + 8], 6), std::string("HELLO\0", 6));
  EXPECT_EQ(v.get_data(), "HELLO");
}

TEST_F(VarTest, ReassignmentFreesTheOldBlockAndReusesItForTheSameSize) {
  d_var<std::string> v(create_var(db_), &env_);
  v = "HELLO";
  long const first = word_at(bytes(), v.cell());
  v = "WORLD";
  EXPECT_EQ(word_at(bytes(), v.cell()), first);
  EXPECT_EQ(v.get_data(), "WORLD");
  v = "a longer value";
  long const second = word_at(bytes(), v.cell());
  EXPECT_NE(second, first);
  ASSERT_EQ(db_->allocator()->free_list().size(), 1u);
  EXPECT_EQ(db_->allocator()->free_list()[0].data, first);
  EXPECT_EQ(v.get_data(), "a longer value");
}

TEST_F(VarTest, EmbeddedZeroByteCutsTheValue) {
  d_var<std::string> v(create_var(db_), &env_);
  v = std::string("ab\0cd", 5);
  EXPECT_EQ(v.get_data(), "ab");
}

TEST_F(VarTest, NamedVariableSurvivesReopening) {
  {
    d_var<std::string> v("var2", &env_);
    EXPECT_EQ(v.cell(), 144);
    v = "Quibley";
  }
  reopen();
  d_var<std::string> again("var2", &env_);
  EXPECT_EQ(again.get_data(), "Quibley");
}

TEST_F(VarTest, PlainValuesAreStoredAsTheirBytes) {
  d_var<int> v(create_var(db_), &env_);
  v = -123456;
  long const block = word_at(bytes(), v.cell());
  auto const in_use = db_->allocator()->allocation_list();
  ASSERT_EQ(in_use.front().data, block);
  EXPECT_EQ(in_use.front().size, 4);
  EXPECT_EQ(v.get_data(), -123456);
  EXPECT_EQ(bytes()[block], static_cast<char>(-123456 & 0xff));
}

TEST_F(VarTest, ALengthWordBeyondTheFileIsReportedNotAllocated) {
  d_var<std::string> v(create_var(db_), &env_);
  v = "HELLO";
  long const block = word_at(bytes(), v.cell());
  db_->stream()->write_word(block, long{1} << 40);
  EXPECT_THROW(v.get_data(), char const*);
}

class PtrTest : public test_support::database_test {};

TEST_F(PtrTest, AssignsAndReadsThroughTheProxy) {
  d_ptr<std::string> p(create_pointer(db_), &env_);
  *p = "HELLO, WORLD!";
  std::string const read = *p;
  EXPECT_EQ(read, "HELLO, WORLD!");
  reopen();
  d_ptr<std::string> again(p.cell(), &env_);
  EXPECT_EQ(static_cast<std::string>(*again), "HELLO, WORLD!");
}

TEST_F(PtrTest, AimedAtAVariableReadsAndWritesIt) {
  d_var<std::string> v(create_var(db_), &env_);
  v = "I love C++!";
  d_ptr<std::string> p(create_pointer(db_), &env_);
  *p = "HELLO, WORLD!";
  p = v;
  EXPECT_EQ(static_cast<std::string>(*p), "I love C++!");
  *p = "changed";
  EXPECT_EQ(v.get_data(), "changed");
}

class RefTest : public test_support::database_test {};

TEST_F(RefTest, ComparesByValue) {
  d_ref<std::string> a("LOVE", &env_), b("LOVE", &env_), hate("HATE", &env_);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
  EXPECT_TRUE(hate < a);
  EXPECT_TRUE(a > hate);
  EXPECT_FALSE(hate > a);
  d_ref<std::string> high(std::string("\xe9"), &env_), low("z", &env_);
  EXPECT_TRUE(low < high);  // bytes compare as unsigned
  d_ref<std::string> prefix("LOV", &env_);
  EXPECT_TRUE(prefix < a);
}

TEST_F(RefTest, ConstructionStoresTheValueInItsOwnBlock) {
  d_ref<std::string> r("HATE", &env_);
  auto const f = bytes();
  EXPECT_EQ(word_at(f, r.address()), 5);
  EXPECT_EQ(std::string(&f[r.address() + 8]), "HATE");
  d_ref<std::string> empty(&env_);
  EXPECT_EQ(word_at(bytes(), empty.address()), 1);
  EXPECT_EQ(empty.get_data(), "");
}

TEST_F(RefTest, AssignmentSharesTheBlockWithoutWriting) {
  d_ref<std::string> a("first", &env_), b("second", &env_);
  auto const before = bytes();
  a = b;
  EXPECT_EQ(a.address(), b.address());
  EXPECT_EQ(a.get_data(), "second");
  EXPECT_EQ(bytes(), before);
}

TEST_F(RefTest, DefaultReferenceReservesNothing) {
  auto const before = bytes();
  d_ref<std::string> slots[128];
  EXPECT_EQ(bytes(), before);
  EXPECT_EQ(slots[0].address(), -1);
  EXPECT_EQ(slots[0].get_data(), "");
  d_ref<std::string> r("x", &env_);
  slots[5] = r;
  EXPECT_EQ(slots[5].get_data(), "x");
}

TEST_F(RefTest, GrabAtAnAddressReadsTheStoredValueAfterReopening) {
  long address;
  {
    d_ref<std::string> r("kept", &env_);
    address = r.address();
  }
  reopen();
  d_ref<std::string> r;
  r.grab(env_.stream, address, env_.allocator, env_.database);
  EXPECT_EQ(r.get_data(), "kept");
  r.grab(env_.stream, -1, env_.allocator, env_.database);
  EXPECT_EQ(r.get_data(), "kept");  // no block: the cached value stays
}

}  // namespace
