// What one phase of a workload cost: wall time and the minor page faults the
// process took meanwhile (pages of a mapped file or of the heap touched for
// the first time).
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "timing.h"

namespace bench {

struct phase_cost {
  double seconds = 0;
  long faults = 0;
};
using phase_costs = std::vector<phase_cost>;

inline long minor_faults() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// Started when made; done() reads both counters.
class phase_meter {
 public:
  phase_meter() : faults_(minor_faults()), start_(std::chrono::steady_clock::now()) {}
  phase_cost done() const { return {seconds_since(start_), minor_faults() - faults_}; }

 private:
  long faults_;
  std::chrono::steady_clock::time_point start_;
};

inline std::vector<double> seconds_of(phase_costs const& phases) {
  std::vector<double> out;
  for (auto const& p : phases) out.push_back(p.seconds);
  return out;
}

}  // namespace bench
