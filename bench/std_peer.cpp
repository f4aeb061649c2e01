// The standard containers in memory: what the same work costs with nothing
// kept.
#include <list>
#include <stdexcept>
#include <unordered_map>

#include "container_peers.h"

namespace bench {

std::optional<phase_costs> std_list(std::string const&, container_inputs const& in) {
  phase_costs out;
  std::list<std::string> list;
  phase_meter push;
  for (auto const& text : in.texts) list.push_back(text);
  out.push_back(push.done());

  phase_meter walk;
  long seen = 0, chars = 0;
  for (auto const& s : list) {
    ++seen;
    chars += static_cast<long>(s.size());
  }
  out.push_back(walk.done());
  check_walk(in, seen, chars, "std::list");
  return out;
}

std::optional<phase_costs> std_vector(std::string const&, container_inputs const& in) {
  phase_costs out;
  std::vector<std::string> vec;
  phase_meter push;
  for (auto const& text : in.texts) vec.push_back(text);
  out.push_back(push.done());

  long chars = 0;
  phase_meter copy;
  for (long i = 0; i < in.size(); ++i) {
    std::string const s = vec[static_cast<std::size_t>(i)];
    chars += static_cast<long>(s.size());
  }
  out.push_back(copy.done());
  check_walk(in, in.size(), chars, "std::vector read by copy");

  chars = 0;
  phase_meter by_reference;
  for (auto const& s : vec) chars += static_cast<long>(s.size());
  out.push_back(by_reference.done());
  check_walk(in, static_cast<long>(vec.size()), chars, "std::vector read by reference");
  return out;
}

std::optional<phase_costs> std_hashmap(std::string const&, container_inputs const& in) {
  phase_costs out;
  std::unordered_map<std::string, std::string> map(static_cast<std::size_t>(in.size()));
  phase_meter put;
  for (long i = 0; i < in.size(); ++i) {
    auto const at = static_cast<std::size_t>(i);
    map.insert_or_assign(in.keys[at], in.texts[at]);
  }
  out.push_back(put.done());

  phase_meter get;
  long found = 0, chars = 0;
  for (auto const& key : in.keys) {
    auto const it = map.find(key);
    if (it != map.end()) {
      ++found;
      chars += static_cast<long>(it->second.size());
    }
  }
  out.push_back(get.done());
  check_gets(in, found, chars, "std::unordered_map");
  return out;
}

}  // namespace bench
