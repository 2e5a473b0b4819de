#include "card/card_thread.h"

namespace card {

CardThread::CardThread(std::function<std::unique_ptr<Readers>()> make_readers)
  : thread_([this, make = std::move(make_readers)]() mutable { run(std::move(make)); }) {}

CardThread::~CardThread() {
  stop();
  thread_.join();
}

void CardThread::stop() {
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> guard{mtx_};
    stopping_ = true;
    left.swap(queue_);
  }
  wake_.notify_all();
  for (auto& job : left)
    if (job.abandon)
      job.abandon();
}

void CardThread::post(Job job) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard{mtx_};
    if (!stopping_) {
      queue_.push_back(std::move(job));
      queued = true;
    }
  }
  if (queued)
    wake_.notify_one();
  else if (job.abandon)
    job.abandon();
}

size_t CardThread::pending() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return queue_.size() + running_;
}

void CardThread::run(std::function<std::unique_ptr<Readers>()> make_readers) {
  auto readers = make_readers();
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock{mtx_};
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_)
        return;
      job = std::move(queue_.front());
      queue_.pop_front();
      running_ = 1;
    }
    job.run(*readers);
    std::lock_guard<std::mutex> guard{mtx_};
    running_ = 0;
  }
}

} // namespace card
