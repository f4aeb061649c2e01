// The peer a user picks for "containers in a file": Boost.Interprocess
// containers of interprocess strings in a managed mapped file. Its file does
// not grow by itself (growing means unmapping, managed_mapped_file::grow and
// mapping again), so each run makes it large enough for the workload up front;
// the file is sparse, and only the pages touched take room.
#include <stdexcept>

#include "container_peers.h"

#ifdef ODB_BENCH_HAS_INTERPROCESS
#include <algorithm>
#include <boost/functional/hash.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/containers/list.hpp>
#include <boost/interprocess/containers/string.hpp>
#include <boost/interprocess/containers/vector.hpp>
#include <boost/interprocess/managed_mapped_file.hpp>
#include <boost/unordered_map.hpp>
#endif

namespace bench {

#ifdef ODB_BENCH_HAS_INTERPROCESS

namespace {

namespace bip = boost::interprocess;
using segment_manager = bip::managed_mapped_file::segment_manager;
using ip_string =
    bip::basic_string<char, std::char_traits<char>, bip::allocator<char, segment_manager>>;
using ip_list = bip::list<ip_string, bip::allocator<ip_string, segment_manager>>;
using ip_vector = bip::vector<ip_string, bip::allocator<ip_string, segment_manager>>;
using ip_map =
    boost::unordered_map<ip_string, ip_string, boost::hash<ip_string>, std::equal_to<ip_string>,
                         bip::allocator<std::pair<ip_string const, ip_string>, segment_manager>>;

// Room for the largest workload's nodes, strings and bucket array, and for
// the vector's old and new arrays while it grows.
std::size_t file_size_for(long n) {
  return (std::size_t{64} << 20) + static_cast<std::size_t>(n) * 256;
}

// The mapped file of one run; the file is removed with the scratch folder.
struct mapped_file {
  mapped_file(std::string const& dir, long n)
      : file(bip::create_only, (dir + "/interprocess.bin").c_str(), file_size_for(n)),
        chars(file.get_segment_manager()) {}
  ip_string text(std::string const& s) const { return ip_string(s.data(), s.size(), chars); }

  bip::managed_mapped_file file;
  bip::allocator<char, segment_manager> chars;
};

// Finds a key given as a std::string without first copying it into the file:
// boost::hash gives a std::string and an ip_string of the same characters the
// same hash.
struct same_text {
  bool operator()(std::string const& a, ip_string const& b) const {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }
};

}  // namespace

std::optional<phase_costs> interprocess_list(std::string const& dir, container_inputs const& in) {
  mapped_file m(dir, in.size());
  auto* list = m.file.construct<ip_list>("list")(m.file.get_segment_manager());
  phase_costs out;
  phase_meter push;
  for (auto const& text : in.texts) list->emplace_back(text.data(), text.size(), m.chars);
  out.push_back(push.done());

  phase_meter walk;
  long seen = 0, chars = 0;
  for (auto const& s : *list) {
    ++seen;
    chars += static_cast<long>(s.size());
  }
  out.push_back(walk.done());
  check_walk(in, seen, chars, "interprocess list");
  return out;
}

std::optional<phase_costs> interprocess_vector(std::string const& dir, container_inputs const& in) {
  mapped_file m(dir, in.size());
  auto* vec = m.file.construct<ip_vector>("vector")(m.file.get_segment_manager());
  phase_costs out;
  phase_meter push;
  for (auto const& text : in.texts) vec->emplace_back(text.data(), text.size(), m.chars);
  out.push_back(push.done());

  long chars = 0;
  phase_meter copy;
  for (long i = 0; i < in.size(); ++i) {
    auto const& element = (*vec)[static_cast<std::size_t>(i)];
    std::string const s(element.data(), element.size());
    chars += static_cast<long>(s.size());
  }
  out.push_back(copy.done());
  check_walk(in, in.size(), chars, "interprocess vector read by copy");

  chars = 0;
  phase_meter by_reference;
  for (long i = 0; i < in.size(); ++i) {
    chars += static_cast<long>((*vec)[static_cast<std::size_t>(i)].size());
  }
  out.push_back(by_reference.done());
  check_walk(in, static_cast<long>(vec->size()), chars, "interprocess vector read by reference");
  return out;
}

std::optional<phase_costs> interprocess_hashmap(std::string const& dir,
                                                container_inputs const& in) {
  mapped_file m(dir, in.size());
  auto* map = m.file.construct<ip_map>("hash")(static_cast<std::size_t>(in.size()),
                                               boost::hash<ip_string>(), std::equal_to<ip_string>(),
                                               m.file.get_segment_manager());
  phase_costs out;
  phase_meter put;
  for (long i = 0; i < in.size(); ++i) {
    auto const at = static_cast<std::size_t>(i);
    map->emplace(m.text(in.keys[at]), m.text(in.texts[at]));
  }
  out.push_back(put.done());

  phase_meter get;
  long found = 0, chars = 0;
  for (auto const& key : in.keys) {
    auto const it = map->find(key, boost::hash<std::string>(), same_text());
    if (it != map->end()) {
      ++found;
      chars += static_cast<long>(it->second.size());
    }
  }
  out.push_back(get.done());
  check_gets(in, found, chars, "interprocess map");
  return out;
}

#else

std::optional<phase_costs> interprocess_list(std::string const&, container_inputs const&) {
  return std::nullopt;
}
std::optional<phase_costs> interprocess_vector(std::string const&, container_inputs const&) {
  return std::nullopt;
}
std::optional<phase_costs> interprocess_hashmap(std::string const&, container_inputs const&) {
  return std::nullopt;
}

#endif

}  // namespace bench
