// A libFuzzer target whose input is a whole database file. Each input is
// checked with check_database_file, then opened and put through the work of
// both drivers in small: a string list and a list of lists, a hash map, a
// vector, variable and pointer cells, the string map and a map of unsigned
// numbers, the typed checks, and a compaction of the free blocks. Then the
// typed containers a program of its own uses: ordered maps of strings (some
// keys too long for a node's slot) and of numbers to doubles, a map of string
// lists, hash maps of numbers to strings and of strings to a struct with a
// codec, and a vector of that struct; each read, changed and checked. A part
// refused with a disk_tools::error does not stop the parts after it.
//
// The library may refuse a damaged file only by throwing a disk_tools::error;
// any other exception, a crash, a hang, a sanitizer report or
// a large allocation is a finding.
//
// With ODB_FUZZ_SEEDS=DIR in the environment the program writes sound
// databases made by the same work into DIR, as a starting corpus, and ends.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <disk_tools/codec.h>
#include <disk_tools/d_db.h>
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_map_check.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_ref.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/factories.h>
#include <disk_tools/odb_check.h>

// A small struct a program would store, taught to the library by a codec.
struct part {
  std::string name;
  std::uint64_t count = 0;
  std::vector<std::string> tags;
};

template <>
struct disk_tools::codec<part> {
  static void encode(part const& p, std::string& out) {
    put(out, p.name);
    put(out, p.count);
    put(out, p.tags);
  }
  static part decode(std::string_view in) {
    part p;
    get(in, p.name);
    get(in, p.count);
    get(in, p.tags);
    return p;
  }
};

using namespace disk_tools;

namespace {

using string_map = d_map<d_ref<std::string>, d_ref<std::string>, std::string>;
using number_map = d_map<unsigned, unsigned, unsigned>;

// Enough keys for a few map nodes and rotations, few enough for quick runs.
constexpr unsigned number_keys = 300;

// A scratch folder of this process for the database file, removed at exit.
std::string const& scratch_folder() {
  static std::string const dir = [] {
    std::string d = "/tmp/odb-fuzz-XXXXXX";
    if (!::mkdtemp(d.data())) std::abort();
    return d;
  }();
  return dir;
}

void remove_scratch_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch_folder(), ignored);
}

std::string const& database_name() {
  static std::string const name = [] {
    std::string const dir = scratch_folder();
    std::atexit(remove_scratch_folder);
    return dir + "/f";
  }();
  return name;
}

struct closer {
  void operator()(d_database* db) const { close_database(db); }
};

void string_lists(d_env* env) {
  d_list<std::string> list("the_list", env);
  list.push_front("HATE");
  list.push_back("LOVE");
  auto first = list.begin();
  list.erase(first);
  auto it = list.begin();
  if (it != list.end()) {
    ++it;
    list.insert(it, "GOD");
  }
  auto second = list.begin();
  if (second != list.end()) {
    dl_assign<std::string> element(second);
    element = "<<GOD>>";
  }
  list.sort(CompLess<std::string>());
  for (auto at = list.begin(); at != list.end(); ++at) {
    dl_assign<std::string> element(at);
    element.get_data();
  }
  list.check();

  d_list<d_list<int>> lists("ll", env);
  d_list<int> numbers(env);
  for (int i = 1; i <= 3; ++i) numbers.push_back(i);
  numbers.sort(CompLess<int>());
  lists.push_back(numbers);
  for (auto at = lists.begin(); at != lists.end(); ++at) {
    d_list<int>& inner = at.get_data2(at.value_address());
    for (auto in = inner.begin(); in != inner.end(); ++in) inner.get_data(in.value_address());
  }
  lists.check();
}

void hash_map(d_env* env) {
  d_hashmap<std::string, std::string> table("htable", 7, env);
  for (char const* key : {"hello", "world", "quibley", "hello2", "love"}) {
    std::string const current = table[key].get_data();
    table[key] = std::string("X") + current.substr(0, 40);
  }
  table.check();
}

void vector(d_env* env) {
  d_vector<std::string> vec("str_vec", 4, env);
  vec.push_back("AA");
  vec.insert(vec.begin(), "PP");
  std::string const first = vec[0];
  vec[0] = first.substr(0, 40) + "Z";
  vec.sort(DefaultLess<std::string>());
  for (long i = 0; i < vec.count(); ++i) vec[i].get_data();
  vec.check();
}

void cells(d_env* env) {
  d_var<std::string> var2("var2", env);
  var2.get_data();
  var2 = "Quibley";
  d_ptr<std::string> pointer(var2, env);
  std::string const through = *pointer;
  *pointer = through + "!";
}

void string_map_work(d_env* env) {
  string_map bt("bt", env);
  for (char const* key : {"love", "hello", "god"}) {
    d_ref<std::string> k(key, env);
    std::string const current = bt[k];
    d_ref<std::string> value(current.substr(0, 40) + "V", env);
    bt[k] = value;
  }
  bt.spare.address = bt.chain_head;
  bt.spare.load(*bt.stream);
  for (word_t steps = 0; bt.spare.next != no_address; ++steps) {
    if (steps > bt.max_node_count())
      throw disk_tools::error(disk_tools::errc::corrupt, io_tools::corrupt_file_message);
    for (word_t i = 0; i < bt.spare.count; ++i) {
      bt.spare.pairs[static_cast<std::size_t>(i)].key.get_data();
    }
    bt.spare.address = bt.spare.next;
    bt.spare.load(*bt.stream);
  }
  check_map(bt);
}

void number_map_work(d_env* env) {
  number_map map("btree", env);
  for (unsigned i = 0; i < number_keys; ++i) {
    unsigned value = i;
    if (!map.get(i, value)) map.insert(i, i);
  }
  std::ostringstream shape;
  auto top = std::make_unique<number_map::node_type>();
  top->address = map.root.address;
  top->load(*map.stream);
  map.print_tree_node(top.get(), shape, 0);
  check_map(map);
}

// What the typed work reads is summed here, so that no read is left out.
std::size_t read_total = 0;

// Keys of the typed maps: short ones live in a node's slot, long ones (more
// than 24 bytes) in blocks of their own.
std::string text_key(unsigned i) {
  std::string key = "k" + std::to_string(i);
  if (i % 3 == 0) key += std::string(28, static_cast<char>('a' + i % 26));
  return key;
}

void typed_string_map(d_env* env) {
  d_map<std::string, std::string> map("t_strings", env);
  for (unsigned i = 0; i < 36; ++i) {
    std::string value;
    if (map.get(text_key(i), value)) {
      map.update(text_key(i), value.substr(0, 40) + "+");
    } else {
      map.put(text_key(i), std::string(i % 5 == 0 ? 30 : 3, 'v'));
    }
  }
  map.erase(text_key(7));
  map.insert(text_key(7), "back");
  std::string joined;
  for (auto const& entry : map) joined += entry.key.substr(0, 2) + entry.value.substr(0, 2);
  for (auto const& entry : map.range("k1", "k2")) joined += entry.key.substr(0, 1);
  auto at = map.lower_bound("k3");
  if (at != map.end()) --at;
  read_total += joined.size() + map.size() + map.node_count() + check_map(map).size();
}

void typed_number_map(d_env* env) {
  d_map<std::uint64_t, double> map("t_numbers", env);
  for (std::uint64_t i = 0; i < 40; ++i) {
    double value = 0;
    if (!map.get(i * 7, value)) map.put(i * 7, 0.5 * static_cast<double>(i));
  }
  map[14] += 1.0;
  map.erase(21);
  // A damaged file's doubles may be any bits: they are counted, not converted.
  for (auto const& entry : map.range(10, 200)) read_total += entry.value > 1.0;
  for (auto at = map.lower_bound(100); at != map.end(); ++at) read_total += at->value > 1.0;
  read_total += map.size() + check_map(map).size();
}

void typed_list_map(d_env* env) {
  d_map<std::string, d_list<std::string>> map("t_lists", env);
  for (unsigned i = 0; i < 6; ++i) {
    d_list<std::string> list = map[text_key(i)];
    list.push_back("place" + std::to_string(i));
  }
  d_list<std::string> places;
  if (map.get(text_key(2), places)) {
    for (std::string const& place : places) read_total += place.size();
    places.check();
  }
  map.erase(text_key(4));
  for (auto const& entry : map) read_total += entry.key.size();
  read_total += map.size() + check_map(map).size();
}

void typed_hash_maps(d_env* env) {
  d_hashmap<std::uint64_t, std::string> titles("t_titles", env);
  for (std::uint64_t i = 0; i < 20; ++i) {
    std::string title;
    if (!titles.get(i, title)) titles.put(i, "title " + std::to_string(i));
  }
  titles.erase(5);
  for (auto const& entry : titles) read_total += entry.second.size();
  titles.check();

  d_hashmap<std::string, part> parts("t_parts", env);
  for (unsigned i = 0; i < 12; ++i) {
    part p;
    if (parts.get(text_key(i), p)) {
      p.count += 1;
      p.tags.push_back("t");
      if (p.tags.size() > 4) p.tags.clear();
    } else {
      p = {"part" + std::to_string(i), i, {"a", "b"}};
    }
    parts.put(text_key(i), p);
  }
  parts.erase(text_key(3));
  for (auto const& entry : parts) read_total += entry.second.tags.size();
  parts.size();
  parts.check();
}

void typed_vector(d_env* env) {
  d_vector<part> all("t_vector", env);
  if (all.size() < 8) all.push_back({"p" + std::to_string(all.size()), all.size(), {"x"}});
  for (part const& p : all) read_total += p.name.size();
  if (!all.empty()) {
    part first = all[0];
    first.count += 1;
    all[0] = first;
    all.back();
  }
  all.check();
}

// The whole work on the database file name.odb. Each container's part goes
// on after another part was refused, as a program that reports the refusal
// and carries on would; the seeds are made from sound files, where nothing
// is refused.
void work(std::string const& name, bool carry_on) {
  d_env env{};
  p_d_env = &env;
  std::unique_ptr<d_database, closer> db(open_database(name, &env));
  for (auto part : {string_lists, hash_map, vector, cells, string_map_work, number_map_work,
                    typed_string_map, typed_number_map, typed_list_map, typed_hash_maps,
                    typed_vector}) {
    try {
      part(&env);
    } catch (disk_tools::error const&) {
      if (!carry_on) throw;
    }
  }
  db->allocator()->compact();
  db->allocator()->allocation_list();
}

void write_file(std::string const& path, char const* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
  if (!out) std::abort();
}

std::vector<char> read_file(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sound files after 0 to 3 rounds of the work, as the starting corpus.
void make_seeds(std::string const& dir) {
  std::string const name = database_name();
  if (!create_database(name, nullptr)) std::abort();
  for (int round = 0; round <= 3; ++round) {
    if (round > 0) work(name, false);
    std::vector<char> const bytes = read_file(name + ".odb");
    write_file(dir + "/seed-" + std::to_string(round) + ".odb", bytes.data(), bytes.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (char const* dir = std::getenv("ODB_FUZZ_SEEDS")) {
    make_seeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string const name = database_name();
  std::string const path = name + ".odb";
  write_file(path, reinterpret_cast<char const*>(data), size);
  try {
    check_database_file(path);
  } catch (disk_tools::error const&) {
  }
  try {
    work(name, true);
  } catch (disk_tools::error const&) {
    // A refusal with a message is what a damaged file should meet.
  }
  return 0;
}
