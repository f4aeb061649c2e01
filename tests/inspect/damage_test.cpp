// Copies of showcase and mapdrill databases, cut, flipped and given bad words,
// run through odbcheck (answers 0, 1 or 2) and the driver (succeeds or fails with
// a message below 128): no crash, hang, gigabytes or sanitizer report.
#include <disk_tools/detail/coding.h>
#include <disk_tools/detail/d_alloc_node.h>
#include <disk_tools/detail/directory.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <set>

#include "harness.h"

namespace {

namespace dt = disk_tools;
using dt::word_t;
using test_support::run_result;
constexpr std::size_t header = dt::database_header_size;
constexpr std::size_t word_size = dt::word_size;

// A word field of the file and the record it belongs to.
struct word_field {
  std::size_t offset;
  word_t own_record;  // aiming the field there bends a link into a cycle
};

// List heads, the first roots' slots, and for blocks spread over the allocation
// list their record's words and the block's first words (links and counts).
std::vector<word_field> sample_fields(std::vector<char> const& bytes, std::size_t blocks) {
  std::vector<word_field> fields = {{0, 0}, {8, 8}};
  for (word_t const entry : {dt::directory_entry::address_of(0), dt::directory_entry::address_of(1),
                             dt::directory_entry::address_of(2)})
    fields.push_back({static_cast<std::size_t>(entry) + dt::directory_entry::slot_offset, entry});
  std::vector<dt::d_alloc_node> records;
  word_t at = dt::decode_word(bytes.data());
  while (at >= static_cast<word_t>(header) && records.size() < bytes.size() / 33 &&
         static_cast<std::size_t>(at) + dt::d_alloc_node::record_size <= bytes.size()) {
    records.push_back(dt::d_alloc_node::decode(&bytes[static_cast<std::size_t>(at)]));
    at = records.back().next;
  }
  for (std::size_t i = 0; i < blocks && !records.empty(); ++i) {
    auto const& r = records[i * (records.size() - 1) / std::max<std::size_t>(blocks - 1, 1)];
    auto const own = static_cast<std::size_t>(r.own);
    for (std::size_t o : {dt::d_alloc_node::data_offset, dt::d_alloc_node::size_offset,
                          dt::d_alloc_node::next_offset})
      fields.push_back({own + o, r.own});
    for (std::size_t w = 0;
         w < 4 && r.data >= 0 && (w + 1) * word_size <= static_cast<std::size_t>(r.size); ++w)
      fields.push_back({static_cast<std::size_t>(r.data) + w * word_size, r.data});
  }
  return fields;
}

// Sanitizer builds exit so when they report: a report cannot pass for a clean failure.
constexpr int asan_status = 86;
constexpr int ubsan_status = 87;
// The sound runs need a few tens of megabytes, sanitizers included.
constexpr long memory_limit_kb = 512 * 1024;

struct driver {
  std::string name, program, database;  // the file is database + ".odb"
  int runs;                             // normal runs that build the sound file
  int flips;  // random byte and word flips (a mapdrill run takes half a second)
};

class DamageTest : public ::testing::TestWithParam<driver> {
 protected:
  static void SetUpTestSuite() {
    std::string const ubsan = "halt_on_error=1:print_stacktrace=1:exitcode=";
    ::setenv("UBSAN_OPTIONS", (ubsan + std::to_string(ubsan_status)).c_str(), 1);
    std::string const asan = "detect_leaks=1:exitcode=" + std::to_string(asan_status);
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
  }

  void SetUp() override {
    ASSERT_EQ(run(base_, {"-init"}).status, 0);
    for (int i = 0; i < GetParam().runs; ++i) ASSERT_EQ(run(base_, {}).status, 0);
    sound_ = test_support::read_file(base_.file(GetParam().database + ".odb"));
    ASSERT_GT(sound_.size(), header);
    ASSERT_EQ(odbcheck(base_).status, 0);
    tried_files_.insert(std::to_string(sound_.size()));
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

  // odbcheck and the driver on a copy with `with` at `at`, cut to `keep` bytes,
  // unless that copy was tried already (or is the sound file).
  void try_one(std::string const& what, std::size_t at, std::vector<char> const& with,
               std::size_t keep = std::numeric_limits<std::size_t>::max()) {
    std::vector<char> bytes = sound_;
    std::copy(with.begin(), with.end(), bytes.begin() + static_cast<long>(at));
    bytes.resize(std::min(keep, bytes.size()));
    std::string key = std::to_string(bytes.size());
    for (std::size_t i = at; i < std::min(at + with.size(), bytes.size()); ++i)
      if (bytes[i] != sound_[i]) key += " " + std::to_string(i) + "=" + std::to_string(bytes[i]);
    if (!tried_files_.insert(key).second) {
      ++repeats_;
      return;
    }
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

  // The tally, and what every family must meet.
  void TearDown() override {
    std::cout << "damage tally: " << ::testing::UnitTest::GetInstance()->current_test_info()->name()
              << ": " << tried_ << " damaged files, odbcheck reported " << reported_
              << ", the driver failed cleanly on " << failed_cleanly_ << " and succeeded on "
              << succeeded_ << ", faults " << faults_ << "; " << repeats_ << " repeats not run"
              << std::endl;
    EXPECT_EQ(faults_, 0);
    EXPECT_GT(tried_, 0);
    rusage usage{};  // the largest resident size of any run
    ::getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LE(usage.ru_maxrss, memory_limit_kb);
  }

  bool showcase() const { return GetParam().name == "showcase"; }

  test_support::scratch_dir base_, work_;
  std::vector<char> sound_;
  std::set<std::string> tried_files_;
  int tried_ = 0, repeats_ = 0, reported_ = 0, failed_cleanly_ = 0, succeeded_ = 0, faults_ = 0;
};

TEST_P(DamageTest, Truncations) {
  // Cuts at the edges of the header and list heads, and 24 over the blocks.
  std::size_t const size = sound_.size();
  std::set<std::size_t> cuts = {0,          1,           7,         8,          15,
                                16,         17,          100,       header - 1, header,
                                header + 1, header + 33, size - 33, size - 8,   size - 1};
  for (std::size_t i = 1; i <= 24; ++i) cuts.insert(header + (size - header) * i / 25);
  for (std::size_t cut : cuts)
    if (cut < size) try_one("cut to " + std::to_string(cut) + " bytes", 0, {}, cut);
  // Every cut loses at least a record's tail or the header: odbcheck must see it.
  EXPECT_EQ(reported_, tried_);
}

TEST_P(DamageTest, ByteAndWordFlips) {
  std::mt19937 rng(20240601);
  std::size_t const words = (sound_.size() - header) / word_size;
  for (int i = 0; i < GetParam().flips; ++i) {
    // Bytes anywhere; words on a word boundary of the blocks, one in four anywhere.
    std::size_t const width = i % 2 == 0 ? 1 : word_size;
    std::size_t const at = width == 1 || i % 8 == 7 ? rng() % (sound_.size() - width + 1)
                                                    : header + word_size * (rng() % words);
    std::vector<char> flipped(sound_.begin() + static_cast<long>(at),
                              sound_.begin() + static_cast<long>(at + width));
    for (char& c : flipped) c = static_cast<char>(~c);
    try_one((width == 1 ? "byte" : "word") + std::string(" inverted at ") + std::to_string(at), at,
            flipped);
  }
}

TEST_P(DamageTest, BadValuesInEveryKindOfWordField) {
  auto const fields = sample_fields(sound_, showcase() ? 12 : 4);
  EXPECT_GE(fields.size(), showcase() ? 60u : 25u);  // the list was walked
  for (auto const& f : fields) {
    std::pair<char const*, word_t> const values[] = {
        {"-1", -1},
        {"0", 0},
        {"past the end", static_cast<word_t>(sound_.size()) + 40},
        {"far past the end", word_t{1} << 40},
        {"inside the header", 100},
        {"the largest word", std::numeric_limits<word_t>::max()},
        {"its own record", f.own_record}};
    for (auto const& [name, value] : values) {
      std::vector<char> word(word_size);
      dt::encode_word(word.data(), value);
      try_one("the word at " + std::to_string(f.offset) + " set to " + name, f.offset, word);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, DamageTest,
                         ::testing::Values(driver{"showcase", SHOWCASE_PATH, "test", 3, 240},
                                           driver{"mapdrill", MAPDRILL_PATH, "int", 1, 80}),
                         [](auto const& info) { return info.param.name; });

}  // namespace
