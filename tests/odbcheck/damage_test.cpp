// Damages copies of real databases, made by the built showcase and mapdrill
// programs, in many deterministic ways, and runs odbcheck and the driver on
// each copy. Neither may crash, hang or draw a sanitizer report; odbcheck
// answers 0, 1 or 2, and a driver either succeeds or fails with a message on
// standard error and a status below 128. Each test prints its tally.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "damage_plan.h"
#include "harness.h"
#include "record_fields.h"

namespace {

using test_support::damage;
using test_support::run_program;
using test_support::run_result;

// Sanitizer builds exit with these statuses when they report, so that a report
// cannot pass for a clean failure; other builds ignore the settings.
constexpr int asan_status = 86;
constexpr int ubsan_status = 87;
// No run may come near allocating gigabytes; the sound runs need a few tens
// of megabytes, sanitizers included.
constexpr long memory_limit_kb = 512 * 1024;
constexpr int check_seconds = 30;
constexpr int run_seconds = 60;
// Messages quoted in full before the failures are only counted.
constexpr int reported_faults = 20;

struct driver {
  std::string name;
  std::string program;
  std::string database;  // the file is database + ".odb"
  int runs;              // normal runs that build the sound file
  // Leak reports are turned off for a program that leaves its database open
  // when it fails (showcase holds it in a plain pointer): at exit that is no
  // fault of the file's handling.
  bool check_leaks;
};

void PrintTo(driver const& d, std::ostream* out) {
  *out << d.name;
}

driver const showcase{"showcase", SHOWCASE_PATH, "test", 3, true};
driver const mapdrill{"mapdrill", MAPDRILL_PATH, "int", 1, true};

bool sanitizer_report(std::string const& err) {
  return err.find("Sanitizer") != std::string::npos ||
         err.find("runtime error:") != std::string::npos;
}

// Messages given before the database has been touched: the file must be as
// it was.
bool refused_at_open(std::string const& err) {
  return err.find("not a database file...") != std::string::npos ||
         err.find("unable to open alloc file...") != std::string::npos;
}

// The largest resident size any finished child process of this one reached.
long children_peak_kb() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

struct tally {
  int tried = 0;
  int reported = 0;
  int failed_cleanly = 0;
  int succeeded = 0;
  int faults = 0;
};

class DamageTest : public ::testing::TestWithParam<driver> {
 protected:
  static void SetUpTestSuite() {
    ::setenv(
        "UBSAN_OPTIONS",
        ("halt_on_error=1:print_stacktrace=1:exitcode=" + std::to_string(ubsan_status)).c_str(), 1);
  }

  void SetUp() override {
    driver const& d = GetParam();
    run_result const init = run(base_, {"-init"});
    ASSERT_EQ(init.status, 0) << init.err;
    for (int i = 0; i < d.runs; ++i) {
      run_result const r = run(base_, {});
      ASSERT_EQ(r.status, 0) << r.err;
    }
    sound_ = test_support::read_file(base_.file(d.database + ".odb"));
    ASSERT_GT(sound_.size(), 13616u);
    run_result const check = odbcheck(base_);
    ASSERT_EQ(check.status, 0) << check.out << check.err;
  }

  static void set_asan_options(bool check_leaks) {
    std::string const options =
        "exitcode=" + std::to_string(asan_status) + ":detect_leaks=" + (check_leaks ? "1" : "0");
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
  }

  run_result run(test_support::scratch_dir const& dir, std::vector<std::string> args) {
    args.insert(args.begin(), GetParam().program);
    set_asan_options(GetParam().check_leaks);
    return run_program(args, dir.path(), "", run_seconds);
  }

  run_result odbcheck(test_support::scratch_dir const& dir) {
    set_asan_options(true);
    return run_program({ODBCHECK_PATH, GetParam().database}, dir.path(), "", check_seconds);
  }

  void fault(std::string const& text) {
    if (++tally_.faults <= reported_faults) ADD_FAILURE() << text;
  }

  // Runs odbcheck and then the driver on one damaged copy.
  void try_one(damage const& d) {
    std::vector<char> const bytes = d.apply(sound_);
    std::string const file = work_.file(GetParam().database + ".odb");
    test_support::write_file(file, bytes);
    ++tally_.tried;

    run_result const check = odbcheck(work_);
    check_memory("odbcheck on the file with " + d.what);
    if (check.status < 0 || check.status > 2 || sanitizer_report(check.err)) {
      fault("odbcheck on the file with " + d.what + ": status " + std::to_string(check.status) +
            "\n" + check.err.substr(0, 2000));
    } else if (check.status != 0) {
      ++tally_.reported;
    }
    if (test_support::read_file(file) != bytes) fault("odbcheck changed the file with " + d.what);

    run_result const r = run(work_, {});
    check_memory(GetParam().name + " on the file with " + d.what);
    bool const clean_failure = r.status > 0 && r.status < 128 && r.status != asan_status &&
                               r.status != ubsan_status && !r.err.empty();
    if (sanitizer_report(r.err) || (r.status != 0 && !clean_failure)) {
      fault(GetParam().name + " on the file with " + d.what + ": status " +
            std::to_string(r.status) + "\n" + r.err.substr(0, 2000));
    } else if (r.status == 0) {
      ++tally_.succeeded;
    } else {
      ++tally_.failed_cleanly;
      if (refused_at_open(r.err) && test_support::read_file(file) != bytes) {
        fault(GetParam().name + " refused the file with " + d.what + " but changed it");
      }
    }
  }

  // The first run that took more memory than any run may need is a fault;
  // the peak only grows, so later runs cannot be told apart.
  void check_memory(std::string const& what) {
    if (memory_reported_ || children_peak_kb() <= memory_limit_kb) return;
    memory_reported_ = true;
    fault(what + " took " + std::to_string(children_peak_kb() / 1024) + " MB");
  }

  void try_all(std::vector<damage> const& damages, std::string const& family) {
    for (auto const& d : damages) try_one(d);
    std::cout << "damage tally: " << GetParam().name << ", " << family << ": " << tally_.tried
              << " damaged files, odbcheck reported " << tally_.reported
              << ", the driver failed cleanly on " << tally_.failed_cleanly << " and succeeded on "
              << tally_.succeeded << ", faults " << tally_.faults << std::endl;
    EXPECT_EQ(tally_.faults, 0);
    EXPECT_GT(tally_.tried, 0);
  }

  std::vector<test_support::record_field> fields(std::size_t per_kind) const {
    auto const all = test_support::locate_fields(sound_);
    return test_support::sample_fields(all, per_kind);
  }

  test_support::scratch_dir base_;
  test_support::scratch_dir work_;
  std::vector<char> sound_;
  tally tally_;
  bool memory_reported_ = false;
};

TEST_P(DamageTest, Truncations) {
  try_all(test_support::truncations(sound_.size(), 24), "truncations");
  // Every cut loses at least a record's tail or the header: odbcheck must see
  // it.
  EXPECT_EQ(tally_.reported, tally_.tried);
}

TEST_P(DamageTest, ByteFlips) {
  try_all(test_support::byte_flips(sound_, 120, 20240601), "byte flips");
}

TEST_P(DamageTest, WordFlips) {
  try_all(test_support::word_flips(sound_, 120, 20240602), "word flips");
}

TEST_P(DamageTest, BadValuesInEveryFieldKind) {
  auto const picked = fields(2);
  // The drivers' files hold every record kind their containers write.
  std::size_t const least_kinds = GetParam().name == "showcase" ? 50 : 15;
  EXPECT_GE(picked.size(), least_kinds);
  try_all(test_support::bad_values(sound_, picked), "bad field values");
}

TEST_P(DamageTest, LinksBentIntoCycles) {
  auto const picked = fields(3);
  auto const damages = test_support::cycles(picked);
  EXPECT_GE(damages.size(), GetParam().name == "showcase" ? 20u : 8u);
  try_all(damages, "cycles");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DamageTest, ::testing::Values(showcase, mapdrill),
                         [](::testing::TestParamInfo<driver> const& info) {
                           return info.param.name;
                         });

}  // namespace
