// A notes store: short texts kept under a title in a persistent hash map.
//
// The first part writes the notes and closes the database, as a program that
// ends would; the second opens it again, as the next run of that program
// would, and finds every note where it was left. The program checks what it
// reads and exits with status 1 when anything differs, so running it is a test.
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

#include <disk_tools/d_db.h>
#include <disk_tools/d_hashmap.h>

using namespace disk_tools;

using notes_map = d_hashmap<std::string, std::string>;

int main() {
  // The environment tells every container which database it works in.
  d_env env{};
  p_d_env = &env;

  // What we store, kept in memory too so that we can compare.
  std::map<std::string, std::string> notes = {
      {"shopping", "bread, milk, apples"},
      {"birthday", "Ada: 10 December"},
      {"wifi", "the password is on the router"},
  };

  try {
    // Writes an empty notes.odb in the working folder, replacing any old one.
    if (!create_database("notes", &env)) throw std::runtime_error("unable to create notes.odb...");

    {
      // The handle closes the database when it goes, at the end of this
      // block, as close_database would; it is declared first so that the map
      // goes before it.
      scoped_database db = open_database_scoped("notes", &env);
      // The map is found by its name in the database; 64 buckets are used
      // when it is created, and it grows chains, never buckets, after that.
      notes_map store("notes", 64, &env);
      for (auto const& [title, text] : notes) store.put(title, text);
      // Writing to an existing title replaces its text.
      store["shopping"] = "bread, milk, apples, tea";
      notes["shopping"] = "bread, milk, apples, tea";
    }

    // The next run: everything is read back from the file.
    int wrong = 0;
    {
      scoped_database db = open_database_scoped("notes", &env);
      notes_map store("notes", 64, &env);
      if (store.count() != static_cast<long>(notes.size())) {
        std::cerr << "expected " << notes.size() << " notes, found " << store.count() << '\n';
        ++wrong;
      }
      for (auto const& [title, text] : notes) {
        std::string found;
        // get returns 0 when the key is absent.
        if (store.get(title, found) == 0) {
          std::cerr << "note \"" << title << "\" is missing\n";
          ++wrong;
          continue;
        }
        if (found != text) {
          std::cerr << "note \"" << title << "\" reads \"" << found << "\"\n";
          ++wrong;
        }
        std::cout << title << ": " << found << '\n';
      }
      std::string absent;
      if (store.get("holidays", absent) != 0) {
        std::cerr << "a note that was never written was found\n";
        ++wrong;
      }
    }
    return wrong == 0 ? 0 : 1;
  } catch (std::exception const& e) {
    // The library throws disk_tools::error, a std::runtime_error whose what()
    // is a short message.
    std::cerr << e.what() << '\n';
    return 1;
  }
}
