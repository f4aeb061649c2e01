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
#include <utility>
#include <vector>

#include "data_file.h"

namespace {

const char* const kSourceFile = "reload.cpp";
const char* const kDataHeader = "data.h";

// Pairs this process appended to the data header but could not bring into a new build, in the
// order they were appended.
using PairList = std::vector<std::pair<std::string, std::string>>;

// The value of the first pair whose key equals `key` byte for byte, or null. `table` holds key,
// value, key, value ... and ends with a null slot where a key would be; `unbuilt` follows it,
// just as its lines follow the table's in the data header, so the next build gives the same
// answer.
const char* find_value(const char* const* table, const PairList& unbuilt, const std::string& key) {
  for (int i = 0; table[i] != nullptr; i += 2) {
    if (key.compare(table[i]) == 0) return table[i + 1];
  }
  for (const auto& pair : unbuilt) {
    if (pair.first == key) return pair.second.c_str();
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
  std::string prog;  // name the program was started by: the rebuild writes and starts the file
                     // it names (looked up on the search path when it has no slash)
  std::string src;   // the source file the rebuild compiles
};

void ReloadTest::run() {
  std::string key;
  std::string data;
  PairList unbuilt;
  for (;;) {
    // Fixed when the program is compiled: a new pair reaches it only through a rebuild.
    const char* const array[] = {
#include "data.h"
        nullptr};

    std::cout << "key: " << std::flush;
    if (!(std::cin >> key)) break;

    if (const char* value = find_value(array, unbuilt, key)) {
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
    // Still here: the build failed or could not be started. The pair is in the data header, so
    // the next build that succeeds holds it; until then this process answers it from memory
    // rather than ask for it again and append a second, never-found copy.
    unbuilt.emplace_back(key, data);
  }
  // End of input: finish the prompt's line and stop, rather than ask forever.
  std::cout << std::endl;
}

#ifndef ODB_VERSION
// The build system passes the project's version. The rebuild at run time compiles this file with
// no flags, and its build is still this version.
#define ODB_VERSION "1.1.0"
#endif

namespace {

const char* const kUsage =
    "usage: reload\n"
    "An interactive key/value lookup. A key in the table prints its value; a new key is asked\n"
    "for a value, the pair is appended to data.h, and the program rebuilds itself from\n"
    "reload.cpp and restarts. Start it from a folder holding reload.cpp, reload.h,\n"
    "data_file.h and data.h. End of input ends it.\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

// Answers --help, --version and an unknown option, and gives the status to exit with; -1 when
// the program is to run. Nothing else happens first: a run may rebuild the program. Words that
// are not options are ignored, as they always were.
int answer_command_line(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "reload " << ODB_VERSION << '\n';
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << "reload: unknown option '" << arg << "' (see reload --help)" << std::endl;
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char* argv[], char* /*envp*/[]) {
  const int status = answer_command_line(argc, argv);
  if (status >= 0) return status;

  // std::cin reads through C's stdin (the standard streams are synchronized with stdio unless
  // told otherwise). Unbuffered, each read takes from standard input only the bytes of the
  // words it returns and the one white-space byte that ends the last, so input typed ahead or
  // waiting in a pipe is still there for the new build after the process has been replaced.
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  ReloadTest test(argv[0] != nullptr ? argv[0] : "", kSourceFile);
  test.run();
  return 0;
}
