#pragma once

#include <functional>

namespace nuvlet {

// A background queue for work that must not run on the main thread (capture and
// reduction, model fits, waiting for child processes). Jobs run one at a time, in
// the order given. A job hands its result back with RunLoop::post.
//
// Thread: async() may be called from any thread and never blocks on the job.
class WorkQueue {
 public:
  virtual ~WorkQueue() = default;
  virtual void async(std::function<void()> job) = 0;
};

}  // namespace nuvlet
