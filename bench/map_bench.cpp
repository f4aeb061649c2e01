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
    auto const ours = median_of_runs(repetitions, [n](std::string const& dir) {
      map_phases const t = run_map_workload(dir, n);
      return std::vector<double>{t.insert, t.lookup, t.walk};
    });
    bool has_peer = true;
    auto const theirs = median_of_runs(repetitions, [n, &has_peer](std::string const& dir) {
      auto const t = run_sql_workload(dir, n);
      has_peer = t.has_value();
      return t ? std::vector<double>{t->insert, t->lookup, t->walk} : std::vector<double>{0, 0, 0};
    });
    char const* const phases[] = {"insert", "lookup", "walk"};
    for (std::size_t p = 0; p < 3; ++p) {
      row({std::to_string(n), phases[p], ms(ours[p]), has_peer ? ms(theirs[p]) : "(not built)",
           has_peer ? ratio(ours[p], theirs[p]) : "-"});
    }
  }
}

}  // namespace bench
