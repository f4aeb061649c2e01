#include "damage_plan.h"

#include <algorithm>
#include <limits>
#include <random>
#include <set>

#include "coding.h"
#include "directory.h"

namespace test_support {

namespace {

using disk_tools::word_t;

std::vector<char> word_bytes(word_t value) {
  std::vector<char> w(disk_tools::word_size);
  disk_tools::encode_word(w.data(), value);
  return w;
}

std::vector<char> inverted(std::vector<char> const& bytes, std::size_t at, std::size_t n) {
  std::vector<char> out(bytes.begin() + static_cast<long>(at),
                        bytes.begin() + static_cast<long>(at + n));
  for (char& c : out) c = static_cast<char>(~static_cast<unsigned char>(c));
  return out;
}

// The little-endian value of the n bytes at `at`, plus one, in n bytes.
std::vector<char> incremented(std::vector<char> const& bytes, std::size_t at, std::size_t n) {
  std::vector<char> out(bytes.begin() + static_cast<long>(at),
                        bytes.begin() + static_cast<long>(at + n));
  for (char& c : out) {
    c = static_cast<char>(static_cast<unsigned char>(c) + 1);
    if (c != 0) break;
  }
  return out;
}

damage patch(std::string what, std::size_t at, std::vector<char> bytes) {
  damage d;
  d.what = std::move(what);
  d.patches.emplace_back(at, std::move(bytes));
  return d;
}

std::string at_text(std::size_t offset) {
  return " at " + std::to_string(offset);
}

}  // namespace

std::vector<char> damage::apply(std::vector<char> bytes) const {
  if (keep < bytes.size()) bytes.resize(keep);
  for (auto const& [at, with] : patches) {
    for (std::size_t i = 0; i < with.size() && at + i < bytes.size(); ++i) bytes[at + i] = with[i];
  }
  return bytes;
}

std::vector<damage> truncations(std::size_t file_size, std::size_t count) {
  auto const header = static_cast<std::size_t>(disk_tools::database_header_size);
  std::set<std::size_t> cuts = {0,
                                1,
                                7,
                                8,
                                15,
                                16,
                                17,
                                100,
                                header - 1,
                                header,
                                header + 1,
                                header + 33,
                                file_size - 33,
                                file_size - 8,
                                file_size - 1};
  for (std::size_t i = 1; i <= count; ++i)
    cuts.insert(header + (file_size - header) * i / (count + 1));
  std::vector<damage> out;
  for (std::size_t cut : cuts) {
    if (cut >= file_size) continue;
    damage d;
    d.what = "cut to " + std::to_string(cut) + " bytes";
    d.keep = cut;
    out.push_back(d);
  }
  return out;
}

std::vector<damage> byte_flips(std::vector<char> const& bytes, std::size_t count,
                               std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<damage> out;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t const at = rng() % bytes.size();
    out.push_back(patch("byte inverted" + at_text(at), at, inverted(bytes, at, 1)));
  }
  return out;
}

std::vector<damage> word_flips(std::vector<char> const& bytes, std::size_t count,
                               std::uint32_t seed) {
  auto const header = static_cast<std::size_t>(disk_tools::database_header_size);
  std::mt19937 rng(seed);
  std::vector<damage> out;
  std::size_t const words = (bytes.size() - header) / disk_tools::word_size;
  for (std::size_t i = 0; i < count; ++i) {
    // One in four anywhere, the others on a word boundary after the header
    // (where the records' words mostly lie).
    std::size_t const at = i % 4 == 3 ? rng() % (bytes.size() - disk_tools::word_size)
                                      : header + disk_tools::word_size * (rng() % words);
    out.push_back(
        patch("word inverted" + at_text(at), at, inverted(bytes, at, disk_tools::word_size)));
  }
  return out;
}

std::vector<damage> bad_values(std::vector<char> const& bytes,
                               std::vector<record_field> const& fields) {
  auto const size = static_cast<word_t>(bytes.size());
  std::vector<damage> out;
  for (auto const& f : fields) {
    std::string const where = f.kind + at_text(f.offset);
    out.push_back(patch(where + " inverted", f.offset, inverted(bytes, f.offset, f.width)));
    out.push_back(patch(where + " plus one", f.offset, incremented(bytes, f.offset, f.width)));
    if (f.width != disk_tools::word_size) {
      out.push_back(patch(where + " set to 0", f.offset, std::vector<char>(f.width, 0)));
      continue;
    }
    std::pair<char const*, word_t> const values[] = {
        {"-1", -1},
        {"0", 0},
        {"past the end", size + 40},
        {"far past the end", word_t{1} << 40},
        {"inside the header", 100},
        {"the largest word", std::numeric_limits<word_t>::max()}};
    for (auto const& [name, value] : values) {
      out.push_back(patch(where + " set to " + name, f.offset, word_bytes(value)));
    }
  }
  return out;
}

std::vector<damage> cycles(std::vector<record_field> const& fields) {
  std::vector<damage> out;
  for (auto const& f : fields) {
    if (f.own_record < 0) continue;
    std::string const where = f.kind + at_text(f.offset);
    out.push_back(patch(where + " aimed at its own record", f.offset, word_bytes(f.own_record)));
    if (f.first_record >= 0 && f.first_record != f.own_record) {
      out.push_back(
          patch(where + " aimed at the first of its chain", f.offset, word_bytes(f.first_record)));
    }
  }
  return out;
}

}  // namespace test_support
