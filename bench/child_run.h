// Single runs in a child process, to count the system calls a workload makes.
// `odb_bench --one NAME N DIR` runs the workload NAME once at size N in the
// folder DIR and prints one line per phase, "seconds minor-faults". The parent
// starts it, under strace when asked, and reads both back.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "phase.h"

namespace bench {

// A workload that can run alone: nothing when its peer was not built.
using single_run = std::function<std::optional<phase_costs>(std::string const& dir, long n)>;

// The single runs each group offers, by name; empty when the name is not one
// of the group's.
single_run container_single_run(std::string const& name);
single_run commit_single_run(std::string const& name);

// main's --one: runs the workload, prints its phases, returns the exit status.
int run_one(int argc, char** argv);

// What a child run did. The counts cover the whole process, from start to
// exit: subtract those of a run at size 0 to get the workload's own.
struct child_result {
  phase_costs phases;
  std::map<std::string, long> calls;  // the traced calls by name (none untraced)
  long syncs = 0;                     // fsync, fdatasync, msync(MS_SYNC)
  long folder_syncs = 0;              // of those, on a folder
  long sync_writes = 0;               // writes through descriptors opened O_SYNC or O_DSYNC
};

// Whether strace is installed and allowed to trace here (checked once).
bool strace_usable();

// Runs the single run name at size n in a scratch folder of its own, under
// strace when traced. Throws when the child fails.
child_result run_child(std::string const& name, long n, bool traced);

// The calls that write or size or sync a file, as counted in the tables.
extern char const* const write_type_calls[];

}  // namespace bench
