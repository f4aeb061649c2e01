// End-to-end tests of the showcase program: each runs the built program in a
// scratch folder and compares its whole output.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <disk_tools/d_db.h>
#include "harness.h"
#include <disk_tools/odb_check.h>

using test_support::run_program;
using test_support::run_result;

namespace {

std::string const hyphens(38, '-');

std::string lines(std::vector<std::string> const& v) {
  std::string out;
  for (auto const& l : v) out += l + "\n";
  return out;
}

std::string times(std::string const& text, int copies) {
  std::string r;
  for (int i = 0; i < copies; ++i) r += text;
  return r;
}

// The output of a run whose list walks, inner lists, stored texts and vector
// are those given.
std::string expected_run(std::vector<std::string> const& walk_before,
                         std::vector<std::string> const& walk_after, int inner_lists, int copies,
                         std::vector<std::string> const& vector, std::string const& var2_before) {
  std::vector<std::string> out = {"open db next...", "db open...", "list open...",
                                  "did push 1",      "did push 2", "did push..."};
  for (auto const& v : walk_before) out.push_back("DATA = " + v);
  for (auto const& l :
       {"did list...", "did pop 1", "did pop 2", "iterator...", "sort..", "did sort..."}) {
    out.push_back(l);
  }
  for (auto const& v : walk_after) out.push_back("DATA = " + v);
  out.push_back("done with stirng list...");
  out.push_back("made the lists...");
  for (auto const& l : {"int=3", "int=2", "int=1"}) out.push_back(l);
  for (int i = 0; i < inner_lists; ++i) {
    for (auto const& l : {"---", "ptr2 == 3", "ptr2 == 2", "ptr2 == 1"}) out.push_back(l);
  }
  out.push_back(hyphens);
  out.push_back(hyphens);
  auto repeated = [&](std::string const& text) { return times(text, copies); };
  for (auto const& [key, text] :
       std::vector<std::pair<std::string, std::string>>{{"hello", "HELLO"},
                                                        {"world", "WORLD"},
                                                        {"quibley", "QUIBLEY"},
                                                        {"hello2", "HELLO2"},
                                                        {"love", "LOVE"}}) {
    out.push_back(key + "=" + repeated(text));
  }
  for (std::size_t i = 0; i < vector.size(); ++i) {
    out.push_back("str_vec[" + std::to_string(i) + "] == " + vector[i]);
  }
  out.push_back("HELLO, WORLD!");
  out.push_back("I love C++!");
  out.push_back("I love C++!");
  out.push_back("HELLO: " + var2_before);
  out.push_back("HELLO: Quibley");
  out.push_back("love=" + repeated("LOVE"));
  out.push_back("hello=" + repeated("HELLO"));
  out.push_back("god=" + repeated("GOD"));
  out.push_back("god=" + repeated("GOD"));
  out.push_back("hello=" + repeated("HELLO"));
  out.push_back("love=" + repeated("LOVE"));
  out.push_back("done...");
  return lines(out);
}

class ShowcaseTest : public ::testing::Test {
 protected:
  run_result run(std::vector<std::string> args = {}) {
    args.insert(args.begin(), SHOWCASE_PATH);
    return run_program(args, dir_.path());
  }
  std::string db_path() const { return dir_.file("test.odb"); }

  test_support::scratch_dir dir_;
};

TEST_F(ShowcaseTest, FirstRunAfterInitPrintsTheWholeScript) {
  ASSERT_EQ(run({"-init"}).status, 0);
  run_result const r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string const expected =
      expected_run({"HATE", "HATE", "HATE", "LOVE", "LOVE", "LOVE"},
                   {"LOVE", "HATE", "GOD", "<<GOD>>"}, 1, 1, {"AA", "BB", "CC", "GG", "PPZ"}, "");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 55);
}

TEST_F(ShowcaseTest, SecondRunContinuesFromTheStoredState) {
  ASSERT_EQ(run({"-init"}).status, 0);
  ASSERT_EQ(run().status, 0);
  run_result const r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  // The list kept LOVE, HATE, GOD, <<GOD>> and gains three HATE in front and
  // three LOVE behind before the walks.
  std::string const expected = expected_run(
      {"HATE", "HATE", "HATE", "LOVE", "HATE", "GOD", "<<GOD>>", "LOVE", "LOVE", "LOVE"},
      {"LOVE", "LOVE", "LOVE", "HATE", "GOD", "GOD", "<<GOD>>", "<<GOD>>"}, 2, 2,
      {"AA", "AA", "BB", "BB", "CC", "CC", "GG", "GG", "PPZ", "PPZ"}, "Quibley");
  EXPECT_EQ(r.out, expected);
}

TEST_F(ShowcaseTest, TwentyFiveRunsKeepEveryVectorElement) {
  ASSERT_EQ(run({"-init"}).status, 0);
  run_result last;
  for (int i = 0; i < 25; ++i) {
    last = run();
    ASSERT_EQ(last.status, 0) << "run " << i + 1 << ": " << last.err;
    ASSERT_EQ(last.err, "") << "run " << i + 1;
  }
  std::vector<std::string> vector_lines;
  std::size_t from = 0;
  while ((from = last.out.find("str_vec[", from)) != std::string::npos) {
    std::size_t const end = last.out.find('\n', from);
    vector_lines.push_back(last.out.substr(from, end - from));
    from = end;
  }
  ASSERT_EQ(vector_lines.size(), 125u);
  std::vector<std::string> values;
  for (std::size_t i = 0; i < vector_lines.size(); ++i) {
    std::string const prefix = "str_vec[" + std::to_string(i) + "] == ";
    ASSERT_EQ(vector_lines[i].rfind(prefix, 0), 0u) << vector_lines[i];
    values.push_back(vector_lines[i].substr(prefix.size()));
  }
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  for (auto const& v : {"AA", "BB", "CC", "GG", "PPZ"}) {
    EXPECT_EQ(std::count(values.begin(), values.end(), v), 25) << v;
  }
  EXPECT_NE(last.out.find("hello=" + times("HELLO", 25) + "\n"), std::string::npos);
  auto const problems = disk_tools::check_database_file(db_path());
  EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(ShowcaseTest, RunWithoutADatabaseFailsWithTheOpenMessage) {
  run_result const r = run();
  EXPECT_EQ(r.out, "open db next...\n");
  EXPECT_EQ(r.err, "unable to open alloc file...\n");
  EXPECT_NE(r.status, 0);
}

TEST_F(ShowcaseTest, InitAnywhereCreatesADatabaseWithOnlyTheMap) {
  run_result const r = run({"first", "-init", "last"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  auto const f = test_support::read_file(db_path());
  ASSERT_GE(f.size(), 13616u);
  EXPECT_EQ(std::string(&f[16]), "bt");
  for (int e = 1; e < 100; ++e) EXPECT_EQ(f[16 + 136 * e], 0) << "entry " << e;
  // The directory, the map header (24 bytes) and its first node (9264 bytes),
  // each block followed by its 33-byte record: no empty-string blocks.
  EXPECT_EQ(f.size(), 13616u + 24 + 33 + 9264 + 33);
  disk_tools::d_env env{};
  disk_tools::d_database* db = disk_tools::open_database(dir_.file("test"), &env);
  EXPECT_EQ(db->allocator()->allocation_list().size(), 2u);
  disk_tools::close_database(db);
}

TEST_F(ShowcaseTest, DamagedDatabaseIsReportedNotCrashedOn) {
  ASSERT_EQ(run({"-init"}).status, 0);
  ASSERT_EQ(run().status, 0);
  auto f = test_support::read_file(db_path());
  f.resize(f.size() / 2);
  test_support::write_file(db_path(), f);
  run_result const r = run();
  EXPECT_NE(r.status, 0);
  EXPECT_LT(r.status, 128) << "killed by a signal";
  EXPECT_NE(r.err, "");
}

}  // namespace
