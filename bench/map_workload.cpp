#include "map_workload.h"

#include <chrono>
#include <memory>
#include <stdexcept>

#include <disk_tools/d_db.h>
#include <disk_tools/d_map.h>
#include "scratch_db.h"
#include "timing.h"

namespace bench {

namespace {

using int_map = disk_tools::d_map<unsigned, unsigned, unsigned>;

}  // namespace

map_phases run_map_workload(std::string const& dir, unsigned n, open_plan const& plan) {
  using namespace disk_tools;
  map_phases t;
  scratch_db s(dir, plan.mode, "int");
  {
    int_map map("btree", &s.env);

    auto start = std::chrono::steady_clock::now();
    run_grouped(s.db, n, plan.per_transaction, [&map](long at) {
      auto const i = static_cast<unsigned>(at);
      unsigned value = i;
      if (!map.get(i, value)) map.insert(i, i);
    });
    t.insert = seconds_since(start);

    start = std::chrono::steady_clock::now();
    unsigned long long sum = 0;
    unsigned found = 0;
    for (unsigned i = 0; i < n; ++i) {
      unsigned value = 0;
      if (map.get(i, value)) {
        sum += value;
        ++found;
      }
    }
    t.lookup = seconds_since(start);
    if (found != n) throw std::runtime_error("map lookup lost keys");

    // The walk reads every node record once, newest first, as mapdrill does.
    start = std::chrono::steady_clock::now();
    auto node = std::make_unique<int_map::node_type>();
    node->address = map.chain_head;
    unsigned long long walked = 0, walk_sum = 0;
    while (node->address != no_address) {
      node->load(*map.stream);
      for (word_t i = 0; i < node->count; ++i) {
        walk_sum += node->pairs[static_cast<std::size_t>(i)].value;
        ++walked;
      }
      node->address = node->next;
    }
    t.walk = seconds_since(start);
    if (walked != n || walk_sum != sum) throw std::runtime_error("map walk lost pairs");
  }
  return t;
}

insert_profile profile_map_inserts(std::string const& dir, unsigned n, bool with_shape) {
  using namespace disk_tools;
  insert_profile p;
  scratch_db s(dir, journal::plain, "int");
  {
    int_map map("btree", &s.env);
    map.use_shape(with_shape);
    auto const start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < n; ++i) {
      unsigned value = i;
      if (!map.get(i, value)) map.insert(i, i);
    }
    p.insert = seconds_since(start);
    p.balancing = map.stats.seconds;
    p.runs = map.stats.runs;
    p.passes = map.stats.passes;
    p.shifts = map.stats.shifts + map.stats.shifts4;
  }
  return p;
}

}  // namespace bench
