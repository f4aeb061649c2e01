// Churn: values rewritten over and over. What the file grows to once the
// allocator has reused freed space for a while, and what a lookup costs in an
// aged file beside a freshly filled one.
#include <sys/stat.h>

#include <random>
#include <string>

#include "benches.h"
#include <disk_tools/d_db.h>
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_var.h>
#include "timing.h"

namespace bench {

namespace {

using namespace disk_tools;

std::string random_text(std::mt19937& rng, unsigned longest) {
  return std::string(1 + rng() % longest, static_cast<char>('a' + rng() % 26));
}

double file_kib(std::string const& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1024 : -1;
}

std::string kib(double k) {
  char buf[32];
  std::snprintf(buf, sizeof buf, k < 10240 ? "%.1f KiB" : "%.1f MiB", k < 10240 ? k : k / 1024);
  return buf;
}

// One d_var<std::string> assigned 20 000 random texts of 1 to 100 bytes.
double var_churn_kib(std::string const& dir) {
  std::string const name = dir + "/var";
  d_env env{};
  create_database(name, &env);
  d_database* db = open_database(name, &env);
  std::mt19937 rng(1);
  {
    d_var<std::string> v("v", &env);
    for (int i = 0; i < 20000; ++i) v = random_text(rng, 100);
  }
  close_database(db);
  return file_kib(name + ".odb");
}

// A hash map of 10 000 keys with values of 1 to 200 bytes: the file and the
// time of a get per key after the first fill, and after `rounds` more fills
// that rewrite every value.
std::vector<double> hash_churn(std::string const& dir, int rounds) {
  std::string const name = dir + "/hash";
  d_env env{};
  create_database(name, &env);
  std::mt19937 rng(2);
  int const keys = 10000;
  std::vector<double> out;
  for (int fills = 0; fills <= rounds; ++fills) {
    d_database* db = open_database(name, &env);
    {
      d_hashmap<std::string, std::string> m("m", 16384, &env);
      for (int k = 0; k < keys; ++k) m.put("key" + std::to_string(k), random_text(rng, 200));
    }
    close_database(db);
    if (fills != 0 && fills != rounds) continue;
    db = open_database(name, &env);
    {
      d_hashmap<std::string, std::string> m("m", 16384, &env);
      std::string v;
      auto const start = std::chrono::steady_clock::now();
      for (int k = 0; k < keys; ++k) m.get("key" + std::to_string(k), v);
      double const per_get = seconds_since(start) / keys;
      close_database(db);
      out.push_back(file_kib(name + ".odb"));
      out.push_back(per_get);
    }
  }
  return out;
}

}  // namespace

void run_churn_benches(int repetitions) {
  std::puts("\n### Churn: values rewritten again and again\n");
  row({"workload", "file after the first fill", "file after churn", "get after the first fill",
       "get after churn"});
  row({"---", "---", "---", "---", "---"});
  double const var = median_of_runs(repetitions, [](std::string const& d) {
    return std::vector<double>{var_churn_kib(d)};
  })[0];
  row({"one d_var<std::string>, 20 000 assignments of 1-100 bytes", "-", kib(var), "-", "-"});
  int const rounds = 50;
  auto const h = median_of_runs(repetitions, [&](std::string const& d) {
    return hash_churn(d, rounds);
  });
  row({"d_hashmap of 10 000 keys, every value rewritten " + std::to_string(rounds) +
           " times (1-200 bytes)",
       kib(h[0]), kib(h[2]), us(h[1]), us(h[3])});
}

}  // namespace bench
