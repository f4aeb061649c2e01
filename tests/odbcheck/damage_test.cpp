// Damages copies of real databases, made by the built showcase and mapdrill,
// in many deterministic ways (truncations, byte and word flips, bad values in
// every kind of record field, links bent into cycles) and runs odbcheck and
// the driver on each copy. Neither may crash, hang, take gigabytes or draw a
// sanitizer report; odbcheck answers 0, 1 or 2, and a driver succeeds or fails
// with a message and a status below 128. Each test prints its tally.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <set>

#include <disk_tools/coding.h>
#include <disk_tools/directory.h>
#include "harness.h"
#include "record_fields.h"

namespace {

using disk_tools::word_t;
using test_support::run_result;
constexpr std::size_t header = disk_tools::database_header_size;
constexpr std::size_t word_size = disk_tools::word_size;

// Sanitizer builds exit with these statuses when they report, so that a report
// cannot pass for a clean failure.
constexpr int asan_status = 86;
constexpr int ubsan_status = 87;
// The sound runs need a few tens of megabytes, sanitizers included.
constexpr long memory_limit_kb = 512 * 1024;

std::vector<char> word_bytes(word_t value) {
  std::vector<char> w(word_size);
  disk_tools::encode_word(w.data(), value);
  return w;
}

struct driver {
  std::string name, program, database;  // the file is database + ".odb"
  int runs;                             // normal runs that build the sound file
};
void PrintTo(driver const& d, std::ostream* out) {
  *out << d.name;
}

class DamageTest : public ::testing::TestWithParam<driver> {
 protected:
  static void SetUpTestSuite() {
    std::string const ubsan =
        "halt_on_error=1:print_stacktrace=1:exitcode=" + std::to_string(ubsan_status);
    ::setenv("UBSAN_OPTIONS", ubsan.c_str(), 1);
    ::setenv("ASAN_OPTIONS",
             ("exitcode=" + std::to_string(asan_status) + ":detect_leaks=1").c_str(), 1);
  }

  void SetUp() override {
    ASSERT_EQ(run(base_, {"-init"}).status, 0);
    for (int i = 0; i < GetParam().runs; ++i) ASSERT_EQ(run(base_, {}).status, 0);
    sound_ = test_support::read_file(base_.file(GetParam().database + ".odb"));
    ASSERT_GT(sound_.size(), header);
    ASSERT_EQ(odbcheck(base_).status, 0);
  }

  run_result run(test_support::scratch_dir const& dir, std::vector<std::string> args) {
    args.insert(args.begin(), GetParam().program);
    return test_support::run_program(args, dir.path(), "", 60);
  }
  run_result odbcheck(test_support::scratch_dir const& dir) {
    return test_support::run_program({ODBCHECK_PATH, GetParam().database}, dir.path(), "", 30);
  }

  void fault(std::string const& text) {
    if (++faults_ <= 20) ADD_FAILURE() << text;  // quoted in full, then only counted
  }

  void check_run(std::string const& who, run_result const& r, bool clean) {
    if (!clean || r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos)
      fault(who + ": status " + std::to_string(r.status) + "\n" + r.err.substr(0, 2000));
  }

  // Runs odbcheck and then the driver on a copy with `with` written at `at`
  // and cut to `keep` bytes.
  void try_one(std::string const& what, std::size_t at, std::vector<char> const& with,
               std::size_t keep = std::numeric_limits<std::size_t>::max()) {
    std::vector<char> bytes = sound_;
    std::copy(with.begin(), with.end(), bytes.begin() + static_cast<long>(at));
    bytes.resize(std::min(keep, bytes.size()));
    std::string const file = work_.file(GetParam().database + ".odb");
    test_support::write_file(file, bytes);
    ++tried_;
    std::string const on = " on the file with " + what;

    run_result const check = odbcheck(work_);
    check_run("odbcheck" + on, check, check.status >= 0 && check.status <= 2);
    if (check.status == 1 || check.status == 2) ++reported_;
    if (test_support::read_file(file) != bytes) fault("odbcheck changed the file with " + what);

    run_result const r = run(work_, {});
    bool const clean_failure = r.status > 0 && r.status < 128 && r.status != asan_status &&
                               r.status != ubsan_status && !r.err.empty();
    check_run(GetParam().name + on, r, r.status == 0 || clean_failure);
    if (r.status == 0) ++succeeded_;
    if (!clean_failure) return;
    ++failed_cleanly_;
    // Refused before the database was touched: the file must be as it was.
    bool const refused_at_open = r.err.find("not a database file...") != std::string::npos ||
                                 r.err.find("unable to open alloc file...") != std::string::npos;
    if (refused_at_open && test_support::read_file(file) != bytes)
      fault(GetParam().name + " refused the file with " + what + " but changed it");
  }

  void report(std::string const& family) {
    std::cout << "damage tally: " << GetParam().name << ", " << family << ": " << tried_
              << " damaged files, odbcheck reported " << reported_
              << ", the driver failed cleanly on " << failed_cleanly_ << " and succeeded on "
              << succeeded_ << ", faults " << faults_ << std::endl;
    EXPECT_EQ(faults_, 0);
    EXPECT_GT(tried_, 0);
    rusage usage{};  // the largest resident size of any run
    ::getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LE(usage.ru_maxrss, memory_limit_kb);
  }

  std::vector<char> inverted(std::size_t at, std::size_t n) const {
    std::vector<char> out(sound_.begin() + static_cast<long>(at),
                          sound_.begin() + static_cast<long>(at + n));
    for (char& c : out) c = static_cast<char>(~c);
    return out;
  }

  bool showcase() const { return GetParam().name == "showcase"; }

  test_support::scratch_dir base_, work_;
  std::vector<char> sound_;
  int tried_ = 0, reported_ = 0, failed_cleanly_ = 0, succeeded_ = 0, faults_ = 0;
};

TEST_P(DamageTest, Truncations) {
  // Cuts at the edges of the header and the allocator's heads, and at 24
  // points spread over the blocks area.
  std::size_t const size = sound_.size();
  std::set<std::size_t> cuts = {0,          1,           7,         8,          15,
                                16,         17,          100,       header - 1, header,
                                header + 1, header + 33, size - 33, size - 8,   size - 1};
  for (std::size_t i = 1; i <= 24; ++i) cuts.insert(header + (size - header) * i / 25);
  for (std::size_t cut : cuts)
    if (cut < size) try_one("cut to " + std::to_string(cut) + " bytes", 0, {}, cut);
  report("truncations");
  // Every cut loses at least a record's tail or the header: odbcheck must see it.
  EXPECT_EQ(reported_, tried_);
}

TEST_P(DamageTest, ByteFlips) {
  std::mt19937 rng(20240601);
  for (int i = 0; i < 120; ++i) {
    std::size_t const at = rng() % sound_.size();
    try_one("byte inverted at " + std::to_string(at), at, inverted(at, 1));
  }
  report("byte flips");
}

TEST_P(DamageTest, WordFlips) {
  std::mt19937 rng(20240602);
  std::size_t const words = (sound_.size() - header) / word_size;
  for (int i = 0; i < 120; ++i) {
    // One in four anywhere, the others on a word boundary of the blocks area.
    std::size_t const at =
        i % 4 == 3 ? rng() % (sound_.size() - word_size) : header + word_size * (rng() % words);
    try_one("word inverted at " + std::to_string(at), at, inverted(at, word_size));
  }
  report("word flips");
}

TEST_P(DamageTest, BadValuesInEveryFieldKind) {
  // Every field inverted and one more; a narrow field set to 0; a word set to
  // -1, 0, past the end, far past it, inside the header and the largest word.
  auto const picked = test_support::sample_fields(sound_, 2);
  EXPECT_GE(picked.size(), showcase() ? 50u : 15u);  // every record kind the drivers write
  std::pair<char const*, word_t> const values[] = {
      {"-1", -1},
      {"0", 0},
      {"past the end", static_cast<word_t>(sound_.size()) + 40},
      {"far past the end", word_t{1} << 40},
      {"inside the header", 100},
      {"the largest word", std::numeric_limits<word_t>::max()}};
  for (auto const& f : picked) {
    std::string const where = f.kind + " at " + std::to_string(f.offset);
    std::vector<char> plus_one(sound_.begin() + static_cast<long>(f.offset),
                               sound_.begin() + static_cast<long>(f.offset + f.width));
    for (char& c : plus_one) {  // little-endian, with carry
      c = static_cast<char>(static_cast<unsigned char>(c) + 1);
      if (c != 0) break;
    }
    try_one(where + " inverted", f.offset, inverted(f.offset, f.width));
    try_one(where + " plus one", f.offset, plus_one);
    if (f.width != word_size) try_one(where + " set to 0", f.offset, std::vector<char>(f.width));
    for (auto const& [name, value] : values)
      if (f.width == word_size) try_one(where + " set to " + name, f.offset, word_bytes(value));
  }
  report("bad field values");
}

TEST_P(DamageTest, LinksBentIntoCycles) {
  // Every link aimed at its own record and at the first record of its chain.
  for (auto const& f : test_support::sample_fields(sound_, 3)) {
    if (f.own_record < 0) continue;
    std::string const where = f.kind + " at " + std::to_string(f.offset);
    try_one(where + " aimed at its own record", f.offset, word_bytes(f.own_record));
    if (f.first_record >= 0 && f.first_record != f.own_record)
      try_one(where + " aimed at the first of its chain", f.offset, word_bytes(f.first_record));
  }
  EXPECT_GE(tried_, showcase() ? 20 : 8);
  report("cycles");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DamageTest,
                         ::testing::Values(driver{"showcase", SHOWCASE_PATH, "test", 3},
                                           driver{"mapdrill", MAPDRILL_PATH, "int", 1}),
                         [](auto const& info) { return info.param.name; });

}  // namespace
