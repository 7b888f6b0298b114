#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::sim {

// A run loop on virtual time: nothing happens until the test or the simulation
// advances the clock, and then every timer that falls due runs at its exact time,
// in order. It is also the Clock of everything built on it.
//
// The driving calls (advance, runPending, runUntil) belong to the thread that owns
// the loop. post() may come from any thread.
class VirtualRunLoop final : public RunLoop, public Clock {
 public:
  // 2026-12-06 12:00:00 UTC.
  static constexpr double kDefaultStart = 1796558400.0;

  explicit VirtualRunLoop(double startUnixSeconds = kDefaultStart);
  ~VirtualRunLoop() override;
  VirtualRunLoop(const VirtualRunLoop&) = delete;
  VirtualRunLoop& operator=(const VirtualRunLoop&) = delete;

  // RunLoop
  void post(Callback fn) override;
  TimerId scheduleAfter(double seconds, Callback fn) override;
  TimerId scheduleRepeating(double interval, Callback fn) override;
  void cancel(TimerId id) override;
  TimerId watchReadable(int fd, Callback fn) override;
  const Clock& clock() const override { return *this; }

  // Clock. The monotonic clock starts at 1000 s and moves with the wall clock,
  // except across setWallClock().
  double now() const override { return now_; }
  double monotonic() const override { return monotonic_; }

  // Moves time forward by `seconds`, running everything that falls due on the way.
  void advance(double seconds);
  void advanceTo(double unixSeconds);

  // Runs posted callbacks, timers due now and ready fd watches, without moving time.
  void runPending();

  // For tests that wait on a real other end (a server, a child process, a worker
  // thread): keeps running pending work, waiting for posts and watched fds in real
  // time, until done() holds or realTimeoutSeconds pass. Virtual time stands still.
  // Returns done().
  bool runUntil(const std::function<bool()>& done, double realTimeoutSeconds = 5.0);

  // Sets the wall clock without moving the monotonic clock or running anything:
  // a user or NTP changing the time. Timers follow the monotonic clock, so none
  // moves with it.
  void setWallClock(double unixSeconds) { now_ = unixSeconds; }

  std::size_t activeTimers() const { return timers_.size(); }

 private:
  struct Timer {
    double due = 0;       // on the monotonic clock
    double interval = 0;  // 0 for one-shot
    std::uint64_t order = 0;
    std::shared_ptr<Callback> fn;
    double firstDue = due;
    std::uint64_t fired = 0;
  };
  struct Watch {
    int fd;
    std::shared_ptr<Callback> fn;
  };

  bool runPosted();
  bool runReadyWatches(int timeoutMs);
  bool runOneTimerDueBy(double limit);
  void moveTime(double toMonotonic);
  void advanceBy(double seconds, double wallTarget);

  double now_;
  double monotonic_ = 1000.0;
  TimerId nextId_ = 1;
  std::uint64_t nextOrder_ = 0;
  std::map<TimerId, Timer> timers_;
  std::map<TimerId, Watch> watches_;

  std::mutex postMutex_;
  std::vector<Callback> posted_;
  int wakeFds_[2] = {-1, -1};
  std::atomic<bool> wakePending_{false};
  const std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace nuvlet::sim
