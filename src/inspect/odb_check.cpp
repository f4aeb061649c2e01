#include "disk_tools/odb_check.h"

#include <algorithm>
#include <map>
#include <set>

#include "disk_tools/detail/bfstream.h"
#include "disk_tools/detail/d_alloc_node.h"
#include "disk_tools/detail/directory.h"
#include "inspect/live_blocks.h"
#include "inspect/odb_image.h"

namespace disk_tools {

namespace {

constexpr auto record_size = static_cast<word_t>(d_alloc_node::record_size);

class file_checker {
 public:
  explicit file_checker(io_tools::bfstream& s) : s_(s), size_(s.size()) {}

  database_check run() {
    if (size_ < database_header_size) {
      problem("the file is " + std::to_string(size_) + " bytes, shorter than the " +
              std::to_string(database_header_size) + "-byte header");
      return {false, problems_, {}};
    }
    bool const heads_plausible = plausible_head(alloc_list_head) && plausible_head(free_list_head);
    int const unterminated = check_directory();
    auto const used = walk("allocation list", alloc_list_head, false);
    auto const freed = walk("free list", free_list_head, true);
    for (auto const& r : freed) {
      if (in_use_records_.count(r.own)) {
        problem("record " + std::to_string(r.own) + " is in both lists");
      }
    }
    check_overlaps(used, freed);
    // A damaged database keeps most of its directory; a file of some other
    // kind has names running on through most entries.
    bool const directory_plausible = unterminated <= directory_entry::entry_count / 2;
    return {heads_plausible && directory_plausible, problems_, {}};
  }

 private:
  void problem(std::string text) { problems_.push_back(std::move(text)); }

  bool inside(word_t address, word_t length) const {
    return address >= database_header_size && length >= 0 && address <= size_ - length;
  }

  // The same rule open_database applies: empty, or a record inside the blocks.
  bool plausible_head(word_t head_word) const {
    word_t const head = s_.read_word(head_word);
    return head == no_address || inside(head, record_size);
  }

  // Reports each damaged entry and returns how many names lack their
  // terminating 0 byte.
  int check_directory() {
    int unterminated = 0;
    std::vector<char> dir(directory_entry::entry_size * directory_entry::entry_count);
    s_.read_at(directory_entry::directory_offset, dir.data(), dir.size());
    for (int i = 0; i < directory_entry::entry_count; ++i) {
      char const* e = &dir[directory_entry::entry_size * static_cast<std::size_t>(i)];
      std::string const where = "directory entry " + std::to_string(i);
      if (std::find(e, e + directory_entry::name_size, '\0') == e + directory_entry::name_size) {
        problem(where + ": the name has no terminating 0 byte");
        ++unterminated;
      }
      word_t const slot = decode_word(e + directory_entry::slot_offset);
      if (slot != no_address && !inside(slot, 0)) {
        problem(where + ": the slot holds " + std::to_string(slot) + ", outside the blocks");
      }
      if (e[0] == '\0' && slot != no_address) {
        problem(where + ": a free entry whose slot holds " + std::to_string(slot));
      }
      if (directory_entry::decode(e).kind_status == kind_record::status::damaged) {
        problem(where + ": the bytes after the name are no kind record");
      }
    }
    return unterminated;
  }

  // Walks one list from its head word, reporting what is wrong with each
  // record, and returns the records that could be read.
  std::vector<d_alloc_node> walk(std::string const& list, word_t head_word, bool free_list) {
    std::vector<d_alloc_node> out;
    std::set<word_t> seen;
    word_t at = s_.read_word(head_word);
    word_t previous_size = -1;
    while (at != no_address) {
      std::string const where = list + ": record at " + std::to_string(at);
      if (!inside(at, record_size)) {
        problem(where + " lies outside the blocks of the file");
        break;
      }
      if (!seen.insert(at).second) {
        problem(where + " is reached twice: the list has a cycle");
        break;
      }
      char buf[d_alloc_node::record_size];
      s_.read_at(at, buf, sizeof buf);
      d_alloc_node r = d_alloc_node::decode(buf);
      if (r.own != at) problem(where + " gives its own address as " + std::to_string(r.own));
      // From here on the record is where it was found, whatever it claims.
      r.own = at;
      if (r.free != free_list) {
        problem(where + (free_list ? " is not marked free" : " is marked free"));
      }
      bool const emptied = r.data == no_address && r.size == 0;
      if (!emptied && !inside(r.data, r.size)) {
        problem(where + " describes " + std::to_string(r.size) + " bytes at " +
                std::to_string(r.data) + ", outside the file");
      } else if (emptied && !free_list) {
        problem(where + " is an emptied record in use");
      } else {
        out.push_back(r);
      }
      if (!free_list) {
        if (r.size < previous_size) {
          problem(where + " (size " + std::to_string(r.size) + ") breaks the ascending size order");
        }
        previous_size = r.size;
        in_use_records_.insert(at);
      }
      if (r.next < no_address) {
        problem(where + " links to " + std::to_string(r.next));
        break;
      }
      at = r.next;
    }
    return out;
  }

  // Blocks must not overlap each other or any record.
  void check_overlaps(std::vector<d_alloc_node> const& used,
                      std::vector<d_alloc_node> const& freed) {
    struct span {
      word_t begin, end;
      std::string what;
    };
    std::vector<span> spans;
    auto add_list = [&](std::vector<d_alloc_node> const& list, char const* kind) {
      for (auto const& r : list) {
        spans.push_back({r.own, r.own + record_size, "record " + std::to_string(r.own)});
        if (r.data != no_address && r.size > 0) {
          spans.push_back(
              {r.data, r.data + r.size, std::string(kind) + " block at " + std::to_string(r.data)});
        }
      }
    };
    add_list(used, "used");
    add_list(freed, "free");
    std::sort(spans.begin(), spans.end(),
              [](span const& a, span const& b) { return a.begin < b.begin; });
    word_t reach = -1;
    std::string const* reacher = nullptr;
    for (auto const& sp : spans) {
      if (reacher && sp.begin < reach) problem(sp.what + " overlaps " + *reacher);
      if (sp.end > reach) {
        reach = sp.end;
        reacher = &sp.what;
      }
    }
  }

  io_tools::bfstream& s_;
  word_t const size_;
  std::set<word_t> in_use_records_;
  std::vector<std::string> problems_;
};

// Blocks in use that no root owns hold space that nothing reaches again (a
// compaction, which copies what the roots own, gives it back): told only
// when every root could be walked.
std::string unowned_space(root_survey survey) {
  if (survey.unwalked > 0 || !survey.damaged.empty()) return "";
  live_blocks& live = survey.live;
  for (owned_block const& b : live.blocks) live.size_of.erase(b.address);
  if (live.size_of.empty()) return "";
  long long bytes = 0;
  for (auto const& block : live.size_of) bytes += block.second;
  return std::to_string(live.size_of.size()) + " blocks in use (" + std::to_string(bytes) +
         " bytes) that no root owns: space lost until the database is compacted";
}

}  // namespace

database_check check_database(std::string const& path) {
  // The file as the next opening will find it: a journal left by a program
  // that died is played back in memory first, so that a transaction cut short
  // is not mistaken for damage (nor a damaged file for a sound one).
  database_image image = read_database_image(path);
  io_tools::bfstream s;
  s.open_bytes(std::move(image.bytes), path);
  database_check result = file_checker(s).run();
  if (result.problems.empty()) {
    // The roots that record their kind are walked block by block, so that
    // damage inside a container is found, not only in the allocator's lists.
    root_survey survey = survey_roots(s);
    result.problems = survey.damaged;
    // A root this code cannot walk is not checked past the allocator's
    // lists: say so rather than let "no problems found" cover it.
    result.notes = survey.unknown;
    result.notes.insert(result.notes.end(), survey.held_twice.begin(), survey.held_twice.end());
    std::string const lost = unowned_space(std::move(survey));
    if (!lost.empty()) result.notes.push_back(lost);
  }
  if (!image.journal_note().empty()) result.notes.push_back(image.journal_note());
  if (image.changed_while_read) {
    result.notes.push_back("the file changed while it was read: a program is writing it, and "
                           "what was checked may be of no single moment");
  }
  return result;
}

std::vector<std::string> check_database_file(std::string const& path) {
  return check_database(path).problems;
}

}  // namespace disk_tools
