#include "nuvlet/platform/ThreadWorkQueue.h"

#include <utility>

namespace nuvlet {

ThreadWorkQueue::ThreadWorkQueue() : worker_([this] { run(); }) {}

ThreadWorkQueue::~ThreadWorkQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  worker_.join();
}

void ThreadWorkQueue::async(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ThreadWorkQueue::run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace nuvlet
