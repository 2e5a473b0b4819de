// The thread that owns the card: jobs run one at a time, in the order they
// were posted, with the readers (and so the PC/SC context) of this thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "card/readers.h"

namespace card {

class CardThread {
public:
  struct Job {
    std::function<void(Readers&)> run;
    // Called instead of run() for jobs still queued when the thread stops.
    std::function<void()> abandon;
  };

  // `make_readers` runs on the new thread, so that what it makes belongs there.
  explicit CardThread(std::function<std::unique_ptr<Readers>()> make_readers);
  // stop(), then waits for the running job to finish.
  ~CardThread();
  CardThread(const CardThread&) = delete;
  CardThread& operator=(const CardThread&) = delete;

  void post(Job job);
  // Abandons the queued jobs and every job posted from now on; the running
  // one finishes.
  void stop();
  // Jobs queued or running.
  size_t pending() const;

private:
  void run(std::function<std::unique_ptr<Readers>()> make_readers);

  mutable std::mutex mtx_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  size_t running_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace card
