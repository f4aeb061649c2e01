// What a long read transaction costs the writer: one thread commits small
// transfers on a map of 1 000 accounts continuously while a second thread,
// with an opening of its own (so the two take turns as two processes do),
// first stays idle between short checks and then holds one read transaction
// for a whole window. The writer's commit rate in each window, and their
// ratio, in the default (atomic) and the durable mode.
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "benches.h"
#include "timing.h"

namespace bench {

namespace {

using namespace disk_tools;
using accounts_map = d_map<std::uint64_t, std::int64_t>;
constexpr std::uint64_t accounts = 1000;

d_open_options options_for(d_journal mode) {
  d_open_options o;
  o.journal = mode;
  return o;
}

// Commits transfers between neighbouring accounts until stop, counting them.
void commit_until(std::string const& name, d_journal mode, std::atomic<bool> const& stop,
                  std::atomic<std::uint64_t>& commits) {
  d_env env{};
  scoped_database db = open_database_scoped(name, &env, options_for(mode));
  accounts_map map("accounts", &env);
  for (std::uint64_t i = 0; !stop; ++i) {
    std::uint64_t const from = i % accounts, to = (i + 1) % accounts;
    d_transaction tx(&env);
    std::int64_t a = 0, b = 0;
    map.get(from, a);
    map.get(to, b);
    map.put(from, a - 1);
    map.put(to, b + 1);
    tx.commit();
    ++commits;
  }
}

// The accounts' total, read in a read transaction of its own.
std::int64_t total(d_env& env, accounts_map& map) {
  d_read_transaction rt(&env);
  std::int64_t sum = 0;
  for (auto const& e : map) sum += e.value;
  return sum;
}

struct rates {
  double idle = 0;     // commits/s beside a reader between snapshots
  double holding = 0;  // commits/s beside a reader holding one snapshot
};

rates measure(std::string const& dir, d_journal mode, std::chrono::milliseconds window) {
  std::string const name = dir + "/bank";
  d_env env{};
  d_open_options o = options_for(mode);
  o.create_if_missing = true;
  scoped_database db = open_database_scoped(name, &env, o);
  accounts_map map("accounts", &env);
  {
    d_transaction tx(&env);
    for (std::uint64_t k = 0; k < accounts; ++k) map.put(k, 1000);
    tx.commit();
  }
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> commits{0};
  std::thread writer([&] { commit_until(name, mode, stop, commits); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto rate_over = [&](auto&& reading) {
    std::uint64_t const before = commits;
    auto const start = std::chrono::steady_clock::now();
    reading();
    return static_cast<double>(commits - before) / seconds_since(start);
  };
  rates r;
  r.idle = rate_over([&] {
    auto const end = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < end) {
      total(env, map);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  r.holding = rate_over([&] {
    d_read_transaction rt(&env);
    auto const end = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < end) {
      total(env, map);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  stop = true;
  writer.join();
  return r;
}

std::string per_second(double rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", rate);
  return buf;
}

}  // namespace

void run_long_reader_benches(int repetitions) {
  std::puts(
      "\n### A long reader: the writer's commits per second beside a reader that holds one "
      "snapshot for 2 s\n");
  row({"mode", "commits/s, reader between snapshots", "commits/s, reader holding one", "ratio"});
  row({"---", "---", "---", "---"});
  for (d_journal mode : {d_journal::atomic, d_journal::durable}) {
    std::vector<double> idle, holding;
    median_of_runs(repetitions, [&](std::string const& dir) {
      rates const r = measure(dir, mode, std::chrono::milliseconds(2000));
      idle.push_back(r.idle);
      holding.push_back(r.holding);
      return std::vector<double>{};
    });
    double const i = median(idle), h = median(holding);
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.2f", i > 0 ? h / i : 0.0);
    row({mode == d_journal::durable ? "durable" : "atomic (default)", per_second(i), per_second(h),
         ratio});
  }
}

}  // namespace bench
