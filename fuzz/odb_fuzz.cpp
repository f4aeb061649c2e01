// A libFuzzer target whose input is a whole database file. Each input is
// checked with check_database_file, then opened and put through the work of
// both drivers in small: a string list and a list of lists, a hash map, a
// vector, variable and pointer cells, the string map and a map of unsigned
// numbers, the typed checks, and a compaction of the free blocks.
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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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

// The whole work on the database file name.odb.
void work(std::string const& name) {
  d_env env{};
  p_d_env = &env;
  std::unique_ptr<d_database, closer> db(open_database(name, &env));
  string_lists(&env);
  hash_map(&env);
  vector(&env);
  cells(&env);
  string_map_work(&env);
  number_map_work(&env);
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
    if (round > 0) work(name);
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
    work(name);
  } catch (disk_tools::error const&) {
    // A refusal with a message is what a damaged file should meet.
  }
  return 0;
}
