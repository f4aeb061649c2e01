// The container workloads side by side on our containers, Boost.Interprocess
// containers in a mapped file and the standard containers in memory; how the
// cost of one operation grows with N; what the first write after opening a
// large database costs; and the system calls and page faults behind them.
#include <cstdio>
#include <map>
#include <stdexcept>

#include <disk_tools/d_list.h>
#include "benches.h"
#include "child_run.h"
#include "container_peers.h"
#include "scratch_db.h"
#include "timing.h"

namespace bench {

void check_walk(container_inputs const& in, long seen, long chars, char const* peer) {
  long expected = 0;
  for (auto const& t : in.texts) expected += static_cast<long>(t.size());
  if (seen != in.size() || chars != expected) {
    throw std::runtime_error(std::string(peer) + " walk lost elements");
  }
}

void check_gets(container_inputs const& in, long found, long chars, char const* peer) {
  check_walk(in, found, chars, peer);
}

namespace {

long const sizes[] = {1000, 100000, 1000000};
long const traced_size = 100000;

struct workload {
  char const* id;
  char const* title;
  std::vector<char const*> phases;  // the first one writes
  std::vector<peer_column> columns;
};

std::vector<workload> const& workloads() {
  static std::vector<workload> const all = [] {
    std::vector<peer_column> hash = odb_hashmap_columns();
    hash.push_back(
        {"interprocess", "boost::unordered_map, mapped file", interprocess_hashmap, every_size});
    hash.push_back({"std", "std::unordered_map", std_hashmap, every_size});
    return std::vector<workload>{
        {"list",
         "List of strings: N push_back of \"value <i>\", then a walk adding up their lengths "
         "(ours read in place through views(), the others by reference)",
         {"push_back", "walk"},
         {{"odb", "d_list<std::string>", odb_list, every_size},
          {"interprocess", "interprocess list, mapped file", interprocess_list, every_size},
          {"std", "std::list<std::string>", std_list, every_size}}},
        {"vector",
         "Vector of strings: N push_back of \"value <i>\", then every element read by index, "
         "copied into a std::string, and again in place (our views()[i]; the others by reference)",
         {"push_back", "read (copy)", "read (in place)"},
         {{"odb", "d_vector<std::string>", odb_vector, every_size},
          {"interprocess", "interprocess vector, mapped file", interprocess_vector, every_size},
          {"std", "std::vector<std::string>", std_vector, every_size}}},
        {"hashmap",
         "Hash map: N put of \"user_%07d\" keys with short values, then a get of each; the old "
         "hash with as many buckets as keys, the strong one doubling its buckets from 16",
         {"put", "get"},
         hash},
    };
  }();
  return all;
}

// The medians of one column at one size: seconds per phase, or why none.
struct cell {
  std::vector<double> seconds;
  std::string missing;  // "(not built)" or "(not run: too slow)" when empty
};
using results = std::map<std::string, std::map<long, std::vector<cell>>>;  // workload, N

// Each repetition runs every column in turn, so that all see the same state of
// the machine.
std::vector<cell> measure(workload const& w, long n, int repetitions) {
  container_inputs const in(n);
  std::vector<bool> built(w.columns.size(), true);
  auto const flat = median_of_runs(repetitions, [&](std::string const& dir) {
    std::vector<double> times;
    for (std::size_t c = 0; c < w.columns.size(); ++c) {
      std::optional<phase_costs> const p =
          n <= w.columns[c].largest ? w.columns[c].run(dir, in) : std::nullopt;
      built[c] = p.has_value() || n > w.columns[c].largest;
      for (std::size_t i = 0; i < w.phases.size(); ++i) times.push_back(p ? (*p)[i].seconds : 0);
    }
    return times;
  });
  std::vector<cell> cells;
  for (std::size_t c = 0; c < w.columns.size(); ++c) {
    cell x;
    if (n > w.columns[c].largest) {
      x.missing = "(not run: too slow)";
    } else if (!built[c]) {
      x.missing = "(not built)";
    } else {
      auto const from = flat.begin() + static_cast<long>(c * w.phases.size());
      x.seconds.assign(from, from + static_cast<long>(w.phases.size()));
    }
    cells.push_back(x);
  }
  return cells;
}

std::string thousands(long n) {
  std::string s = std::to_string(n);
  for (int at = static_cast<int>(s.size()) - 3; at > 0; at -= 3)
    s.insert(static_cast<std::size_t>(at), " ");
  return s;
}

void print_workload(workload const& w, std::map<long, std::vector<cell>> const& by_size) {
  std::printf("\n### %s\n\n", w.title);
  std::vector<std::string> head = {"N", "phase"}, rule = {"---", "---"};
  for (auto const& c : w.columns) {
    head.push_back(c.heading);
    rule.push_back("---");
  }
  row(head);
  row(rule);
  for (auto const& [n, cells] : by_size) {
    for (std::size_t p = 0; p < w.phases.size(); ++p) {
      std::vector<std::string> r = {thousands(n), w.phases[p]};
      for (auto const& c : cells) {
        r.push_back(c.seconds.empty() ? c.missing
                                      : ms(c.seconds[p]) + " (" +
                                            duration(c.seconds[p] / static_cast<double>(n)) + ")");
      }
      row(r);
    }
  }
}

void print_growth(results const& all) {
  std::puts("\n### Time per operation from N = 1 000 to N = 1 000 000\n");
  row({"operation", "peer", "N = 1 000", "N = 100 000", "N = 1 000 000", "1 000 000 / 1 000"});
  row({"---", "---", "---", "---", "---", "---"});
  for (auto const& w : workloads()) {
    auto const& by_size = all.at(w.id);
    for (std::size_t c = 0; c < w.columns.size(); ++c) {
      std::vector<std::string> r = {std::string(w.id) + " " + w.phases[0], w.columns[c].heading};
      for (long n : sizes) {
        cell const& x = by_size.at(n)[c];
        r.push_back(x.seconds.empty() ? x.missing : us(x.seconds[0] / static_cast<double>(n)));
      }
      cell const& small = by_size.at(sizes[0])[c];
      cell const& large = by_size.at(sizes[2])[c];
      char ratio[32] = "-";
      if (!small.seconds.empty() && !large.seconds.empty()) {
        std::snprintf(ratio, sizeof ratio, "%.2f",
                      (large.seconds[0] / 1e6) / (small.seconds[0] / 1e3));
      }
      r.push_back(ratio);
      row(r);
    }
  }
}

// A database holding a list of n strings, built and closed before the clock
// starts; then opened again and again, each time timing the opening, the
// list's attaching and its first two push_backs.
void print_first_write(int repetitions) {
  std::puts("\n### First write after opening a database that holds a d_list of N strings\n");
  row({"N", "open_database", "d_list attach", "first push_back", "second push_back"});
  row({"---", "---", "---", "---", "---"});
  for (long n : {100000L, 1000000L}) {
    std::string const dir = make_scratch_dir();
    std::string const name = dir + "/first";
    {
      scratch_db s(dir, journal::plain, "first");
      disk_tools::d_list<std::string> list("list", &s.env);
      for (long i = 0; i < n; ++i) list.push_back(element_text(i));
    }
    std::vector<std::vector<double>> runs(4);
    for (int r = 0; r < repetitions; ++r) {
      disk_tools::d_env env{};
      phase_meter open;
      disk_tools::d_database* db = disk_tools::open_database(name, &env);
      runs[0].push_back(open.done().seconds);
      {
        phase_meter attach;
        disk_tools::d_list<std::string> list("list", &env);
        runs[1].push_back(attach.done().seconds);
        for (std::size_t k = 2; k < 4; ++k) {
          phase_meter push;
          list.push_back(element_text(n + r));
          runs[k].push_back(push.done().seconds);
        }
      }
      disk_tools::close_database(db);
    }
    remove_dir(dir);
    row({thousands(n), duration(median(runs[0])), duration(median(runs[1])),
         duration(median(runs[2])), duration(median(runs[3]))});
  }
}

std::string per_operation(double count, long n) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f", count / static_cast<double>(n));
  return buf;
}

// Write-type calls of one workload: the total per operation, and how many of
// each call in all.
std::pair<std::string, std::string> write_calls(child_result const& run, child_result const& base,
                                                long n) {
  long total = 0;
  std::string which;
  for (char const* const* name = write_type_calls; *name; ++name) {
    auto count = [name](child_result const& r) {
      auto const it = r.calls.find(*name);
      return it == r.calls.end() ? 0L : it->second;
    };
    long const own = count(run) - count(base);
    if (own == 0) continue;
    total += own;
    which += std::string(which.empty() ? "" : ", ") + *name + " " + std::to_string(own);
  }
  return {per_operation(static_cast<double>(total), n), which.empty() ? "none" : which};
}

// Each workload once at traced_size in a child process, under strace, and
// once more at size 0 for the calls of starting, creating and closing.
void print_system_calls() {
  bool const traced = strace_usable();
  std::printf("\n### System calls and minor page faults per operation, N = %s\n\n",
              thousands(traced_size).c_str());
  if (!traced) {
    std::puts(
        "(strace is not installed or may not trace here: system calls not counted; "
        "scripts/install-deps.sh installs it)\n");
  }
  row({"workload", "peer", "write-type calls", "which, in all", "faults, writing phase",
       "faults, reading phase"});
  row({"---", "---", "---", "---", "---", "---"});
  for (auto const& w : workloads()) {
    for (auto const& c : w.columns) {
      std::string const name = std::string(w.id) + "/" + c.id;
      child_result const run = run_child(name, traced_size, traced);
      if (run.phases.empty()) {
        row({w.id, c.heading, "(not built)", "", "", ""});
        continue;
      }
      auto const calls = traced ? write_calls(run, run_child(name, 0, true), traced_size)
                                : std::pair<std::string, std::string>{"-", "-"};
      std::string const reading =
          run.phases.size() > 1
              ? per_operation(static_cast<double>(run.phases[1].faults), traced_size)
              : "-";
      row({w.id, c.heading, calls.first, calls.second,
           per_operation(static_cast<double>(run.phases[0].faults), traced_size), reading});
    }
  }
}

}  // namespace

single_run container_single_run(std::string const& name) {
  for (auto const& w : workloads()) {
    for (auto const& c : w.columns) {
      if (name == std::string(w.id) + "/" + c.id) {
        return
            [run = c.run](std::string const& dir, long n) { return run(dir, container_inputs(n)); };
      }
    }
  }
  return {};
}

void run_peer_benches(int repetitions) {
  results all;
  for (auto const& w : workloads()) {
    for (long n : sizes) all[w.id][n] = measure(w, n, repetitions);
    print_workload(w, all[w.id]);
  }
  print_growth(all);
  print_first_write(repetitions);
  print_system_calls();
}

}  // namespace bench
