// The mapdrill program run in a scratch folder: initialisation, the listing
// of a first run, a second run over the same map, and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using test_support::run_program;

constexpr int keys = 25000;
std::string const rule = "-------------------------";

// Reads the pair lines "k -> v" from lines[at] on; every key must equal its value.
std::vector<int> pairs_from(std::vector<std::string> const& lines, std::size_t& at) {
  static std::regex const pair_line("([0-9]+) -> ([0-9]+)");
  std::vector<int> found;
  std::smatch m;
  for (; at < lines.size() && std::regex_match(lines[at], m, pair_line); ++at) {
    EXPECT_EQ(m[1], m[2]) << lines[at];
    found.push_back(std::stoi(m[1]));
  }
  return found;
}

class MapdrillTest : public ::testing::Test {
 protected:
  test_support::run_result run(std::vector<std::string> args, std::string const& input = "") {
    args.insert(args.begin(), MAPDRILL_PATH);
    return run_program(args, dir_.path(), input, 240);
  }
  std::string database() const { return dir_.file("int.odb"); }

  // Checks the whole listing of a normal run and returns its VEC_SIZE.
  int check_listing(std::string const& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::size_t at = 0;
    for (int i = 0; i < keys; ++i, ++at) {
      if (at >= lines.size() || lines[at] != std::to_string(i)) {
        ADD_FAILURE() << "line " << at << " should be " << i;
        return -1;
      }
    }
    EXPECT_EQ(lines.at(at++), rule);
    // A line per node (its indenting: PrintTreeShowsFirstKeysInPreOrder).
    static std::regex const tree_line("((   )*)([0-9]+)");
    std::size_t tree_lines = 0;
    for (; at < lines.size() && std::regex_match(lines[at], tree_line); ++at) ++tree_lines;
    EXPECT_GE(tree_lines, static_cast<std::size_t>((keys + 63) / 64));
    EXPECT_EQ(lines.at(at++), rule);
    EXPECT_EQ(lines.at(at).rfind("VEC_SIZE=", 0), 0u);
    int const vec_size = std::stoi(lines.at(at++).substr(std::string("VEC_SIZE=").size()));

    std::vector<int> ascending(keys);
    std::iota(ascending.begin(), ascending.end(), 0);
    EXPECT_EQ(pairs_from(lines, at), ascending);
    EXPECT_EQ(lines.at(at++), "count == 25000");
    EXPECT_EQ(lines.at(at++), rule);
    std::vector<int> by_chain = pairs_from(lines, at);
    std::sort(by_chain.begin(), by_chain.end());
    EXPECT_EQ(by_chain, ascending);
    EXPECT_EQ(lines.at(at++), rule);
    EXPECT_EQ(lines.at(at++), "count == 25000");
    EXPECT_EQ(at, lines.size());
    return vec_size;
  }

  test_support::scratch_dir dir_;
};

TEST_F(MapdrillTest, InitCreatesTheDatabaseQuietly) {
  // -init is taken in any position.
  for (auto const& args : {std::vector<std::string>{"-init"}, {"other", "-init"}}) {
    auto const r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(test_support::file_size(database()), 14266);
  }
}

TEST_F(MapdrillTest, RunsListEveryPairAndASecondRunAddsNothing) {
  ASSERT_EQ(run({"-init"}).status, 0);
  std::int64_t size = 0;
  // The second run's input ends at once: the pauses simply go on.
  for (auto const& [input, added] : {std::pair{"\n\n\n\n", keys}, std::pair{"", 0}}) {
    auto const r = run({}, input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(check_listing(r.out), added);
    if (added == 0) {
      EXPECT_EQ(test_support::file_size(database()), size);
    }
    size = test_support::file_size(database());
  }
}

TEST_F(MapdrillTest, MissingOrDamagedDatabaseIsAFailure) {
  auto const missing = run({});
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "unable to open alloc file...\n");

  ASSERT_EQ(run({"-init"}).status, 0);
  auto bytes = test_support::read_file(database());
  // The map header's root word now points past the end of the file.
  std::int64_t const header = test_support::word_at(bytes, 16 + 128);
  for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(header) + 8 + i] = '\x7f';
  test_support::write_file(database(), bytes);
  auto const damaged = run({});
  EXPECT_NE(damaged.status, 0);
  EXPECT_EQ(damaged.err, "corrupt database file...\n");
}

}  // namespace
