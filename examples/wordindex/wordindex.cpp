// A word index kept on disk: for every word, the list of places it occurs
// (word -> postings), how often it occurs, and the documents' titles and
// lines by number. The maps own what they hold: the caller hands them plain
// strings and numbers, a word's list (or a document's vector of lines) is
// made on first use, and erasing a key frees its list or vector with
// everything in it.
//
// The program indexes a few documents, closes the database, opens it again to
// answer queries and forget words, and checks every answer against the same
// index built in memory; it exits with status 1 on a wrong one, so running it
// is a test.
#include <cstdint>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <disk_tools/d_db.h>
#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_vector.h>

using namespace disk_tools;

namespace {

using postings_map = d_map<std::string, d_list<std::string>>;
using counts_map = d_map<std::string, std::uint64_t>;
using titles_map = d_hashmap<std::uint64_t, std::string>;
using lines_map = d_hashmap<std::uint64_t, d_vector<std::string>>;

struct document {
  std::uint64_t number;
  std::string title;
  std::vector<std::string> lines;
};

std::vector<document> const documents = {
    {1, "Weather", {"the rain in spring", "falls on the plain"}},
    {2, "Garden", {"spring brings the bees", "bees bring the honey"}},
    {3, "Kitchen", {"honey in the tea", "tea in the morning rain"}},
};

// The same index in memory, to check the database's answers against.
struct expected_index {
  std::map<std::string, std::vector<std::string>> postings;
  std::map<std::string, std::uint64_t> counts;
};

// Every word of every line, with where it stands ("2:1" is document 2, line 1).
template <class Visit>
void for_each_word(Visit visit) {
  for (auto const& doc : documents) {
    for (std::size_t line = 0; line < doc.lines.size(); ++line) {
      std::istringstream words(doc.lines[line]);
      for (std::string word; words >> word;) {
        visit(word, std::to_string(doc.number) + ":" + std::to_string(line + 1));
      }
    }
  }
}

int failures = 0;
void expect(bool ok, std::string const& what) {
  if (!ok) {
    std::cerr << "wrong: " << what << '\n';
    ++failures;
  }
}

std::vector<std::string> postings_of(postings_map& index, std::string const& word) {
  d_list<std::string> places;
  if (!index.get(word, places)) return {};
  return std::vector<std::string>(places.begin(), places.end());
}

}  // namespace

int main() {
  d_env env{};
  expected_index expected;
  try {
    if (!create_database("words", &env)) throw std::runtime_error("unable to create words.odb");
    {
      scoped_database db = open_database_scoped("words", &env);
      postings_map index("postings", &env);
      counts_map counts("counts", &env);
      titles_map titles("titles", &env);
      lines_map lines("lines", &env);
      // One transaction for the whole load: all of it, or none after a crash.
      d_transaction load(db.get());
      for (auto const& doc : documents) {
        titles.put(doc.number, doc.title);
        d_vector<std::string> text = lines[doc.number];
        for (auto const& line : doc.lines) text.push_back(line);
      }
      for_each_word([&](std::string const& word, std::string const& place) {
        index[word].push_back(place);
        counts[word] += 1;
        expected.postings[word].push_back(place);
        ++expected.counts[word];
      });
      load.commit();
    }  // the handle closes the database

    scoped_database db = open_database_scoped("words", &env);
    postings_map index("postings", &env, d_root::existing);
    counts_map counts("counts", &env, d_root::existing);
    titles_map titles("titles", &env, d_root::existing);
    lines_map lines("lines", &env, d_root::existing);

    expect(index.size() == expected.postings.size(), "number of words");
    for (auto const& [word, places] : expected.postings) {
      expect(postings_of(index, word) == places, "postings of " + word);
      expect(counts.count(word) == 1 && counts.at(word) == expected.counts[word],
             "count of " + word);
    }
    // The words from "b" up to, not including, "c", in order, as a prefix query.
    std::vector<std::string> words_b, model_b;
    for (auto const& entry : counts.range("b", "c")) words_b.push_back(entry.key);
    for (auto const& [word, count] : expected.counts) {
      if (word >= "b" && word < "c") model_b.push_back(word);
    }
    expect(words_b == model_b, "words from b to c");

    std::string title;
    expect(titles.get(2, title) && title == "Garden", "title of document 2");
    expect(!titles.get(9, title), "a document that was never indexed");

    // A place "3:2" reads its line by index; view() reads it in place, without a copy.
    d_vector<std::string> kitchen = lines[3];
    expect(kitchen.size() == 2 && kitchen.view(1) == documents[2].lines[1], "line 2 of document 3");
    expect(lines.erase(1) && !lines.contains(1) && lines.size() == 2, "erasing document 1's lines");

    // Forgetting a word frees its list; the other words keep theirs.
    expect(index.erase("the") && counts.erase("the"), "erasing \"the\"");
    expect(postings_of(index, "the").empty() && !counts.contains("the"), "\"the\" is gone");
    expect(postings_of(index, "honey") == expected.postings["honey"], "postings of honey after");

    // Words seen once go in one walk that erases as it goes, as a std::map
    // walk does; each word's list goes with it.
    for (auto it = counts.begin(); it != counts.end();) {
      if (it->value == 1) {
        index.erase(it->key);
        it = counts.erase(it);
      } else {
        ++it;
      }
    }
    std::vector<std::string> kept, model_kept;
    for (auto const& entry : index) kept.push_back(entry.key);
    for (auto const& [word, count] : expected.counts) {
      if (count > 1 && word != "the") model_kept.push_back(word);
    }
    expect(kept == model_kept && counts.size() == model_kept.size(), "words seen more than once");

    std::cout << index.size() << " words indexed; \"rain\" occurs at";
    for (auto const& place : postings_of(index, "rain")) std::cout << ' ' << place;
    std::cout << '\n';
  } catch (std::exception const& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
