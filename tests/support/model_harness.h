// Model-based testing of a persistent container: long seeded runs of random
// operations applied both to the container and to its standard counterpart
// (the model), with the database closed and reopened at random points. After
// every reopening the two must hold the same contents and the container's
// checks must be clean. A failure names the seed and the step, and the
// operations just before it, so that it replays exactly.
//
// A subject is a class with:
//   void attach(disk_tools::d_env& env);   // (re)makes the container objects on env
//   void detach();                         // drops them (before the database closes)
//   std::string step(std::mt19937& rng);   // one random operation on both; says what it did
//   std::string compare();                 // "" when container and model agree, else why not
//   std::vector<std::string> check();      // the container's own checks
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include <disk_tools/d_db.h>
#include "harness.h"

namespace test_support {

struct model_run {
  unsigned seed = 1;
  int steps = 2000;
  // On average one reopening every this many steps.
  int reopen_every = 100;
  disk_tools::d_open_options options{};
};

template <class Subject>
void run_model(Subject& subject, model_run const& run) {
  scratch_dir dir;
  std::string const name = dir.file("model");
  disk_tools::d_env env{};
  ASSERT_TRUE(disk_tools::create_database(name, &env));
  disk_tools::d_database* db = disk_tools::open_database(name, &env, run.options);
  subject.attach(env);
  std::mt19937 rng(run.seed);
  std::deque<std::string> recent;
  auto where = [&](int step) {
    std::string s = "seed " + std::to_string(run.seed) + ", step " + std::to_string(step) +
                    "; the last operations:";
    for (auto const& r : recent) s += "\n  " + r;
    return s;
  };
  auto verify = [&](int step) {
    std::string const mismatch = subject.compare();
    EXPECT_EQ(mismatch, "") << where(step);
    std::vector<std::string> const problems = subject.check();
    EXPECT_TRUE(problems.empty()) << where(step) << "\n  check: " << problems.front();
    return mismatch.empty() && problems.empty();
  };
  for (int step = 0; step < run.steps; ++step) {
    std::string what;
    try {
      what = subject.step(rng);
    } catch (char const* message) {
      ADD_FAILURE() << "threw \"" << message << "\" at " << where(step);
      break;
    }
    recent.push_back(what);
    if (recent.size() > 8) recent.pop_front();
    if (std::uniform_int_distribution<int>(1, run.reopen_every)(rng) == 1) {
      subject.detach();
      disk_tools::close_database(db);
      env = disk_tools::d_env{};
      db = disk_tools::open_database(name, &env, run.options);
      subject.attach(env);
      if (!verify(step)) break;
    }
  }
  verify(run.steps);
  subject.detach();
  disk_tools::close_database(db);
}

}  // namespace test_support
