// Our containers as the peers' rivals: every element in the database file,
// written there before push_back or put returns.
#include <algorithm>
#include <stdexcept>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_vector.h>
#include "container_peers.h"
#include "scratch_db.h"

namespace bench {

namespace {

using namespace disk_tools;

// With the old hash, as many buckets as keys, the most a user could give it;
// with the strong one, as a user would now make it: a few buckets, doubled
// whenever there are more keys than buckets.
template <class H>
std::optional<phase_costs> odb_hashmap(std::string const& dir, container_inputs const& in) {
  scratch_db s(dir);
  phase_costs out;
  bool const grows = H::kind != string_hash::kind;
  d_hashmap<std::string, std::string, H> map("hash", grows ? 16 : std::max(1L, in.size()),
                                             &s.env);
  if (grows) map.set_max_load_factor(1.0);
  phase_meter put;
  for (long i = 0; i < in.size(); ++i) {
    auto const at = static_cast<std::size_t>(i);
    map.put(in.keys[at], in.texts[at]);
  }
  out.push_back(put.done());

  phase_meter get;
  long found = 0, chars = 0;
  std::string value;
  for (auto const& key : in.keys) {
    if (map.get(key, value) != 0) {
      ++found;
      chars += static_cast<long>(value.size());
    }
  }
  out.push_back(get.done());
  check_gets(in, found, chars, "d_hashmap");
  return out;
}

}  // namespace

std::optional<phase_costs> odb_list(std::string const& dir, container_inputs const& in) {
  scratch_db s(dir);
  phase_costs out;
  d_list<std::string> list("list", &s.env);
  phase_meter push;
  for (auto const& text : in.texts) list.push_back(text);
  out.push_back(push.done());

  phase_meter walk;
  long seen = 0, chars = 0;
  for (std::string_view const text : list.views()) {
    chars += static_cast<long>(text.size());
    ++seen;
  }
  out.push_back(walk.done());
  check_walk(in, seen, chars, "d_list");
  return out;
}

std::optional<phase_costs> odb_vector(std::string const& dir, container_inputs const& in) {
  scratch_db s(dir);
  phase_costs out;
  d_vector<std::string> vec("vector", 16, &s.env);
  phase_meter push;
  for (auto const& text : in.texts) vec.push_back(text);
  out.push_back(push.done());

  long chars = 0;
  phase_meter copy;
  for (long i = 0; i < in.size(); ++i) {
    std::string const s = vec[i];
    chars += static_cast<long>(s.size());
  }
  out.push_back(copy.done());
  check_walk(in, in.size(), chars, "d_vector read by copy");

  chars = 0;
  phase_meter in_place;
  auto const views = vec.views();
  for (long i = 0; i < in.size(); ++i) {
    chars += static_cast<long>(views[static_cast<std::size_t>(i)].size());
  }
  out.push_back(in_place.done());
  check_walk(in, static_cast<long>(vec.size()), chars, "d_vector read in place");
  return out;
}

std::vector<peer_column> odb_hashmap_columns() {
  return {
      // Look-alike keys share a few hundred hashes: at a million keys every
      // put and get would walk chains of thousands of entries.
      {"odb", "d_hashmap (string_hash)", odb_hashmap<string_hash>, 100000},
      {"odb-strong", "d_hashmap (strong_string_hash, growing)", odb_hashmap<strong_string_hash>,
       every_size},
  };
}

}  // namespace bench
