// The ordered-map workload at 25 000, 100 000 and 400 000 keys, on our map and
// on the SQL peer in the same run, with the ratio of the two times; then our
// map opened in each journal mode, and with its inserts grouped into
// transactions, beside the same SQL times.
#include <cstdio>

#include "benches.h"
#include "map_workload.h"
#include "timing.h"

namespace bench {

namespace {

std::string ratio(double ours, double theirs) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", ours / theirs);
  return buf;
}

// How our map's database is opened for the journal table; the first is the
// one of the main table.
struct variant {
  char const* heading;
  open_plan plan;
};
variant const variants[] = {
    {"default open", {journal::plain, 0}},
    {"d_journal::off", {journal::off, 0}},
    {"default open, 1 000 inserts per d_transaction", {journal::plain, 1000}},
    {"default open, 10 000 inserts per d_transaction", {journal::plain, 10000}},
};
constexpr std::size_t variant_count = sizeof variants / sizeof variants[0];
char const* const phases[] = {"insert", "lookup", "walk"};

std::vector<double> times_of(map_phases const& p) {
  return {p.insert, p.lookup, p.walk};
}

// Medians by N, phase (insert, lookup, walk) and store (the variants, then
// SQLite); SQLite reads nothing when it was not built.
struct map_results {
  std::vector<unsigned> sizes;
  std::vector<std::vector<double>> by_size;  // [size][store * 3 + phase]
  bool has_peer = true;
};

// Each repetition runs every store one after the other, so that all see the
// same state of the machine.
map_results measure_map_stores(int repetitions) {
  map_results r;
  for (unsigned n : {25000U, 100000U, 400000U}) {
    auto const t = median_of_runs(repetitions, [n, &r](std::string const& dir) {
      std::vector<double> times;
      for (auto const& v : variants) {
        auto const p = times_of(run_map_workload(dir, n, v.plan));
        times.insert(times.end(), p.begin(), p.end());
      }
      auto const theirs = run_sql_workload(dir, n);
      r.has_peer = theirs.has_value();
      auto const p = times_of(theirs.value_or(map_phases{}));
      times.insert(times.end(), p.begin(), p.end());
      return times;
    });
    r.sizes.push_back(n);
    r.by_size.push_back(t);
  }
  return r;
}

void print_against_sql(map_results const& r) {
  std::puts("\n### Ordered map: insert 0..N-1 one at a time, look each key up, walk every pair\n");
  row({"N", "phase", "odb map", "SQLite", "odb / SQLite"});
  row({"---", "---", "---", "---", "---"});
  std::size_t const sql = variant_count * 3;
  for (std::size_t s = 0; s < r.sizes.size(); ++s) {
    auto const& t = r.by_size[s];
    for (std::size_t p = 0; p < 3; ++p) {
      row({std::to_string(r.sizes[s]), phases[p], ms(t[p]),
           r.has_peer ? ms(t[sql + p]) : "(not built)",
           r.has_peer ? ratio(t[p], t[sql + p]) : "-"});
    }
  }
}

void print_journal_modes(map_results const& r) {
  std::puts("\n### Ordered map by journal mode: the same workload, our map opened each way\n");
  std::vector<std::string> head = {"N", "phase"}, rule = {"---", "---"};
  for (auto const& v : variants) {
    head.push_back(v.heading);
    rule.push_back("---");
  }
  head.push_back("SQLite");
  rule.push_back("---");
  row(head);
  row(rule);
  for (std::size_t s = 0; s < r.sizes.size(); ++s) {
    auto const& t = r.by_size[s];
    for (std::size_t p = 0; p < 3; ++p) {
      std::vector<std::string> cells = {std::to_string(r.sizes[s]), phases[p]};
      for (std::size_t v = 0; v < variant_count; ++v) {
        cells.push_back(ms(t[v * 3 + p]));
      }
      cells.push_back(r.has_peer ? ms(t[variant_count * 3 + p]) : "(not built)");
      row(cells);
    }
  }
}

}  // namespace

void run_map_benches(int repetitions) {
  map_results const r = measure_map_stores(repetitions);
  print_against_sql(r);
  print_journal_modes(r);

  std::puts("\n### Ordered map: the insert phase and its balancing\n");
  row({"N", "balancing finds nodes by", "insert", "of which balancing", "balance runs", "passes",
       "shifts"});
  row({"---", "---", "---", "---", "---", "---", "---"});
  for (bool with_shape : {true, false}) {
    for (unsigned n : {25000U, 100000U, 400000U}) {
      char const* const how = with_shape ? "the tree's shape in memory" : "reading every node";
      if (!with_shape && n > 100000) {
        // About a quarter of a minute per run, quadratic in n.
        row({std::to_string(n), how, "(not run: too slow)", "", "", "", ""});
        continue;
      }
      insert_profile last;
      auto const t = median_of_runs(repetitions, [&](std::string const& dir) {
        last = profile_map_inserts(dir, n, with_shape);
        return std::vector<double>{last.insert, last.balancing};
      });
      char share[48];
      std::snprintf(share, sizeof share, "%s (%.0f%%)", ms(t[1]).c_str(), 100 * t[1] / t[0]);
      row({std::to_string(n), how, ms(t[0]), share, std::to_string(last.runs),
           std::to_string(last.passes), std::to_string(last.shifts)});
    }
  }
}

}  // namespace bench
