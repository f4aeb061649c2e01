// odbcheck NAME: checks the database file NAME.odb and prints every problem
// found, one line each. Exit status: 0 sound, 1 problems found, 2 the file
// could not be read.
#include <iostream>

#include <disk_tools/odb_check.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: odbcheck NAME (checks NAME.odb)" << std::endl;
    return 2;
  }
  std::string const path = std::string(argv[1]) + ".odb";
  try {
    auto const problems = disk_tools::check_database_file(path);
    for (auto const& p : problems) std::cout << path << ": " << p << '\n';
    if (problems.empty()) std::cout << path << ": no problems found\n";
    std::cout.flush();
    return problems.empty() ? 0 : 1;
  } catch (char const* message) {
    std::cerr << path << ": " << message << std::endl;
  } catch (std::exception const& e) {
    std::cerr << path << ": " << e.what() << std::endl;
  }
  return 2;
}
