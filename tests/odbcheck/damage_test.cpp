// Damages copies of real databases, made by the built showcase and mapdrill,
// in many deterministic ways (truncations, byte and word flips, bad values in
// every kind of record field, links bent into cycles) and runs odbcheck and
// the driver on each copy. Neither may crash, hang, take gigabytes or draw a
// sanitizer report; odbcheck answers 0, 1 or 2, and a driver succeeds or fails
// with a message and a status below 128. Each test prints its tally.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <random>
#include <set>

#include <disk_tools/coding.h>
#include <disk_tools/d_alloc_node.h>
#include <disk_tools/directory.h>
#include <disk_tools/hashmap_records.h>
#include <disk_tools/list_records.h>
#include <disk_tools/map_records.h>
#include <disk_tools/vector_header.h>
#include "harness.h"

namespace {

namespace dt = disk_tools;
using dt::no_address;
using dt::word_t;
using test_support::run_result;
constexpr std::size_t header = dt::database_header_size;
constexpr std::size_t word_size = dt::word_size;

struct record_field {
  std::string kind;  // e.g. "list node: next"
  std::size_t offset = 0;
  std::size_t width = 8;  // 1, 4 or 8 bytes
  // For a link, the record holding it and the first record of its chain (a
  // link aimed at either makes a cycle); -1 for other fields.
  word_t own_record = -1, first_record = -1;
};

// Where each kind of record field lies in a sound file made by the drivers:
// the allocator's heads and records, the root directory, and the containers
// under the root names the drivers use. Walks are bounded and every offset is
// checked, so a file that is not what it should be gives fewer fields.
class field_finder {
 public:
  explicit field_finder(std::vector<char> const& bytes)
      : bytes_(bytes), size_(static_cast<word_t>(bytes.size())) {
    if (size_ < dt::database_header_size) return;
    allocator_list("allocation list", dt::alloc_list_head);
    allocator_list("free list", dt::free_list_head);
    directory();
  }

  std::vector<record_field> fields;

 private:
  enum class element { text, number, inner_list };
  using words = std::initializer_list<std::pair<char const*, std::size_t>>;

  bool has(word_t at, word_t n) const { return at >= 0 && n >= 0 && at <= size_ - n; }
  word_t word(word_t at) const {
    return has(at, 8) ? dt::decode_word(&bytes_[static_cast<std::size_t>(at)]) : no_address;
  }
  void add(std::string kind, word_t at, std::size_t width = 8, word_t own = -1, word_t first = -1) {
    if (has(at, static_cast<word_t>(width)))
      fields.push_back({std::move(kind), static_cast<std::size_t>(at), width, own, first});
  }
  // Plain words at offsets of the record at `at`.
  void add(std::string const& prefix, word_t at, words offsets) {
    for (auto const& [name, offset] : offsets) add(prefix + name, at + static_cast<word_t>(offset));
  }
  // Visits each record of a chain once, until a link leaves the file or
  // reaches `stop`.
  template <class Visit>
  void walk(word_t first, std::size_t size, std::size_t next, Visit visit, word_t stop = -1) {
    std::set<word_t> seen;
    for (word_t at = first;
         at != stop && has(at, static_cast<word_t>(size)) && seen.insert(at).second;
         at = word(at + static_cast<word_t>(next)))
      visit(at);
  }

  void allocator_list(std::string const& name, word_t head) {
    using node = dt::d_alloc_node;
    add("allocator: " + name + " head", head);
    word_t const first = word(head);
    std::string const kind = name + " record: ";
    walk(first, node::record_size, node::next_offset, [&](word_t at) {
      add(kind, at,
          {{"own address", node::own_offset},
           {"data address", node::data_offset},
           {"size", node::size_offset}});
      add(kind + "next", at + node::next_offset, 8, at, first);
      add(kind + "free flag", at + node::free_offset, 1);
    });
  }

  void directory() {
    using dir = dt::directory_entry;
    bool free_seen = false;
    for (int i = 0; i < dir::entry_count; ++i) {
      word_t const entry = dir::address_of(i);
      auto const e = dir::decode(&bytes_[static_cast<std::size_t>(entry)]);
      if (e.is_free()) {
        if (!free_seen) add("directory: free entry's name", entry, 1);
        free_seen = true;
        continue;
      }
      word_t const slot = entry + static_cast<word_t>(dir::slot_offset);
      add("directory: name", entry, 1);
      add("directory: name's last byte", entry + static_cast<word_t>(dir::max_name_length), 1);
      add("directory: slot", slot);
      // The roots the drivers keep, by name.
      if (e.name == "the_list") list(slot, element::text);
      if (e.name == "ll") list(slot, element::inner_list);
      if (e.name == "htable") hash_map(slot);
      if (e.name == "str_vec") vector(slot);
      if (e.name == "var2") text_value("variable", word(slot));
      if (e.name == "bt") ordered_map(slot, true);
      if (e.name == "btree") ordered_map(slot, false);
    }
  }

  void text_value(std::string const& owner, word_t at) {
    if (at != no_address) add(owner + " text value: length", at);
  }

  void list(word_t handle, element kind) {
    using node = dt::list_node;
    using header = dt::list_header;
    if (!lists_.insert(handle).second) return;
    word_t const h = word(handle);
    if (!has(h, header::record_size)) return;
    add("list header: ", h,
        {{"sentinel", header::sentinel_offset}, {"count", header::count_offset}});
    word_t const s = word(h);
    if (!has(s, dt::list_sentinel::record_size)) return;
    add("list sentinel: ", s,
        {{"own address", node::own_offset},
         {"value", node::value_offset},
         {"count", dt::list_sentinel::count_offset}});
    add("list sentinel: next", s + node::next_offset, 8, s, s);
    add("list sentinel: prev", s + node::prev_offset, 8, s, s);
    word_t const first = word(s + node::next_offset);
    walk(
        first, node::record_size, node::next_offset,
        [&](word_t at) {
          add("list node: ", at,
              {{"own address", node::own_offset}, {"value", node::value_offset}});
          add("list node: next", at + node::next_offset, 8, at, first);
          add("list node: prev", at + node::prev_offset, 8, at, first);
          word_t const value = word(at + node::value_offset);
          if (kind == element::text) text_value("list element", value);
          if (kind == element::number) add("list element int value", value, 4);
          if (kind != element::inner_list) return;
          using inner = dt::inner_list_value;
          add("inner list value: ", value,
              {{"handle", inner::handle_offset}, {"count", inner::count_offset}});
          word_t const inner_handle = word(value + inner::handle_offset);
          add("inner list handle cell", inner_handle);
          list(inner_handle, element::number);
        },
        s);
  }

  void hash_map(word_t slot) {
    using header = dt::hashmap_header;
    using entry = dt::hashmap_entry;
    word_t const h = word(slot);
    if (!has(h, header::fixed_size)) return;
    add("hash map header: ", h,
        {{"count", header::count_offset}, {"buckets", header::buckets_offset}});
    word_t const buckets = word(h + header::buckets_offset);
    for (word_t b = 0; b < buckets && b < size_ / 8; ++b) {
      word_t const bucket = header::bucket_address(h, b);
      word_t const first = word(bucket);
      if (first == no_address) continue;
      add("hash map bucket", bucket);
      walk(first, entry::fixed_size, entry::next_offset, [&](word_t at) {
        add("hash map entry: next", at + entry::next_offset, 8, at, first);
        add("hash map entry: key length", at + entry::key_length_offset);
        add("hash map entry: key's first byte", at + entry::key_offset, 1);
        word_t const key_length = word(at + entry::key_length_offset);
        if (has(key_length, 0))
          add("hash map entry: value length", at + entry::key_offset + key_length);
      });
    }
  }

  void vector(word_t slot) {
    using header = dt::vector_header;
    word_t const h = word(slot);
    if (!has(h, header::fixed_size)) return;
    add("vector header: ", h,
        {{"capacity", header::capacity_offset}, {"count", header::count_offset}});
    word_t const count = word(h + header::count_offset);
    for (word_t i = 0; i < count && i < size_ / 8; ++i) {
      add("vector slot", header::slot_address(h, i));
      text_value("vector element", word(header::slot_address(h, i)));
    }
  }

  void ordered_map(word_t slot, bool text_pairs) {
    using header = dt::map_header;
    using node = dt::map_node_head;
    word_t const h = word(slot);
    if (!has(h, header::record_size)) return;
    add("map header: ", h,
        {{"size", header::size_offset},
         {"root", header::root_offset},
         {"chain head", header::chain_head_offset}});
    word_t const root = word(h + header::root_offset);
    word_t const chain_head = word(h + header::chain_head_offset);
    walk(chain_head, node::head_size, node::next_offset, [&](word_t at) {
      add("map node: left", at + node::left_offset, 8, at, root);
      add("map node: right", at + node::right_offset, 8, at, root);
      add("map node: parent", at + node::parent_offset, 8, at, root);
      add("map node: ", at, {{"count", node::count_offset}, {"own address", node::address_offset}});
      add("map node: next", at + node::next_offset, 8, at, chain_head);
      word_t const count = word(at + node::count_offset);
      for (word_t i = 0; i < count && i < node::max_pairs; ++i) {
        word_t const pair = at + static_cast<word_t>(node::head_size) + (text_pairs ? 16 : 8) * i;
        if (text_pairs) {
          add("map node: ", pair, {{"key slot", 0}, {"value slot", 8}});
          text_value("map key", word(pair));
          text_value("map value", word(pair + 8));
        } else {
          add("map node: unsigned key", pair, 4);
          add("map node: unsigned value", pair + 4, 4);
        }
      }
    });
  }

  std::vector<char> const& bytes_;
  word_t const size_;
  std::set<word_t> lists_;
};

// At most per_kind fields of each kind, spread over the kind's occurrences
// (the first, the last and evenly between), kinds in order of appearance.
std::vector<record_field> sample_fields(std::vector<char> const& bytes, std::size_t per_kind) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<record_field>> by_kind;
  for (auto const& f : field_finder(bytes).fields) {
    auto& of_kind = by_kind[f.kind];
    if (of_kind.empty()) order.push_back(f.kind);
    of_kind.push_back(f);
  }
  std::vector<record_field> picked;
  for (auto const& kind : order) {
    auto const& all = by_kind[kind];
    std::size_t const n = std::min(per_kind, all.size());
    std::set<std::size_t> at;
    for (std::size_t i = 0; i < n; ++i) at.insert(n == 1 ? 0 : i * (all.size() - 1) / (n - 1));
    for (std::size_t i : at) picked.push_back(all[i]);
  }
  return picked;
}

std::vector<char> word_bytes(word_t value) {
  std::vector<char> w(word_size);
  dt::encode_word(w.data(), value);
  return w;
}

// Sanitizer builds exit with these statuses when they report, so that a report
// cannot pass for a clean failure.
constexpr int asan_status = 86;
constexpr int ubsan_status = 87;
// The sound runs need a few tens of megabytes, sanitizers included.
constexpr long memory_limit_kb = 512 * 1024;

struct driver {
  std::string name, program, database;  // the file is database + ".odb"
  int runs;                             // normal runs that build the sound file
  // Random flips, half of bytes and half of words. A mapdrill file is mostly
  // nodes full of number pairs, and each of its runs takes half a second.
  int flips;
};
void PrintTo(driver const& d, std::ostream* out) {
  *out << d.name;
}

class DamageTest : public ::testing::TestWithParam<driver> {
 protected:
  static void SetUpTestSuite() {
    std::string const ubsan =
        "halt_on_error=1:print_stacktrace=1:exitcode=" + std::to_string(ubsan_status);
    ::setenv("UBSAN_OPTIONS", ubsan.c_str(), 1);
    ::setenv("ASAN_OPTIONS",
             ("exitcode=" + std::to_string(asan_status) + ":detect_leaks=1").c_str(), 1);
  }

  void SetUp() override {
    ASSERT_EQ(run(base_, {"-init"}).status, 0);
    for (int i = 0; i < GetParam().runs; ++i) ASSERT_EQ(run(base_, {}).status, 0);
    sound_ = test_support::read_file(base_.file(GetParam().database + ".odb"));
    ASSERT_GT(sound_.size(), header);
    ASSERT_EQ(odbcheck(base_).status, 0);
    tried_files_.insert(std::to_string(sound_.size()));
  }

  run_result run(test_support::scratch_dir const& dir, std::vector<std::string> args) {
    args.insert(args.begin(), GetParam().program);
    return test_support::run_program(args, dir.path(), "", 60);
  }
  run_result odbcheck(test_support::scratch_dir const& dir) {
    return test_support::run_program({ODBCHECK_PATH, GetParam().database}, dir.path(), "", 30);
  }

  void fault(std::string const& text) {
    if (++faults_ <= 20) ADD_FAILURE() << text;  // quoted in full, then only counted
  }

  void check_run(std::string const& who, run_result const& r, bool clean) {
    if (!clean || r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos)
      fault(who + ": status " + std::to_string(r.status) + "\n" + r.err.substr(0, 2000));
  }

  // Runs odbcheck and then the driver on a copy with `with` written at `at`
  // and cut to `keep` bytes, unless that copy was tried already (or is the
  // sound file: a value written over itself).
  void try_one(std::string const& what, std::size_t at, std::vector<char> const& with,
               std::size_t keep = std::numeric_limits<std::size_t>::max()) {
    std::vector<char> bytes = sound_;
    std::copy(with.begin(), with.end(), bytes.begin() + static_cast<long>(at));
    bytes.resize(std::min(keep, bytes.size()));
    // What sets the copy apart from the sound file: its length and the bytes it changes.
    std::string key = std::to_string(bytes.size());
    for (std::size_t i = at; i < std::min(at + with.size(), bytes.size()); ++i)
      if (bytes[i] != sound_[i]) key += " " + std::to_string(i) + "=" + std::to_string(bytes[i]);
    if (!tried_files_.insert(key).second) {
      ++repeats_;
      return;
    }
    std::string const file = work_.file(GetParam().database + ".odb");
    test_support::write_file(file, bytes);
    ++tried_;
    std::string const on = " on the file with " + what;

    run_result const check = odbcheck(work_);
    check_run("odbcheck" + on, check, check.status >= 0 && check.status <= 2);
    if (check.status == 1 || check.status == 2) ++reported_;
    if (test_support::read_file(file) != bytes) fault("odbcheck changed the file with " + what);

    run_result const r = run(work_, {});
    bool const clean_failure = r.status > 0 && r.status < 128 && r.status != asan_status &&
                               r.status != ubsan_status && !r.err.empty();
    check_run(GetParam().name + on, r, r.status == 0 || clean_failure);
    if (r.status == 0) ++succeeded_;
    if (!clean_failure) return;
    ++failed_cleanly_;
    // Refused before the database was touched: the file must be as it was.
    bool const refused_at_open = r.err.find("not a database file...") != std::string::npos ||
                                 r.err.find("unable to open alloc file...") != std::string::npos;
    if (refused_at_open && test_support::read_file(file) != bytes)
      fault(GetParam().name + " refused the file with " + what + " but changed it");
  }

  // The tally, and what every family must meet.
  void TearDown() override {
    std::cout << "damage tally: " << ::testing::UnitTest::GetInstance()->current_test_info()->name()
              << ": " << tried_ << " damaged files, odbcheck reported " << reported_
              << ", the driver failed cleanly on " << failed_cleanly_ << " and succeeded on "
              << succeeded_ << ", faults " << faults_ << "; " << repeats_ << " repeats not run"
              << std::endl;
    EXPECT_EQ(faults_, 0);
    EXPECT_GT(tried_, 0);
    rusage usage{};  // the largest resident size of any run
    ::getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LE(usage.ru_maxrss, memory_limit_kb);
  }

  std::vector<char> inverted(std::size_t at, std::size_t n) const {
    std::vector<char> out(sound_.begin() + static_cast<long>(at),
                          sound_.begin() + static_cast<long>(at + n));
    for (char& c : out) c = static_cast<char>(~c);
    return out;
  }

  bool showcase() const { return GetParam().name == "showcase"; }

  test_support::scratch_dir base_, work_;
  std::vector<char> sound_;
  std::set<std::string> tried_files_;
  int tried_ = 0, repeats_ = 0, reported_ = 0, failed_cleanly_ = 0, succeeded_ = 0, faults_ = 0;
};

TEST_P(DamageTest, Truncations) {
  // Cuts at the edges of the header and the allocator's heads, and at 24
  // points spread over the blocks area.
  std::size_t const size = sound_.size();
  std::set<std::size_t> cuts = {0,          1,           7,         8,          15,
                                16,         17,          100,       header - 1, header,
                                header + 1, header + 33, size - 33, size - 8,   size - 1};
  for (std::size_t i = 1; i <= 24; ++i) cuts.insert(header + (size - header) * i / 25);
  for (std::size_t cut : cuts)
    if (cut < size) try_one("cut to " + std::to_string(cut) + " bytes", 0, {}, cut);
  // Every cut loses at least a record's tail or the header: odbcheck must see it.
  EXPECT_EQ(reported_, tried_);
}

TEST_P(DamageTest, ByteAndWordFlips) {
  std::mt19937 rng(20240601);
  std::size_t const words = (sound_.size() - header) / word_size;
  for (int i = 0; i < GetParam().flips; ++i) {
    // Bytes anywhere; words on a word boundary of the blocks area, one in four
    // anywhere.
    std::size_t const width = i % 2 == 0 ? 1 : word_size;
    std::size_t const at = width == 1 || i % 8 == 7 ? rng() % (sound_.size() - width + 1)
                                                    : header + word_size * (rng() % words);
    std::string const what = width == 1 ? "byte" : "word";
    try_one(what + " inverted at " + std::to_string(at), at, inverted(at, width));
  }
}

TEST_P(DamageTest, BadValuesInEveryFieldKind) {
  // Every field inverted and one more; a narrow field set to 0; a word set to
  // -1, 0, past the end, far past it, inside the header and the largest word.
  auto const picked = sample_fields(sound_, 2);
  EXPECT_GE(picked.size(), showcase() ? 50u : 15u);  // every record kind the drivers write
  std::pair<char const*, word_t> const values[] = {
      {"-1", -1},
      {"0", 0},
      {"past the end", static_cast<word_t>(sound_.size()) + 40},
      {"far past the end", word_t{1} << 40},
      {"inside the header", 100},
      {"the largest word", std::numeric_limits<word_t>::max()}};
  for (auto const& f : picked) {
    std::string const where = f.kind + " at " + std::to_string(f.offset);
    std::vector<char> plus_one(sound_.begin() + static_cast<long>(f.offset),
                               sound_.begin() + static_cast<long>(f.offset + f.width));
    for (char& c : plus_one) {  // little-endian, with carry
      c = static_cast<char>(static_cast<unsigned char>(c) + 1);
      if (c != 0) break;
    }
    try_one(where + " inverted", f.offset, inverted(f.offset, f.width));
    try_one(where + " plus one", f.offset, plus_one);
    if (f.width != word_size) try_one(where + " set to 0", f.offset, std::vector<char>(f.width));
    for (auto const& [name, value] : values)
      if (f.width == word_size) try_one(where + " set to " + name, f.offset, word_bytes(value));
  }
}

TEST_P(DamageTest, LinksBentIntoCycles) {
  // Every link aimed at its own record and at the first record of its chain.
  for (auto const& f : sample_fields(sound_, 3)) {
    if (f.own_record < 0) continue;
    std::string const where = f.kind + " at " + std::to_string(f.offset);
    try_one(where + " aimed at its own record", f.offset, word_bytes(f.own_record));
    if (f.first_record >= 0 && f.first_record != f.own_record)
      try_one(where + " aimed at the first of its chain", f.offset, word_bytes(f.first_record));
  }
  EXPECT_GE(tried_, showcase() ? 20 : 8);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DamageTest,
                         ::testing::Values(driver{"showcase", SHOWCASE_PATH, "test", 3, 240},
                                           driver{"mapdrill", MAPDRILL_PATH, "int", 1, 80}),
                         [](auto const& info) { return info.param.name; });

}  // namespace
