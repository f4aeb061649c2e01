// The container workloads, each on three peers: our containers in a database
// file, Boost.Interprocess containers in a managed mapped file, and the
// standard containers in memory.
//
//   list     push_back of every text, then a walk adding up their lengths
//   vector   push_back of every text, then a read of each by index: copied,
//            and in place
//   hashmap  put of every key with its text, then get of every key
//
// Each run works in a fresh folder dir on inputs made beforehand, and returns
// one phase_cost per phase, or nothing when its peer was not built.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "keys.h"
#include "phase.h"

namespace bench {

using container_run = std::optional<phase_costs> (*)(std::string const& dir,
                                                     container_inputs const& in);

// One peer's column in a workload's table.
struct peer_column {
  std::string id;       // its part of a single run's name, e.g. "list/odb"
  std::string heading;  // the table's column heading
  container_run run;
  long largest;  // the largest N it is run at; beyond, too slow
};
// A column's largest N when it is run at every size.
constexpr long every_size = 1L << 62;

std::optional<phase_costs> odb_list(std::string const& dir, container_inputs const& in);
std::optional<phase_costs> odb_vector(std::string const& dir, container_inputs const& in);
// One column per hash of d_hashmap measured; a new hash is one more line there.
std::vector<peer_column> odb_hashmap_columns();

std::optional<phase_costs> interprocess_list(std::string const& dir, container_inputs const& in);
std::optional<phase_costs> interprocess_vector(std::string const& dir, container_inputs const& in);
std::optional<phase_costs> interprocess_hashmap(std::string const& dir, container_inputs const& in);

std::optional<phase_costs> std_list(std::string const& dir, container_inputs const& in);
std::optional<phase_costs> std_vector(std::string const& dir, container_inputs const& in);
std::optional<phase_costs> std_hashmap(std::string const& dir, container_inputs const& in);

// The checks every peer makes after its reading phase, so that a peer that
// lost elements cannot report a time: a walk must have seen every text (seen
// elements, their lengths added up), a get phase every key and value.
void check_walk(container_inputs const& in, long seen, long chars, char const* peer);
void check_gets(container_inputs const& in, long found, long chars, char const* peer);

}  // namespace bench
