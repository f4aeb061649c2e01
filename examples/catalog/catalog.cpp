// A catalogue of packages, each a struct of strings and numbers, kept in a
// persistent vector through a codec of its own.
//
// disk_tools stores strings and trivially copyable types as they are. A type
// such as package, which holds strings and a vector, is taught to the library
// by one specialisation of disk_tools::codec: encode lays the value out as
// bytes, decode makes it back. put and get do the work for strings, vectors
// and numbers. The program stores the catalogue, reads it back in a later
// opening, sorts it by name there with std::sort as a std::vector is sorted,
// and exits with status 1 if anything differs, so running it is a test.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <disk_tools/codec.h>
#include <disk_tools/d_db.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>

struct package {
  std::string name;
  std::uint64_t installed_size = 0;
  std::vector<std::string> depends;

  bool operator==(package const& o) const {
    return name == o.name && installed_size == o.installed_size && depends == o.depends;
  }
};

template <>
struct disk_tools::codec<package> {
  static void encode(package const& p, std::string& out) {
    put(out, p.name);
    put(out, p.installed_size);
    put(out, p.depends);
  }
  static package decode(std::string_view in) {
    package p;
    get(in, p.name);
    get(in, p.installed_size);
    get(in, p.depends);
    return p;
  }
};

using namespace disk_tools;

int main() {
  std::vector<package> const packages = {{"libc6", 13000, {}},
                                         {"zlib1g", 170, {"libc6"}},
                                         {"curl", 500, {"libc6", "libcurl4", "zlib1g"}}};
  d_env env{};
  try {
    if (!create_database("catalog", &env)) throw std::runtime_error("unable to create catalog.odb");

    d_database* db = open_database("catalog", &env);
    {
      d_vector<package> all("packages", 16, &env);
      for (auto const& p : packages) all.push_back(p);
      d_var<package> newest("newest", &env);
      newest = packages.back();
    }
    close_database(db);

    // A later opening finds every field as it was stored.
    db = open_database("catalog", &env);
    std::vector<package> read, sorted;
    package newest;
    auto const by_name = [](package const& a, package const& b) { return a.name < b.name; };
    {
      d_vector<package> all("packages", 16, &env);
      for (package p : all) read.push_back(p);
      newest = d_var<package>("newest", &env).get_data();
      // Each write of the sort is a change; one transaction makes them one.
      d_transaction sorting(db);
      std::sort(all.begin(), all.end(), by_name);
      sorting.commit();
      for (package p : all) sorted.push_back(p);
    }
    close_database(db);

    for (auto const& p : sorted) {
      std::cout << p.name << ": " << p.depends.size() << " dependencies\n";
    }
    std::vector<package> expected = packages;
    std::sort(expected.begin(), expected.end(), by_name);
    if (read != packages || sorted != expected || !(newest == packages.back())) {
      std::cerr << "the catalogue came back different\n";
      return 1;
    }
    return 0;
  } catch (std::exception const& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
}
