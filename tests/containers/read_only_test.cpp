// Reading writes nothing: a database holding every kind of container is opened in each
// journal mode, read through every read path of every container (every_kind_contents),
// and closed; the file must then be byte for byte what it was before.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

using namespace disk_tools;

namespace {

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
