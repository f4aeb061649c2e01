// Compaction: a database holding every container kind, churned so that it
// holds free blocks and blocks nothing reaches, reads the same afterwards from
// a file with no free block; refusals change nothing; a failure or a death at
// any write of the compaction leaves the old database or the new one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/odb_check.h>
#include <disk_tools/odb_compact.h>
#include "harness.h"

using namespace disk_tools;
using test_support::fill_every_kind;
using test_support::thrown_by;

namespace {

using number_map = d_map<unsigned, unsigned, unsigned>;

// Everything the roots hold, as text.
std::string contents(std::string const& name) {
  d_env env{};
  scoped_database db = open_database_scoped(name, &env);
  return test_support::every_kind_contents(env);
}

// The database "db" in a scratch folder, made by each test, and not open.
class CompactTest : public test_support::database_test {
 protected:
  void SetUp() override {}
};

TEST_F(CompactTest, EveryKindReadsTheSameFromAFileWithNoFreeBlock) {
  fill_every_kind(name(), 300);
  std::string const before = contents(name());
  ASSERT_GT(open_database_scoped(name(), &env_)->allocator()->free_list().size(), 0u);
  // Churned, every kind still owns every block in use: none was lost. The one note tells the
  // inner list the file holds twice.
  std::vector<std::string> const notes = check_database(path()).notes;
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].rfind("root \"ll\" (list<list<int>>) holds the list whose handle block", 0),
            0u)
      << notes[0];
  auto const length_before = test_support::file_size(path());
  compaction_result const r = compact_database(path());
  EXPECT_EQ(r.length_before, length_before);
  EXPECT_EQ(r.length_after, test_support::file_size(path()));
  EXPECT_EQ(contents(name()), before);
  // The smallest file: the header, then each block in use with its record.
  scoped_database db = open_database_scoped(name(), &env_);
  word_t held = database_header_size;
  for (auto const& b : db->allocator()->allocation_list()) held += b.size + 33;
  EXPECT_EQ(db->allocator()->free_list().size(), 0u);
  db.reset();
  EXPECT_EQ(r.length_after, held);
  EXPECT_LT(r.length_after, r.length_before);
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(compaction_file_of(path())));
  // The compacted database goes on working, and compacts to itself.
  fill_every_kind(name(), 20);
  std::string const again = contents(name());
  compact_database(name());
  EXPECT_EQ(contents(name()), again);
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
}

// What compaction refuses leaves the file as it was: a database open elsewhere, a root whose kind
// is not recorded (its addresses cannot be found), a missing one. A root made without a record is
// compacted once its kind is recorded by hand; a kind its shape refutes (a map of strings for a map
// of numbers, a hash map for a list) is not recorded.
TEST_F(CompactTest, RefusalsChangeNothingAndRecordKindLetsAnOldRootBeCompacted) {
  fill_every_kind(name(), 5);
  d_env env{};
  d_database* db = open_database(name(), &env);
  d_list<int>("old list", &env).push_back(1);
  number_map("old map", &env).put(1, 2);
  auto const open_bytes = bytes();
  EXPECT_EQ(thrown_by([&] { compact_database(name()); }), "database is in use...");
  EXPECT_EQ(bytes(), open_bytes);
  close_database(db);
  auto const closed_bytes = bytes();
  EXPECT_EQ(thrown_by([&] { compact_database(name()); }),
            "root \"old list\" records no kind: compaction cannot find its addresses...");
  EXPECT_EQ(bytes(), closed_bytes);
  EXPECT_EQ(thrown_by([&] { compact_database(dir_.file("missing")); }),
            "unable to open alloc file...");
  db = open_database(name(), &env);
  EXPECT_EQ(thrown_by([&] { db->record_kind("old map", "map<string,string>"); }),
            "root \"old map\" holds no map<string,string>...");
  EXPECT_EQ(thrown_by([&] { db->record_kind("old list", "hashmap<string,string>"); }),
            "root \"old list\" holds a list, not a hashmap<string,string>...");
  db->record_kind("old map", "map<unsigned,unsigned>");
  db->record_kind("old list", "list<int>");
  EXPECT_EQ(thrown_by([&] { db->record_kind("old list", "list<long>"); }),
            "root \"old list\" holds a list<int>, not a list<long>...");
  close_database(db);
  std::string const before = contents(name());
  compact_database(name());
  EXPECT_EQ(contents(name()), before);
  db = open_database(name(), &env);
  EXPECT_EQ(*d_list<int>("old list", &env).begin(), 1);
  unsigned two = 0;
  EXPECT_TRUE(number_map("old map", &env).get(1, two) && two == 2);
  close_database(db);
}

// A compaction started while another is under way is refused ("database is in
// use...") and leaves the other's new file alone: it removed that file before it
// looked at the lock, and the first compaction then failed too, to replace the
// database with a file no longer there.
TEST_F(CompactTest, ASecondCompactionMeanwhileIsRefusedAndTheFirstEndsWell) {
  fill_every_kind(name(), 5);
  std::string const before = contents(name());
  std::string const temp = compaction_file_of(path());
  // Runs the second compaction as the first syncs its new file.
  struct second_at_sync : io_tools::io_observer {
    std::function<void()> run;
    std::string file;
    bool ran = false;
    void on_event(io_tools::io_event const& e) override {
      if (ran || e.what != io_tools::io_event::kind::sync || !e.file || *e.file != file) return;
      ran = true;
      io_tools::set_io_observer(nullptr);
      run();
      io_tools::set_io_observer(this);
    }
  } second;
  second.file = temp;
  std::string refused;
  second.run = [&] { refused = thrown_by([&] { compact_database(name()); }); };
  io_tools::set_io_observer(&second);
  std::string const first = thrown_by([&] { compact_database(name()); });
  io_tools::set_io_observer(nullptr);
  ASSERT_TRUE(second.ran);
  EXPECT_EQ(refused, "database is in use...");
  EXPECT_EQ(first, "");
  EXPECT_EQ(contents(name()), before);
  EXPECT_EQ(check_database_file(path()), std::vector<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(temp));
}

// A file whose allocator records are damaged is not compacted: the new file is
// laid out from them. One whose block in use claimed 0 bytes was compacted into a
// file whose records ran outside it, which then took the old file's name.
TEST_F(CompactTest, AFileWithDamagedRecordsIsRefusedAndKept) {
  fill_every_kind(name(), 5);
  ASSERT_EQ(check_database_file(path()), std::vector<std::string>{});
  auto const sound = bytes();
  std::vector<word_t> in_use;  // the records of blocks in use, by the allocation list
  for (word_t at = test_support::word_at(sound, alloc_list_head); at != no_address;
       at = test_support::word_at(sound, static_cast<std::size_t>(at) + d_alloc_node::next_offset))
    in_use.push_back(at);
  ASSERT_GT(in_use.size(), 10u);
  // Past the first, a record of 0 bytes breaks the list's ascending sizes.
  for (std::size_t const i : {in_use.size() / 2, in_use.size() - 1}) {
    SCOPED_TRACE("the record at " + std::to_string(in_use[i]) + " claims 0 bytes");
    std::vector<char> damaged = sound;
    encode_word(&damaged.at(static_cast<std::size_t>(in_use[i]) + d_alloc_node::size_offset), 0);
    test_support::write_file(path(), damaged);
    ASSERT_FALSE(check_database_file(path()).empty());
    EXPECT_EQ(test_support::code_thrown_by([&] { compact_database(name()); }), errc::corrupt);
    EXPECT_TRUE(bytes() == damaged) << "the file changed";
    EXPECT_FALSE(std::filesystem::exists(compaction_file_of(path())));
  }
}

// Blocks that no root owns are space nothing reaches again: the check tells of them (when every
// root records its kind, so that it can be walked), and compaction gives them back.
TEST_F(CompactTest, SpaceNoRootOwnsIsToldUntilCompactionGivesItBack) {
  ASSERT_TRUE(create_database(name(), nullptr));
  d_env env{};
  d_database* db = open_database(name(), &env, d_open_options{});  // records kinds
  d_vector<long>("kept", 4, &env).push_back(1);
  d_vector<long>(&env).push_back(2);  // held by nothing once made
  close_database(db);
  std::vector<std::string> const notes = check_database(path()).notes;
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("that no root owns: space lost until the database is compacted"),
            std::string::npos);
  compact_database(name());
  EXPECT_EQ(check_database(path()).notes, std::vector<std::string>{});
  db = open_database(name(), &env);
  EXPECT_EQ(*d_vector<long>("kept", 4, &env).begin(), 1);
  close_database(db);
}

// Fails (throw) or dies (_exit) at the chosen write, sync or resize; never
// when n is -1, then counting them in left (down from -1).
struct stop_at : io_tools::io_observer {
  explicit stop_at(long n, bool die) : left(n), die(die) { io_tools::set_io_observer(this); }
  ~stop_at() { io_tools::set_io_observer(nullptr); }
  void on_event(io_tools::io_event const&) override {
    if (left-- != 0) return;
    if (die) ::_exit(3);
    throw error(errc::io_failure, "injected failure...");
  }
  long left;
  bool die;
};

class CompactCrashTest : public CompactTest {
 protected:
  void SetUp() override {
    fill_every_kind(name(), 2);
    expected = contents(name());
    old_bytes = test_support::read_file(path());
    test_support::scratch_dir done;
    std::filesystem::copy_file(path(), done.file("db.odb"));
    stop_at counter(-1, false);
    new_length = compact_database(done.file("db")).length_after;
    steps = -1 - counter.left;
    ASSERT_GT(steps, 50);
  }
  // Puts the old database back for the next step.
  void restore() {
    test_support::write_file(path(), old_bytes);
    std::filesystem::remove(index_file_of(path()));
  }
  // The database reads as it did, checks clean, and is the old file or the new.
  void expect_old_or_new(long step) {
    auto const length = test_support::file_size(path());
    EXPECT_TRUE(length == static_cast<std::int64_t>(old_bytes.size()) || length == new_length)
        << "step " << step << ": " << length;
    EXPECT_EQ(contents(name()), expected) << "step " << step;
    EXPECT_EQ(check_database_file(path()), std::vector<std::string>{}) << "step " << step;
  }

  std::string expected;
  std::vector<char> old_bytes;
  word_t new_length = 0;
  long steps = 0;
};

// A failure at any write, sync, rename or resize of a compaction leaves the old file byte for byte
// and nothing beside it, or, once the new file has taken the name (a failing folder sync after the
// rename, or where the stream layer works around the failure, as when growing ahead), the new one.
TEST_F(CompactCrashTest, AFailureAtAnyStepLeavesTheOldFileUntouched) {
  for (long step = 0; step <= steps; ++step) {
    std::string message;
    {
      stop_at failure(step, false);
      message = thrown_by([&] { compact_database(name()); });
    }
    // The failure surfaces as itself, or as the refusal of the step it broke
    // (making the new file reports "unable to open alloc file...").
    ASSERT_TRUE(message.empty() || message == "injected failure..." ||
                message == "unable to open alloc file...")
        << "step " << step << ": " << message;
    if (test_support::read_file(path()) != old_bytes) {
      expect_old_or_new(step);
      restore();
    }
    ASSERT_FALSE(std::filesystem::exists(compaction_file_of(path()))) << "step " << step;
  }
}

// A process that dies during a compaction leaves the old database or the new
// one; the next compaction clears what it left behind. Deaths at every
// seventh step and at the last ones (the sync and what follows).
TEST_F(CompactCrashTest, ADeathAtAnyStepLeavesTheOldDatabaseOrTheNew) {
  test_support::child_processes kids;
  for (long step = 0; step <= steps; step += step + 8 > steps ? 1 : 7) {
    restore();
    // 3: died at the step; 100: the compaction threw instead.
    int const status = kids.run([&] {
      stop_at death(step, true);
      compact_database(name());
      return 0;
    });
    ASSERT_TRUE(status == 0 || status == 3) << "step " << step << ": " << status;
    expect_old_or_new(step);
  }
  restore();
  compact_database(name());
  EXPECT_FALSE(std::filesystem::exists(compaction_file_of(path())));
}

}  // namespace
