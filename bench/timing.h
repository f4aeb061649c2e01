// A small timing harness: runs a workload several times, each in a fresh
// scratch folder, and reports the median of the wall times.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// A fresh, empty folder that is removed with its contents afterwards.
std::string make_scratch_dir();
void remove_dir(std::string const& path);

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t const n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs phases of a workload `repetitions` times; each run returns one time in
// seconds per phase. The result holds the median of each phase.
inline std::vector<double> median_of_runs(
    int repetitions, std::function<std::vector<double>(std::string const& dir)> const& run) {
  std::vector<std::vector<double>> by_phase;
  for (int r = 0; r < repetitions; ++r) {
    std::string const dir = make_scratch_dir();
    std::vector<double> const times = run(dir);
    remove_dir(dir);
    if (by_phase.size() < times.size()) by_phase.resize(times.size());
    for (std::size_t i = 0; i < times.size(); ++i) by_phase[i].push_back(times[i]);
  }
  std::vector<double> out;
  for (auto const& phase : by_phase) out.push_back(median(phase));
  return out;
}

// Prints one row of a Markdown table.
inline void row(std::vector<std::string> const& cells) {
  std::string line = "|";
  for (auto const& c : cells) line += " " + c + " |";
  std::puts(line.c_str());
  std::fflush(stdout);
}

// Milliseconds, with more decimals for short times so that they do not all
// round to 0.
inline std::string ms(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, seconds < 0.01 ? "%.2f ms" : "%.1f ms", seconds * 1e3);
  return buf;
}

// Microseconds; times below a tenth of one in nanoseconds.
inline std::string us(double seconds) {
  char buf[32];
  if (seconds < 1e-7) {
    std::snprintf(buf, sizeof buf, "%.1f ns", seconds * 1e9);
  } else {
    std::snprintf(buf, sizeof buf, "%.2f µs", seconds * 1e6);
  }
  return buf;
}

// In the unit that suits it: nanoseconds, microseconds or milliseconds.
inline std::string duration(double seconds) {
  return seconds < 1e-3 ? us(seconds) : ms(seconds);
}

}  // namespace bench
