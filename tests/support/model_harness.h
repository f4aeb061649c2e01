// Model-based testing: seeded random operations on a persistent container and on its
// standard counterpart (the model), the database reopened at random points; after each
// reopening the two must agree and the container's checks be clean. A failure names the
// seed, the step and the operations before it, so that it replays exactly. A subject has
// attach(env) (remakes its objects on env), detach() (drops them before the close),
// step(rng) (one random operation on both; says what it did), compare() ("" when
// container and model agree, else why not) and check() (the container's own checks).
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <disk_tools/d_db.h>
#include <disk_tools/d_transaction.h>
#include "harness.h"

namespace test_support {

struct model_run {
  unsigned seed = 1;
  int steps = 2000;
  int reopen_every = 100;  // on average
  disk_tools::d_open_options options{};
};

inline int pick(std::mt19937& rng, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng);
}

// Inside a step: a disagreement ends the run at once, and the harness names the step.
inline std::string require(bool ok, std::string const& what) {
  if (!ok) throw std::runtime_error(what);
  return what;
}

// Applies op alike to the container and to its model; returns what.
template <class Container, class Model, class Op>
std::string on_both(Container& c, Model& m, Op op, std::string what) {
  op(c);
  op(m);
  return what;
}

// A few operations (op says what each did) in one transaction, committed when keep, else
// rolled back, and the model then put back as it was.
template <class Model, class Op>
std::string in_transaction(disk_tools::d_env& env, Model& model, bool keep, int ops, Op op) {
  Model const before = model;
  std::string what = keep ? "committed:" : "rolled back:";
  {
    disk_tools::d_transaction tx(env.database);
    while (ops-- > 0) what += " " + op();
    if (keep) tx.commit();
  }
  if (!keep) model = before;
  return what;
}

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
    } catch (disk_tools::error const& e) {
      ADD_FAILURE() << "threw \"" << e.what() << "\" at " << where(step);
      break;
    } catch (std::exception const& e) {
      ADD_FAILURE() << e.what() << " at " << where(step);
      break;
    }
    recent.push_back(what);
    if (recent.size() > 8) recent.pop_front();
    if (pick(rng, 1, run.reopen_every) == 1) {
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

// A fresh Subject(args...) through each run.
template <class Subject, class... Args>
void run_models(std::vector<model_run> const& runs, Args const&... args) {
  for (model_run const& run : runs) {
    Subject subject(args...);
    run_model(subject, run);
  }
}

}  // namespace test_support
