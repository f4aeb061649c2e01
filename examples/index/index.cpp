// A persistent index: order numbers to the position of each order's record in
// some other file, kept in the ordered map of disk_tools.
//
// One run builds the index from orders that arrive in no particular order and
// closes the database; a later run (here: the same program, after reopening)
// answers look-ups straight from the file and corrects an entry. The program
// checks every answer and exits with status 1 on a wrong one, so running it
// is a test.
#include <algorithm>
#include <iostream>
#include <random>
#include <stdexcept>
#include <vector>

#include <disk_tools/d_db.h>
#include <disk_tools/d_map.h>

using namespace disk_tools;

// Keys, values and the map's plain value type are all unsigned.
using order_index = d_map<unsigned, unsigned, unsigned>;

namespace {

constexpr unsigned order_count = 2000;

// Where the record of an order lies: orders are 64-byte records, numbered from
// 1000 on.
unsigned position_of(unsigned order) {
  return (order - 1000) * 64;
}

}  // namespace

int main() {
  d_env env{};
  p_d_env = &env;

  // The orders, shuffled: an index is rarely filled in key order.
  std::vector<unsigned> orders;
  for (unsigned i = 0; i < order_count; ++i) orders.push_back(1000 + i);
  std::shuffle(orders.begin(), orders.end(), std::mt19937(42));

  try {
    if (!create_database("orders", &env)) throw std::runtime_error("unable to create orders.odb...");

    d_database* db = open_database("orders", &env);
    {
      order_index index("by_order", &env);
      for (unsigned order : orders) index.insert(order, position_of(order));
    }  // each insert was in the file when it returned: the object has nothing to write back
    close_database(db);

    db = open_database("orders", &env);
    int wrong = 0;
    {
      order_index index("by_order", &env);
      for (unsigned order : orders) {
        unsigned position = 0;
        if (!index.get(order, position) || position != position_of(order)) {
          std::cerr << "order " << order << ": wrong or missing position\n";
          ++wrong;
        }
      }
      // Numbers outside the range were never indexed.
      unsigned ignored = 0;
      if (index.get(999, ignored) || index.get(1000 + order_count, ignored)) {
        std::cerr << "an order that was never indexed was found\n";
        ++wrong;
      }
      // A record moved: update changes a present key only.
      if (!index.update(1500, 7)) {
        std::cerr << "order 1500 could not be updated\n";
        ++wrong;
      }
    }
    close_database(db);

    db = open_database("orders", &env);
    {
      order_index index("by_order", &env);
      unsigned position = 0;
      if (!index.get(1500, position) || position != 7) {
        std::cerr << "the update of order 1500 was lost\n";
        ++wrong;
      }
    }
    close_database(db);

    std::cout << order_count << " orders indexed and found again; " << wrong << " wrong\n";
    return wrong == 0 ? 0 : 1;
  } catch (std::exception const& e) {
    // The library throws disk_tools::error, a std::runtime_error whose what()
    // is a short message.
    std::cerr << e.what() << '\n';
    return 1;
  }
}
