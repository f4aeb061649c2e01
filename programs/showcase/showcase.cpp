// showcase: drives every container kind of disk_tools through one fixed script
// against the database "test" in the working folder, printing a line after
// each stage. With "-init" among the arguments it creates the database (with
// its ordered map "bt") instead. Every run continues from what earlier runs
// stored.
#include <disk_tools/d_db.h>
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_ptr.h>
#include <disk_tools/d_ref.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include <disk_tools/detail/factories.h>

#include <iostream>
#include <string>

#include "command_line.h"

using namespace disk_tools;

namespace {

using string_list = d_list<std::string>;
using string_map = d_map<d_ref<std::string>, d_ref<std::string>, std::string>;

char const* const database_name = "test";

void say(std::string const& line) {
  std::cout << line << std::endl;
}

// Closes the database when the script ends, also when it ends by an
// exception; the containers, made after it, write their state back first.
struct open_db {
  open_db() : db(open_database(database_name, p_d_env)) {}
  ~open_db() { close_database(db); }
  open_db(open_db const&) = delete;
  open_db& operator=(open_db const&) = delete;
  d_database* db;
};

void initialise() {
  if (!create_database(database_name, p_d_env)) throw "unable to create db file...";
  open_db db;
  string_map bt("bt", p_d_env);
}

void print_list(string_list& list) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    dl_assign<std::string> element(it, it.allocator(), it.stream());
    say("DATA = " + element.get_data());
  }
}

void string_list_stage() {
  string_list list("the_list", p_d_env);
  say("list open...");
  list.push_front("HATE");
  say("did push 1");
  list.push_front("HATE");
  say("did push 2");
  list.push_front("HATE");
  for (int i = 0; i < 3; ++i) list.push_back("LOVE");
  say("did push...");
  print_list(list);
  say("did list...");

  auto first = list.begin();
  list.erase(first);
  say("did pop 1");
  // An iterator made from the list object stands on the sentinel; erasing
  // there removes the first element.
  dl_iterator<std::string> at_list(list);
  list.erase(at_list);
  say("did pop 2");

  auto it = list.begin();
  say("iterator...");
  for (int i = 0; i < 3; ++i) ++it;
  list.insert(it, "GOD");
  auto second = list.begin();
  ++second;
  list.erase(second);
  auto renamed = list.begin();
  ++renamed;
  dl_assign<std::string>(renamed, renamed.allocator(), renamed.stream()) = "<<GOD>>";

  say("sort..");
  list.sort(CompLess<std::string>());
  say("did sort...");
  print_list(list);
  say("done with stirng list...");
}

void list_of_lists_stage() {
  d_list<d_list<int>> lists("ll", p_d_env);
  d_list<int> numbers(p_d_env);
  say("made the lists...");
  for (int i = 1; i <= 3; ++i) numbers.push_back(i);
  numbers.sort(CompLess<int>());
  lists.push_back(numbers);
  for (auto it = numbers.begin(); it != numbers.end(); ++it) {
    say("int=" + std::to_string(numbers.get_data(it.value_address())));
  }
  for (auto it = lists.begin(); it != lists.end(); ++it) {
    say("---");
    d_list<int>& inner = it.get_data2(it.value_address());
    for (auto in = inner.begin(); in != inner.end(); ++in) {
      say("ptr2 == " + std::to_string(inner.get_data(in.value_address())));
    }
  }
}

void hash_map_stage(d_hashmap<std::string, std::string>& table) {
  std::string const hyphens(38, '-');
  say(hyphens);
  std::pair<char const*, char const*> const texts[] = {{"hello", "HELLO"},
                                                       {"world", "WORLD"},
                                                       {"quibley", "QUIBLEY"},
                                                       {"hello2", "HELLO2"},
                                                       {"love", "LOVE"}};
  for (auto const& [key, text] : texts) {
    std::string const current = table[key].get_data();
    table[key] = text + current;
  }
  say(hyphens);
  for (auto const& [key, text] : texts) say(std::string(key) + "=" + table[key].get_data());
}

void vector_stage() {
  d_vector<std::string> vec("str_vec", 100, p_d_env);
  vec.push_back("AA");
  vec.push_back("BB");
  vec.push_back("CC");
  vec.insert(vec.begin(), "PP");
  std::string const first = vec[0];
  vec[0] = first + "Z";
  vec.insert(vec.begin() + 1, "GG");
  vec.sort(DefaultLess<std::string>());
  for (long i = 0; i < vec.count(); ++i) {
    say("str_vec[" + std::to_string(i) + "] == " + vec[i].get_data());
  }
}

void cells_stage() {
  d_ptr<std::string> pointer(create_pointer(p_d_env->database), p_d_env);
  *pointer = "HELLO, WORLD!";
  say(*pointer);
  d_var<std::string> variable(create_var(p_d_env->database), p_d_env);
  variable = "I love C++!";
  say(variable.get_data());
  pointer = variable;
  say(*pointer);

  d_var<std::string> var2("var2", p_d_env);
  say("HELLO: " + var2.get_data());
  var2 = "Quibley";
  say("HELLO: " + var2.get_data());
}

void map_stage() {
  string_map bt("bt", p_d_env);
  std::pair<char const*, char const*> const texts[] = {
      {"love", "LOVE"}, {"hello", "HELLO"}, {"god", "GOD"}};
  for (auto const& [key, text] : texts) {
    d_ref<std::string> k(key, p_d_env);
    std::string const current = bt[k];
    d_ref<std::string> value(text + current, p_d_env);
    d_ref<std::string> k2(key, p_d_env);
    bt[k2] = value;
  }
  for (auto const& [key, text] : texts) {
    d_ref<std::string> k(key, p_d_env);
    std::string const value = bt[k];
    say(std::string(key) + "=" + value);
  }

  // The node chain visits every node once, newest first; the walk is bounded
  // by the number of nodes the file can hold.
  bt.spare.address = bt.chain_head;
  bt.spare.load(*bt.stream);
  for (word_t steps = 0;; ++steps) {
    if (steps > bt.max_node_count()) throw io_tools::corrupt_file_message;
    for (word_t i = 0; i < bt.spare.count; ++i) {
      auto const& pair = bt.spare.pairs[static_cast<std::size_t>(i)];
      d_ref<std::string> key = pair.key, value = pair.value;
      say(key.get_data() + "=" + value.get_data());
    }
    if (bt.spare.next == no_address) break;
    bt.spare.address = bt.spare.next;
    bt.spare.load(*bt.stream);
  }
}

void run_script() {
  say("open db next...");
  {
    open_db db;
    say("db open...");
    string_list_stage();
    list_of_lists_stage();
    d_hashmap<std::string, std::string> table("htable", 1000, p_d_env);
    hash_map_stage(table);
    vector_stage();
    cells_stage();
    map_stage();
  }  // the hash map writes back its count, then the database closes
  say("done...");
}

constexpr char const* usage =
    "usage: showcase [-init]\n"
    "Drives every container kind through a fixed script on the database test.odb in the\n"
    "working folder; every run continues from what earlier runs stored.\n"
    "  -init      create test.odb afresh, holding only the ordered map \"bt\"\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  auto const line =
      odb_programs::read_command_line({"showcase", usage, {"-init"}, false}, argc, argv);
  if (line.done()) return line.exit_status;
  bool const init = line.has("-init");
  d_env env{};
  p_d_env = &env;
  try {
    if (init) {
      initialise();
    } else {
      run_script();
    }
    return 0;
  } catch (disk_tools::error const& e) {
    std::cerr << e.what() << std::endl;
  } catch (...) {
    std::cerr << "..." << std::endl;
  }
  return 1;
}
