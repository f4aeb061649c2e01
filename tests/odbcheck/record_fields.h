// Finds where every kind of record field lies in a sound database file made by
// the drivers, so that a test can damage each kind on purpose: the allocator's
// heads and records, the root directory, and the records of the containers
// kept under the root names the drivers use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

struct record_field {
  // What the field is, e.g. "list node: next".
  std::string kind;
  std::size_t offset = 0;
  // 1, 4 or 8 bytes.
  std::size_t width = 8;
  // For a link: the address of the record holding it and of the first record
  // of the chain it belongs to; a link aimed at either makes a cycle. -1 when
  // the field is no link.
  std::int64_t own_record = -1;
  std::int64_t first_record = -1;
};

// The fields of every record reachable in bytes, in file-walk order. Walks are
// bounded and every offset is checked, so a file that is not what it should
// be gives fewer fields, never a crash.
std::vector<record_field> locate_fields(std::vector<char> const& bytes);

// At most per_kind fields of each kind, spread over the kind's occurrences
// (the first, the last and evenly between), in the order of their kinds'
// first appearance.
std::vector<record_field> sample_fields(std::vector<record_field> const& fields,
                                        std::size_t per_kind);

}  // namespace test_support
