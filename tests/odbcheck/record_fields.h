// Where each kind of record field lies in a sound file made by the drivers:
// the allocator's heads and records, the root directory, and the containers
// under the root names the drivers use. Walks are bounded and every offset is
// checked, so a file that is not what it should be gives fewer fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

struct record_field {
  std::string kind;  // e.g. "list node: next"
  std::size_t offset = 0;
  std::size_t width = 8;  // 1, 4 or 8 bytes
  // For a link, the record holding it and the first record of its chain (a
  // link aimed at either makes a cycle); -1 for other fields.
  std::int64_t own_record = -1;
  std::int64_t first_record = -1;
};

// At most per_kind fields of each kind, spread over the kind's occurrences
// (the first, the last and evenly between), kinds in order of appearance.
std::vector<record_field> sample_fields(std::vector<char> const& bytes, std::size_t per_kind);

}  // namespace test_support
