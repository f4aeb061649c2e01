// reload: an interactive key/value lookup whose table is compiled in from data.h.
//
// A key that is in the table prints its value. A key that is not is asked for a value; the
// pair is appended to data.h, the program rebuilds itself from this file with the system
// compiler and replaces its own process with the new build, whose table holds the new pair.
//
// Start it from the folder that holds this file and data.h: both are named relative to the
// working directory. Keys and values are words: white space ends them.
#include "reload.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "data_file.h"

namespace {

const char* const kSourceFile = "reload.cpp";
const char* const kDataHeader = "data.h";

// The value of the first pair in `table` whose key equals `key` byte for byte, or null.
// `table` holds key, value, key, value ... and ends with a null slot where a key would be.
const char* find_value(const char* const* table, const std::string& key) {
  for (int i = 0; table[i] != nullptr; i += 2) {
    if (key.compare(table[i]) == 0) return table[i + 1];
  }
  return nullptr;
}

}  // namespace

class ReloadTest {
 public:
  ReloadTest(const std::string& prog, const std::string& src) : prog(prog), src(src) {}

  // The interactive loop. Comes back only at the end of standard input (or when it cannot be
  // read any more); otherwise it ends by the process being replaced or stopped.
  void run();

 private:
  std::string prog;  // path of the running executable as started: the rebuild's output
  std::string src;   // the source file the rebuild compiles
};

void ReloadTest::run() {
  std::string key;
  std::string data;
  for (;;) {
    // Fixed when the program is compiled: a new pair reaches it only through a rebuild.
    const char* const array[] = {
#include "data.h"
        nullptr};

    std::cout << "key: " << std::flush;
    if (!(std::cin >> key)) break;

    if (const char* value = find_value(array, key)) {
      std::cout << "found data: " << value << std::endl;
      continue;
    }

    std::cout << "data: " << std::flush;
    if (!(std::cin >> data)) break;

    if (!ReloadData::storable(key) || !ReloadData::storable(data)) {
      std::cerr << "a key or value with a NUL byte cannot be stored" << std::endl;
      continue;
    }
    if (!ReloadData::append_pair(kDataHeader, key, data)) continue;  // silently: no rebuild

    Reload::reload(src, prog);
    // Still here: the new build could not be started. The pair is in the data header but not
    // in this table, so the loop goes on with the old one.
  }
  // End of input: finish the prompt's line and stop, rather than ask forever.
  std::cout << std::endl;
}

int main(int /*argc*/, char* argv[], char* /*envp*/[]) {
  // Unbuffered, each read takes from standard input only the bytes of the words it returns
  // (and the one white-space byte after), so input already waiting in a pipe is still there
  // for the new build after the process has been replaced.
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  ReloadTest test(argv[0] != nullptr ? argv[0] : "", kSourceFile);
  test.run();
  return 0;
}
