#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::cli {

// A small poll(2) loop for commands that talk to the desktop's servers for a moment
// and exit (the tray application runs on the GLib loop instead).
class PollRunLoop final : public RunLoop {
 public:
  PollRunLoop();
  ~PollRunLoop() override;
  PollRunLoop(const PollRunLoop&) = delete;
  PollRunLoop& operator=(const PollRunLoop&) = delete;

  void post(Callback fn) override;
  TimerId scheduleAfter(double seconds, Callback fn) override;
  TimerId scheduleRepeating(double interval, Callback fn) override;
  void cancel(TimerId id) override;
  TimerId watchReadable(int fd, Callback fn) override;
  const Clock& clock() const override { return clock_; }

  // Runs the loop until done() holds or timeoutSeconds pass; returns done().
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

 private:
  struct Timer {
    double due;
    double interval;
    std::shared_ptr<Callback> fn;
  };
  void runOnce(int timeoutMs);

  SystemClock clock_;
  TimerId nextId_ = 1;
  std::map<TimerId, Timer> timers_;
  std::map<TimerId, std::pair<int, std::shared_ptr<Callback>>> watches_;
  std::mutex mutex_;
  std::vector<Callback> posted_;
  int wake_[2] = {-1, -1};
};

}  // namespace nuvlet::cli
