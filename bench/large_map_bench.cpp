// The map workload at sizes up to 16 000 000 keys, on our map and on a
// Boost.Interprocess map in a mapped file made large enough up front: how the
// cost of an insert grows with the map, and how much memory each process
// keeps resident beside its file. Each run is a child process of its own, so
// that its peak resident memory is its own.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "benches.h"
#include "map_workload.h"
#include "timing.h"

#ifdef ODB_BENCH_HAS_INTERPROCESS
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/containers/map.hpp>
#include <boost/interprocess/managed_mapped_file.hpp>
#endif

namespace bench {

namespace {

unsigned const sizes[] = {25000, 1000000, 4000000, 16000000};

// What one run reports: the insert phase, and the file it left.
struct large_run {
  double insert = 0;
  double file_bytes = 0;      // the file's length
  double resident_bytes = 0;  // the peak resident memory the run added to its process
};

// A line of this process's status in bytes ("VmRSS:" now, "VmHWM:" its
// peak since the peak was last reset); 0 when the system does not tell.
double status_bytes(char const* field) {
  std::ifstream in("/proc/self/status");
  std::size_t const n = std::strlen(field);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, n, field) == 0) return std::stod(line.substr(n)) * 1024;
  }
  return 0;
}
double resident_now() { return status_bytes("VmRSS:"); }
// Not getrusage's peak: across the exec it keeps the peak of the process
// before it, a fork of the bench with all the bench's memory.
double resident_peak() { return status_bytes("VmHWM:"); }

double length_of(std::string const& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0;
}

// Our map, filled and read as the map workload does, in the default mode.
std::optional<large_run> ours(std::string const& dir, unsigned n) {
  large_run r;
  r.insert = run_map_workload(dir, n).insert;
  r.file_bytes = length_of(dir + "/int.odb");
  return r;
}

#ifdef ODB_BENCH_HAS_INTERPROCESS
// The same pairs in a boost::interprocess::map: look the key up, insert it
// when absent, then look every key up.
std::optional<large_run> interprocess(std::string const& dir, unsigned n) {
  namespace bip = boost::interprocess;
  using pair_allocator =
      bip::allocator<std::pair<unsigned const, unsigned>, bip::managed_mapped_file::segment_manager>;
  using ip_map = bip::map<unsigned, unsigned, std::less<unsigned>, pair_allocator>;
  std::string const path = dir + "/map.bin";
  // A tree node of a pair of 32-bit numbers takes about 48 bytes; the file is
  // sparse, so the room it is made with up front costs nothing until used.
  bip::managed_mapped_file file(bip::create_only, path.c_str(),
                                (std::size_t{16} << 20) + std::size_t{64} * n);
  ip_map* map = file.construct<ip_map>("map")(file.get_segment_manager());
  auto const start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < n; ++i) {
    if (map->find(i) == map->end()) map->emplace(i, i);
  }
  large_run r;
  r.insert = seconds_since(start);
  unsigned long long sum = 0;
  for (unsigned i = 0; i < n; ++i) sum += map->find(i)->second;
  if (sum != static_cast<unsigned long long>(n) * (n - 1) / 2) {
    throw std::runtime_error("interprocess map lost pairs");
  }
  file.flush();
  r.file_bytes = length_of(path);
  return r;
}
#else
std::optional<large_run> interprocess(std::string const&, unsigned) { return std::nullopt; }
#endif

using large_workload = std::optional<large_run> (*)(std::string const& dir, unsigned n);

struct store {
  char const* name;
  large_workload workload;
};
store const stores[] = {{"ours", ours}, {"boost", interprocess}};

// Runs the store's workload in a new process (this program started anew with
// --large) in a fresh folder; nothing when the peer was not built or the
// child failed. A fork of this process would start with its heap, which the
// groups run before may have grown to hundreds of megabytes and left in
// pieces: every allocation of the child then walks free blocks in pages it
// shares with this process and copies them, which made the map's inserts
// four times as slow in a child of a process holding 300 MB so freed.
std::optional<large_run> in_child(char const* store_name, unsigned n) {
  std::string const dir = make_scratch_dir();
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("cannot make a pipe");
  std::string const size = std::to_string(n);
  pid_t const child = ::fork();
  if (child == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    char const* args[] = {"odb_bench", "--large", store_name, size.c_str(), dir.c_str(), nullptr};
    ::execv("/proc/self/exe", const_cast<char* const*>(args));
    ::_exit(127);
  }
  ::close(fds[1]);
  large_run r;
  bool const got = ::read(fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  remove_dir(dir);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return r;
}

// The median run of repetitions, by insert time.
std::optional<large_run> median_run(char const* store_name, unsigned n, int repetitions) {
  std::vector<large_run> runs;
  for (int i = 0; i < repetitions; ++i) {
    if (auto const r = in_child(store_name, n)) runs.push_back(*r);
  }
  if (runs.empty()) return std::nullopt;
  std::sort(runs.begin(), runs.end(),
            [](large_run const& a, large_run const& b) { return a.insert < b.insert; });
  return runs[runs.size() / 2];
}

std::string megabytes(double bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
  return buf;
}

std::string times(double ratio) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f ×", ratio);
  return buf;
}

}  // namespace

void run_large_map_benches(int repetitions) {
  std::puts(
      "\n### Large maps: the map workload (keys 0..N-1 in order) up to 16 000 000 keys, "
      "insert per key and peak resident memory against the file\n");
  row({"N", "store", "insert", "per key", "per key / at 25 000", "file", "peak resident added",
       "resident / file", "insert / Boost"});
  row({"---", "---", "---", "---", "---", "---", "---", "---", "---"});
  std::optional<double> first_per_key;
  for (unsigned n : sizes) {
    // The largest runs take tens of seconds each: at most three of them.
    int const runs = n >= 4000000 ? std::min(repetitions, 3) : repetitions;
    auto const mine = median_run("ours", n, runs);
    auto const theirs = median_run("boost", n, runs);
    auto per_key = [n](large_run const& r) { return r.insert / n; };
    if (mine && !first_per_key) first_per_key = per_key(*mine);
    auto print = [&](char const* store, std::optional<large_run> const& r, bool is_ours) {
      if (!r) {
        row({std::to_string(n), store, "(not built)", "", "", "", "", "", ""});
        return;
      }
      row({std::to_string(n), store, ms(r->insert), us(per_key(*r)),
           is_ours && first_per_key ? times(per_key(*r) / *first_per_key) : "-",
           megabytes(r->file_bytes), megabytes(r->resident_bytes),
           times(r->resident_bytes / r->file_bytes),
           is_ours && theirs ? times(r->insert / theirs->insert) : "-"});
    };
    print("d_map<unsigned, unsigned, unsigned>", mine, true);
    print("boost::interprocess::map, mapped file", theirs, false);
  }
}

int run_large_map_child(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: odb_bench --large ours|boost N DIR\n");
    return 2;
  }
  std::string const name = argv[2];
  auto const found = std::find_if(std::begin(stores), std::end(stores),
                                  [&name](store const& s) { return name == s.name; });
  if (found == std::end(stores)) {
    std::fprintf(stderr, "unknown store %s\n", name.c_str());
    return 2;
  }
  try {
    // The peak counts from here: what the process held before the workload
    // (the program, its libraries) is not the workload's.
    std::ofstream("/proc/self/clear_refs") << "5";
    double const before = resident_now();
    auto r = found->workload(argv[4], static_cast<unsigned>(std::stoul(argv[3])));
    if (!r) return 0;  // the peer was not built: nothing to write
    r->resident_bytes = resident_peak() - before;
    return ::write(1, &*r, sizeof *r) == static_cast<ssize_t>(sizeof *r) ? 0 : 1;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return 1;
}

}  // namespace bench
