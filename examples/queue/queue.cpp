// A work queue that survives restarts, on the persistent list of disk_tools.
//
// A producer appends jobs at the back and stops. A worker started later takes
// them from the front, one at a time: it reads the first job, does it, and
// only then removes it, so a worker that dies in the middle finds the same job
// first again when it restarts. The program checks that the jobs come out in
// the order they went in and that the queue ends empty; it exits with status 1
// otherwise, so running it is a test.
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <disk_tools/d_db.h>
#include <disk_tools/d_list.h>

using namespace disk_tools;

using job_queue = d_list<std::string>;

namespace {

// The job at the front of a queue that is not empty.
std::string front(job_queue& queue) {
  auto first = queue.begin();
  return dl_assign<std::string>(first).get_data();
}

// Removes the job at the front.
void pop_front(job_queue& queue) {
  auto first = queue.begin();
  queue.erase(first);
}

}  // namespace

int main() {
  d_env env{};
  p_d_env = &env;

  std::vector<std::string> const jobs = {"resize photo-1.jpg", "resize photo-2.jpg",
                                         "send report", "back up notes.odb"};
  try {
    if (!create_database("jobs", &env)) throw std::runtime_error("unable to create jobs.odb...");

    // The producer.
    d_database* db = open_database("jobs", &env);
    {
      job_queue queue("queue", &env);
      for (auto const& job : jobs) queue.push_back(job);
    }
    close_database(db);

    // The worker, in a later run: the jobs are still there, in order.
    db = open_database("jobs", &env);
    std::vector<std::string> done;
    {
      job_queue queue("queue", &env);
      while (queue.count() > 0) {
        std::string const job = front(queue);
        std::cout << "doing: " << job << '\n';
        done.push_back(job);
        pop_front(queue);
      }
    }
    close_database(db);

    // Once more: a queue worked empty stays empty.
    db = open_database("jobs", &env);
    long left = 0;
    {
      job_queue queue("queue", &env);
      left = queue.count();
    }
    close_database(db);

    if (done != jobs || left != 0) {
      std::cerr << "the jobs came out wrong: " << done.size() << " done, " << left << " left\n";
      return 1;
    }
    return 0;
  } catch (std::exception const& e) {
    // The library throws disk_tools::error, a std::runtime_error whose what()
    // is a short message.
    std::cerr << e.what() << '\n';
    return 1;
  }
}
