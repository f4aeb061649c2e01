// Library operations that meet damaged records: each must refuse with
// "corrupt database file..." and write nothing once the damage is seen. The
// damage is made through the open database's own stream, as a stray write
// would make it.
#include <gtest/gtest.h>

#include "d_hashmap.h"
#include "harness.h"

using namespace disk_tools;

namespace {

using string_table = d_hashmap<std::string, std::string>;

class DamagedRecordsTest : public test_support::database_test {
 protected:
  long long writes() const { return db_->stream()->counts().writes; }
  void damage_word(word_t at, word_t value) { db_->stream()->write_word(at, value); }
};

TEST_F(DamagedRecordsTest, HashMapWritesNoCountBackWhileDamageUnwinds) {
  string_table("table", 10, &env_)["key"] = "value";
  long long before = -1;
  try {
    string_table table("table", 10, &env_);
    damage_word(table.bucket_word("key"), db_->stream()->size() + 100);
    before = writes();
    table["key"].get_data();
    FAIL() << "a bucket past the end of the file was followed without complaint";
  } catch (char const* message) {
    EXPECT_STREQ(message, io_tools::corrupt_file_message);
  }
  EXPECT_EQ(writes(), before);
}

}  // namespace
