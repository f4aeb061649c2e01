// mapdrill: with "-init" creates the database "int" holding an empty map
// "btree"; otherwise adds the pairs 0 -> 0 to 24999 -> 24999 that the map does
// not hold yet, prints the tree's shape, and lists every pair twice: looked up
// by key, then by walking the node chain. It pauses twice for two characters
// of input; end of input simply continues.
#include <disk_tools/d_db.h>
#include <disk_tools/d_map.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"

using namespace disk_tools;

namespace {

using int_map = d_map<unsigned, unsigned, unsigned>;
using int_node = int_map::node_type;

constexpr char const* database_name = "int";
constexpr char const* map_name = "btree";
constexpr unsigned drill_keys = 25000;
constexpr char const* rule = "-------------------------";

void say(std::string const& line) {
  std::cout << line << std::endl;
}

void pause_for_input() {
  std::cin.get();
  std::cin.get();
}

// Closes the database when the run ends, also on an exception; declared before
// the map, so the map writes its state back first.
struct open_db {
  explicit open_db(d_env* env) : db(open_database(database_name, env)) {}
  ~open_db() { close_database(db); }
  open_db(open_db const&) = delete;
  open_db& operator=(open_db const&) = delete;
  d_database* db;
};

void initialise() {
  if (!create_database(database_name, p_d_env)) throw "unable to create db file...";
  open_db db(p_d_env);
  int_map map(map_name, p_d_env);
}

// Prints every pair of the chain node by node, newest node first, and returns
// how many there were. The node objects met on the way are cached in the
// previous node's next_node and belong to this walk.
long walk_chain(int_map& map) {
  std::vector<std::unique_ptr<int_node>> met;
  int_node* node = &map.spare;
  node->address = map.chain_head;
  node->load(*map.stream);
  long total = 0;
  word_t const limit = map.max_node_count();
  for (word_t visited = 1;; ++visited) {
    if (visited > limit) throw io_tools::corrupt_file_message;
    for (word_t i = 0; i < node->count; ++i) {
      auto const& pair = node->pairs[static_cast<std::size_t>(i)];
      say(std::to_string(pair.key) + " -> " + std::to_string(pair.value));
    }
    total += node->count;
    if (node->next == no_address) break;
    if (!node->next_node) {
      met.push_back(std::make_unique<int_node>());
      met.back()->address = node->next;
      met.back()->load(*map.stream);
      node->next_node = met.back().get();
    }
    node = node->next_node;
  }
  map.spare.next_node = nullptr;
  return total;
}

void run() {
  open_db db(p_d_env);
  int_map map(map_name, p_d_env);
  std::vector<unsigned> added;
  for (unsigned i = 0; i < drill_keys; ++i) {
    say(std::to_string(i));
    unsigned value = i;
    if (!map.get(i, value)) {
      map.insert(i, i);
      added.push_back(i);
    }
  }
  say(rule);
  {
    auto top = std::make_unique<int_node>();
    top->address = map.root.address;
    top->load(*map.stream);
    map.print_tree_node(top.get(), std::cout, 0);
  }
  say(rule);
  say("VEC_SIZE=" + std::to_string(added.size()));
  pause_for_input();

  // Every key of the drill is looked up, not only those this run added, so a
  // run over a map that already holds them still lists them all.
  long found = 0;
  for (unsigned k = 0; k < drill_keys; ++k) {
    unsigned value = 0;
    if (map.get(k, value)) {
      say(std::to_string(k) + " -> " + std::to_string(value));
      ++found;
    }
  }
  say("count == " + std::to_string(found));
  pause_for_input();

  say(rule);
  long const total = walk_chain(map);
  say(rule);
  say("count == " + std::to_string(total));
}

constexpr char const* usage =
    "usage: mapdrill [-init]\n"
    "Adds the pairs 0 -> 0 to 24999 -> 24999 to the map \"btree\" of the database int.odb\n"
    "in the working folder, prints the tree's shape and lists every pair twice; it pauses\n"
    "twice for input (Enter continues).\n"
    "  -init      create int.odb afresh, holding an empty map \"btree\"\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  auto const line =
      odb_programs::read_command_line({"mapdrill", usage, {"-init"}, false}, argc, argv);
  if (line.done()) return line.exit_status;
  bool const init = line.has("-init");
  d_env env{};
  p_d_env = &env;
  try {
    if (init) {
      initialise();
    } else {
      run();
    }
  } catch (disk_tools::error const& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  } catch (...) {
    std::cerr << "unknown exception..." << std::endl;
    return 1;
  }
  return 0;
}
