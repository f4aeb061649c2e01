// The mapdrill program run in a scratch folder: initialisation, the listing
// of a first run, a second run over the same map, and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using test_support::run_program;

constexpr int keys = 25000;
std::string const rule = "-------------------------";

// The pieces of text between the copies of by.
std::vector<std::string> split(std::string const& text, std::string const& by) {
  std::vector<std::string> parts;
  for (std::size_t at = 0;;) {
    std::size_t const next = text.find(by, at);
    parts.push_back(text.substr(at, next - at));
    if (next == std::string::npos) return parts;
    at = next + by.size();
  }
}

class MapdrillTest : public ::testing::Test {
 protected:
  test_support::run_result run(std::vector<std::string> args, std::string const& input = "") {
    args.insert(args.begin(), MAPDRILL_PATH);
    return run_program(args, dir_.path(), input, 240);
  }
  std::string database() const { return dir_.file("int.odb"); }

  // Checks the whole listing of a normal run and returns its VEC_SIZE: every key, a line per node
  // (its indenting: PrintTreeShowsFirstKeysInPreOrder), then every pair "k -> k" in order, and
  // again by the chain.
  int check_listing(std::string const& out) {
    std::string key_lines, pair_lines;
    for (int i = 0; i < keys; ++i) {
      key_lines += std::to_string(i) + "\n";
      pair_lines += std::to_string(i) + " -> " + std::to_string(i) + "\n";
    }
    std::string const count = "count == 25000\n";
    auto const part = split(out, rule + "\n");
    if (part.size() != 5) {
      ADD_FAILURE() << "the rules cut the listing into " << part.size() << " parts";
      return -1;
    }
    // Compared whole, not by EXPECT_EQ, whose line diff of so long texts would take ages.
    EXPECT_TRUE(part[0] == key_lines) << "the keys";
    static std::regex const tree_line("(   )*[0-9]+");
    auto const tree = split(part[1], "\n");
    EXPECT_GE(tree.size(), static_cast<std::size_t>((keys + 63) / 64 + 1));
    EXPECT_EQ(tree.back(), "");
    auto const not_a_node = [](std::string const& l) { return !std::regex_match(l, tree_line); };
    EXPECT_EQ(std::count_if(tree.begin(), tree.end() - 1, not_a_node), 0);
    std::size_t const vec_line = part[2].find('\n');
    EXPECT_EQ(part[2].rfind("VEC_SIZE=", 0), 0u);
    EXPECT_TRUE(part[2].substr(vec_line + 1) == pair_lines + count) << "the pairs in order";
    auto by_chain = split(part[3], "\n"), in_order = split(pair_lines, "\n");
    std::sort(by_chain.begin(), by_chain.end());
    std::sort(in_order.begin(), in_order.end());
    EXPECT_TRUE(by_chain == in_order) << "the pairs by the chain";
    EXPECT_EQ(part[4], count);
    return std::stoi(part[2].substr(9, vec_line - 9));
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
