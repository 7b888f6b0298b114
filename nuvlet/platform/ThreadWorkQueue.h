#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "nuvlet/platform/WorkQueue.h"

namespace nuvlet {

// A WorkQueue served by one worker thread of its own. Destruction lets the job
// that is running finish, drops the jobs still waiting, and joins the thread.
class ThreadWorkQueue final : public WorkQueue {
 public:
  ThreadWorkQueue();
  ~ThreadWorkQueue() override;
  ThreadWorkQueue(const ThreadWorkQueue&) = delete;
  ThreadWorkQueue& operator=(const ThreadWorkQueue&) = delete;

  void async(std::function<void()> job) override;

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace nuvlet
