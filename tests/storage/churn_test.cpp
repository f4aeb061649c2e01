// Long runs of replacing values and of erasing and re-adding keys: once the
// file holds about the peak of live data it stops growing (freed blocks are
// split, merged and reused; a close cuts off the free end of the file).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <disk_tools/d_hashmap.h>
#include <disk_tools/d_list.h>
#include <disk_tools/d_map.h>
#include <disk_tools/d_transaction.h>
#include <disk_tools/d_var.h>
#include <disk_tools/d_vector.h>
#include "harness.h"

using namespace disk_tools;

namespace {

std::string random_text(std::mt19937& rng, unsigned longest) {
  return std::string(1 + rng() % longest, static_cast<char>('a' + rng() % 26));
}

// A database with the journal off (the runs are long; what is measured is the
// same in every mode), and its length after each close.
class ChurnTest : public test_support::database_test {
 protected:
  ChurnTest() : database_test(test_support::memory_dir, d_open_options{d_journal::off}) {}
  std::int64_t closed_length() {
    close();
    std::int64_t const n = test_support::file_size(path());
    open();
    return n;
  }
};

// Each round replaces much of a container's contents; after the first rounds
// the file holds the peak and the later rounds reuse it.
struct churn_case { char const* name; std::function<void(d_env&, std::mt19937&)> round; };

std::vector<churn_case> const churn_cases = {
    {"variable: assigned texts of every length",
     [](d_env& env, std::mt19937& rng) {
       d_var<std::string> v("v", &env);
       for (int i = 0; i < 1000; ++i) v = random_text(rng, 100);
     }},
    {"list: half the elements erased, as many pushed",
     [](d_env& env, std::mt19937& rng) {
       d_list<std::string> l("list", &env);
       while (l.count() < 2000) l.push_back(random_text(rng, 120));
       for (auto it = l.begin(); it != l.end();) {
         if (rng() % 2) {
           l.erase(it);
         } else {
           ++it;
         }
       }
     }},
    {"vector: every element rewritten, the last quarter popped",
     [](d_env& env, std::mt19937& rng) {
       d_vector<std::string> v("vector", 16, &env);
       while (v.count() < 2000) v.push_back(random_text(rng, 120));
       for (long i = 0; i < v.count(); ++i) v[i] = random_text(rng, 120);
       for (int i = 0; i < 500; ++i) v.pop_back();
     }},
    {"ordered map: a random third of the keys erased and put back",
     [](d_env& env, std::mt19937& rng) {
       d_map<unsigned, unsigned, unsigned> m("map", &env);
       for (unsigned k = 0; k < 6000; ++k) m.put(k, k);
       for (unsigned k = 0; k < 6000; ++k) {
         if (rng() % 3 == 0) m.erase(k);
       }
     }},
    {"hash map: keys erased and others added",
     [](d_env& env, std::mt19937& rng) {
       d_hashmap<std::string, std::string> h("hash", 1024, &env);
       for (int i = 0; i < 2000; ++i) {
         std::string const key = "k" + std::to_string(rng() % 3000);
         if (rng() % 2) {
           h.erase(key);
         } else {
           h.put(key, random_text(rng, 120));
         }
       }
     }},
};

TEST_F(ChurnTest, RoundsOfReplacingSettleAtThePeakOfLiveData) {
  for (churn_case const& c : churn_cases) {
    SCOPED_TRACE(c.name);
    afresh();
    std::mt19937 rng(3);
    for (int round = 0; round < 8; ++round) c.round(env_, rng);
    std::int64_t const settled = closed_length();
    for (int round = 0; round < 20; ++round) c.round(env_, rng);
    EXPECT_LE(closed_length(), settled + settled / 10);
  }
}

// Each round a session of its own in each journal mode, with a list of lists and a map of lists
// among the rounds: the file settles as above, and each close leaves every block in use owned
// by a root (the kinds are recorded, so the check walks them all).
TEST_F(ChurnTest, SessionsInEachModeSettleAndLeaveNoBlockUnowned) {
  std::vector<churn_case> cases = churn_cases;
  cases.push_back({"list of lists: inner lists erased and made again",
                   [](d_env& env, std::mt19937& rng) {
                     d_list<d_list<std::string>> ll("ll", &env);
                     while (ll.count() < 60) {
                       d_list<std::string> inner(&env);
                       for (int i = 0; i < 4; ++i) inner.push_back(random_text(rng, 40));
                       ll.push_back(inner);
                     }
                     for (auto it = ll.begin(); it != ll.end();) {
                       if (rng() % 2) {
                         ll.erase(it);
                       } else {
                         ++it;
                       }
                     }
                   }});
  cases.push_back({"map of lists: entries with long keys erased and made again",
                   [](d_env& env, std::mt19937& rng) {
                     d_map<std::string, d_list<std::string>> m("ml", &env);
                     for (int i = 0; i < 300; ++i) {
                       std::string const key = std::string(30, 'k') + std::to_string(rng() % 60);
                       if (rng() % 3 == 0) {
                         m.erase(key);
                       } else if (m[key].size() < 6) {
                         m[key].push_back(random_text(rng, 40));
                       }
                     }
                   }});
  for (d_journal mode : {d_journal::off, d_journal::atomic, d_journal::durable}) {
    options_ = test_support::options_for(mode);
    for (churn_case const& c : cases) {
      SCOPED_TRACE(std::string(test_support::mode_name(mode)) + ": " + c.name);
      afresh();
      std::mt19937 rng(3);
      std::int64_t settled = 0, last = 0;
      for (int round = 0; round < 16; ++round) {
        c.round(env_, rng);
        close();
        ASSERT_TRUE(test_support::checks_clean(path())) << "round " << round;
        last = test_support::file_size(path());
        if (round == 5) settled = last;
        open();
      }
      EXPECT_LE(last, settled + settled / 2);
    }
  }
}

// Values of megabytes, shrunk and grown in turn, in each kind that stores one whole: each is
// read back as stored, and once two cycles of lengths have run the file holds their peak and
// the later cycles reuse it.
TEST_F(ChurnTest, ValuesOfMegabytesShrunkAndGrownSettleAtTheirPeak) {
  using typed_map = d_map<std::string, std::string>;
  using hash_map = d_hashmap<std::string, std::string>;
  struct big_case {
    char const* name;
    std::function<void(d_env&, std::string const&)> store;
    std::function<std::string(d_env&)> read;
  };
  std::vector<big_case> const cases = {
      {"variable", [](d_env& env, std::string const& v) { d_var<std::string>("v", &env) = v; },
       [](d_env& env) { return d_var<std::string>("v", &env).get_data(); }},
      {"list",
       [](d_env& env, std::string const& v) {
         d_list<std::string> l("l", &env);
         l.push_back(v);
         if (l.count() > 1) l.pop_front();
       },
       [](d_env& env) { return d_list<std::string>("l", &env).front(); }},
      {"vector",
       [](d_env& env, std::string const& v) {
         d_vector<std::string> vec("vec", 2, &env);
         if (vec.empty()) vec.push_back(v);
         vec[0] = v;
       },
       [](d_env& env) { return std::string(d_vector<std::string>("vec", 2, &env)[0]); }},
      {"typed map key and value",
       [](d_env& env, std::string const& v) {
         typed_map m("m", &env);
         while (m.begin() != m.end()) m.erase((*m.begin()).key);
         m.put(v, v);
       },
       [](d_env& env) {
         typed_map m("m", &env);
         auto const pair = *m.begin();
         return pair.key == pair.value ? pair.value : "";
       }},
      {"hash map",
       [](d_env& env, std::string const& v) { hash_map("h", 16, &env).put("k", v); },
       [](d_env& env) {
         std::string v;
         hash_map("h", 16, &env).get("k", v);
         return v;
       }},
  };
  std::size_t const megabyte = std::size_t{1} << 20;
  std::vector<std::size_t> const cycle = {3 * megabyte, megabyte / 2, 2 * megabyte + 7};
  for (big_case const& c : cases) {
    SCOPED_TRACE(c.name);
    afresh();
    // The longest the data was in the first two cycles, and in the later ones.
    std::int64_t first = 0, later = 0;
    for (int round = 0; round < 18; ++round) {
      std::string const value(cycle[round % 3] + static_cast<std::size_t>(round),
                              static_cast<char>('a' + round));
      c.store(env_, value);
      ASSERT_EQ(c.read(env_), value) << "round " << round;
      std::int64_t& peak = round < 6 ? first : later;
      peak = std::max<std::int64_t>(peak, env_.stream->size());
    }
    EXPECT_LE(later, first + first / 10);
    close();
    EXPECT_TRUE(test_support::checks_clean(path()));
    open();
  }
}

// A list of lists used as a queue: each round pushes a new inner list of a few strings and
// pops the oldest. Popping freed the element alone and left the inner list's blocks in use
// with nothing naming them, so the file grew by them every round (from 42 KB to 1.75 MB in
// 120 rounds); the freed inner lists' blocks serve the next ones now.
TEST_F(ChurnTest, AListOfListsUsedAsAQueueStaysTheSameSize) {
  std::mt19937 rng(5);
  auto const round = [&] {
    d_list<d_list<std::string>> queue("queue", &env_);
    d_list<std::string> inner(&env_);
    for (int i = 0; i < 5; ++i) inner.push_back(random_text(rng, 60));
    queue.push_back(inner);
    if (queue.size() > 8) queue.pop_front();
  };
  for (int i = 0; i < 20; ++i) round();
  std::int64_t const after_20 = closed_length();
  for (int i = 20; i < 200; ++i) round();
  EXPECT_LE(closed_length(), after_20 + after_20 / 10);
}

// Two openings of one database taking turns on an aged list, as two processes do, each
// following the other's commits before its own: pushes, erasures and rolled-back changes,
// against a model. Each opening reads the model's contents, and the closed file has no
// damage and no block without an owner: no opening handed out a block the other had taken,
// nor lost one the other had freed.
TEST_F(ChurnTest, TwoOpeningsTakingTurnsOnAnAgedFileKeepTheirListAndItsSpace) {
  for (d_journal mode : {d_journal::atomic, d_journal::durable}) {
    SCOPED_TRACE(test_support::mode_name(mode));
    options_ = test_support::options_for(mode);
    afresh();
    std::mt19937 rng(11);
    std::vector<std::string> model;
    {
      d_transaction tx(db_);
      d_list<std::string> l("list", &env_);
      for (int i = 0; i < 4000; ++i) l.push_back(random_text(rng, 60));
      int i = 0;
      for (auto it = l.begin(); it != l.end(); ++i) {
        if (i % 3 != 1) {
          l.erase(it);
        } else {
          model.push_back(*it);
          ++it;
        }
      }
      tx.commit();
    }
    d_env other{};
    d_database* const second = open_database(name(), &other, *options_);
    d_env* const envs[] = {&env_, &other};
    d_database* const dbs[] = {db_, second};
    for (int turn = 0; turn < 400 && !HasFailure(); ++turn) {
      SCOPED_TRACE("turn " + std::to_string(turn));
      d_env& env = *envs[turn % 2];
      d_list<std::string> l("list", &env);
      unsigned const what = rng() % 10;
      if (what < 5 || model.empty()) {
        model.push_back(random_text(rng, 120));
        l.push_back(model.back());
      } else if (what < 9) {
        std::size_t const at = rng() % model.size();
        auto it = l.begin();
        std::advance(it, static_cast<long>(at));
        l.erase(it);
        model.erase(model.begin() + static_cast<long>(at));
      } else {
        d_transaction tx(dbs[turn % 2]);
        l.push_back(random_text(rng, 200));
        l.pop_front();
        tx.rollback();
      }
      if (turn % 50 == 0) {
        ASSERT_EQ(std::vector<std::string>(l.begin(), l.end()), model);
      }
    }
    for (d_env* env : envs) {
      d_list<std::string> l("list", env);
      EXPECT_EQ(std::vector<std::string>(l.begin(), l.end()), model);
    }
    close_database(second);
    close();
    EXPECT_TRUE(test_support::checks_clean(path()));
    open();
  }
}

}  // namespace
