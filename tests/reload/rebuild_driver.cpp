// Test driver: rebuilds and re-executes like the program does, so the tests can watch it.
//
//   reload_rebuild_driver SRC EXE [PENDING]
//
// Writes PENDING to standard output without flushing it, then calls Reload::reload(SRC, EXE).
// Exits with 42 when that call comes back.
#include <iostream>

#include "reload.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: reload_rebuild_driver SRC EXE [PENDING]\n";
    return 2;
  }
  if (argc > 3) std::cout << argv[3];
  Reload::reload(argv[1], argv[2]);
  return 42;
}
