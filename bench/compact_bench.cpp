// Compaction of a database that churn has left mostly garbage: a hash map and
// an ordered string map whose values were rewritten with random lengths until
// the file reached the size asked for. Reports the file before and after, the
// blocks copied and the time compact_database takes.
#include <random>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_map.h>
#include <disk_tools/odb_compact.h>
#include "benches.h"
#include "timing.h"

namespace bench {

namespace {

using string_map = disk_tools::d_map<disk_tools::d_ref<std::string>,
                                     disk_tools::d_ref<std::string>, std::string>;

struct compaction_run {
  disk_tools::compaction_result result;
  double seconds = 0;
};

// Rewrites the values of `keys` hash-map keys and keys / 2 map keys (1 to 400
// bytes) round after round until the file holds at least target bytes. The
// hash map gives its old entries back; the map, as ever, leaves a replaced
// value's block behind, which only compaction takes back.
void churn(std::string const& name, int keys, long long target) {
  using namespace disk_tools;
  d_env env{};
  d_open_options options;
  options.create_if_missing = true;
  options.journal = d_journal::off;
  d_database* db = open_database(name, &env, options);
  d_hashmap<std::string, std::string> hash("h", 65536, &env);
  string_map strings("m", &env);
  std::mt19937 rng(7);
  auto value = [&] { return std::string(1 + rng() % 400, 'v'); };
  while (db->stream()->size() < target) {
    for (int i = 0; i < keys; ++i) hash.put("key" + std::to_string(i), value());
    for (int i = 0; i < keys / 2; ++i) {
      strings.put(d_ref<std::string>("key" + std::to_string(i), &env),
                  d_ref<std::string>(value(), &env));
    }
  }
  close_database(db);
}

compaction_run compact_once(std::string const& dir, int keys, long long target) {
  std::string const name = dir + "/churned";
  churn(name, keys, target);
  compaction_run run;
  auto const start = std::chrono::steady_clock::now();
  run.result = disk_tools::compact_database(name);
  run.seconds = seconds_since(start);
  return run;
}

std::string megabytes(long long bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

}  // namespace

void run_compact_benches(int repetitions) {
  std::puts("\n### Compaction of a churned hash map and string map\n");
  row({"keys", "file before", "file after", "blocks copied", "compact_database"});
  row({"---", "---", "---", "---", "---"});
  // Mostly garbage (few keys, rewritten until the file is large), then mostly
  // live data (many keys, a round or two of rewrites).
  struct shape {
    int keys;
    long long target;
  };
  for (shape const s : {shape{20000, 25'000'000}, shape{20000, 100'000'000},
                        shape{150000, 100'000'000}}) {
    compaction_run last;
    double const seconds = median_of_runs(repetitions, [&](std::string const& dir) {
      last = compact_once(dir, s.keys, s.target);
      return std::vector<double>{last.seconds};
    })[0];
    row({std::to_string(s.keys), megabytes(last.result.length_before),
         megabytes(last.result.length_after), std::to_string(last.result.blocks), ms(seconds)});
  }
}

}  // namespace bench
