#pragma once

#include <cstddef>
#include <deque>
#include <functional>

#include "nuvlet/platform/WorkQueue.h"

namespace nuvlet::sim {

// Runs each job at once, on the caller's thread.
class InlineWorkQueue final : public WorkQueue {
 public:
  void async(std::function<void()> job) override { job(); }
};

// Holds jobs until the test runs them, so it can look at the state in between.
class ManualWorkQueue final : public WorkQueue {
 public:
  void async(std::function<void()> job) override { jobs_.push_back(std::move(job)); }

  std::size_t pending() const { return jobs_.size(); }

  // Runs the jobs queued so far, and any they queue, in order.
  void runAll() {
    while (!jobs_.empty()) {
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      job();
    }
  }

 private:
  std::deque<std::function<void()>> jobs_;
};

}  // namespace nuvlet::sim
