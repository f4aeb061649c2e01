// The ordered-map workload at 25 000, 100 000 and 400 000 keys, on our map and
// on the SQL peer in the same run, with the ratio of the two times.
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

}  // namespace

void run_map_benches(int repetitions) {
  std::puts("\n### Ordered map: insert 0..N-1 one at a time, look each key up, walk every pair\n");
  row({"N", "phase", "odb map", "SQLite", "odb / SQLite"});
  row({"---", "---", "---", "---", "---"});
  for (unsigned n : {25000U, 100000U, 400000U}) {
    // Each repetition runs both stores one after the other, so that both
    // see the same state of the machine.
    bool has_peer = true;
    auto const t = median_of_runs(repetitions, [n, &has_peer](std::string const& dir) {
      map_phases const ours = run_map_workload(dir, n);
      auto const theirs = run_sql_workload(dir, n);
      has_peer = theirs.has_value();
      map_phases const peer = theirs.value_or(map_phases{});
      return std::vector<double>{ours.insert, ours.lookup, ours.walk,
                                 peer.insert, peer.lookup, peer.walk};
    });
    char const* const phases[] = {"insert", "lookup", "walk"};
    for (std::size_t p = 0; p < 3; ++p) {
      row({std::to_string(n), phases[p], ms(t[p]), has_peer ? ms(t[p + 3]) : "(not built)",
           has_peer ? ratio(t[p], t[p + 3]) : "-"});
    }
  }

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
