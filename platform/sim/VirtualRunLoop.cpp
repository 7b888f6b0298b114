#include "platform/sim/VirtualRunLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace nuvlet::sim {

VirtualRunLoop::VirtualRunLoop(double startUnixSeconds) : now_(startUnixSeconds) {
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) wakeFds_[0] = wakeFds_[1] = -1;
}

VirtualRunLoop::~VirtualRunLoop() {
  for (int fd : wakeFds_) {
    if (fd >= 0) ::close(fd);
  }
}

void VirtualRunLoop::post(Callback fn) {
  bool wasEmpty;
  {
    std::lock_guard lock(postMutex_);
    wasEmpty = posted_.empty();
    posted_.push_back(std::move(fn));
  }
  // Only another thread can find the owner waiting in poll, and one byte per batch
  // wakes it; a byte for every post made a simulated week mostly system calls.
  if (wasEmpty && wakeFds_[1] >= 0 && std::this_thread::get_id() != owner_) {
    wakePending_.store(true);
    char byte = 1;
    [[maybe_unused]] auto n = ::write(wakeFds_[1], &byte, 1);
  }
}

RunLoop::TimerId VirtualRunLoop::scheduleAfter(double seconds, Callback fn) {
  TimerId id = nextId_++;
  timers_[id] = Timer{monotonic_ + std::max(seconds, 0.0), 0.0, nextOrder_++,
                      std::make_shared<Callback>(std::move(fn))};
  return id;
}

RunLoop::TimerId VirtualRunLoop::scheduleRepeating(double interval, Callback fn) {
  assert(interval > 0);
  TimerId id = nextId_++;
  timers_[id] = Timer{monotonic_ + interval, interval, nextOrder_++,
                      std::make_shared<Callback>(std::move(fn))};
  return id;
}

void VirtualRunLoop::cancel(TimerId id) {
  timers_.erase(id);
  watches_.erase(id);
}

RunLoop::TimerId VirtualRunLoop::watchReadable(int fd, Callback fn) {
  TimerId id = nextId_++;
  watches_[id] = Watch{fd, std::make_shared<Callback>(std::move(fn))};
  return id;
}

bool VirtualRunLoop::runPosted() {
  {
    std::lock_guard lock(postMutex_);
    if (posted_.empty()) return false;
  }
  // Drained before the swap: a post after the swap finds the queue empty and writes
  // a byte again, so a waiting poll never misses it.
  if (wakeFds_[0] >= 0 && wakePending_.exchange(false)) {
    char drain[64];
    while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
    }
  }
  std::vector<Callback> batch;
  {
    std::lock_guard lock(postMutex_);
    batch.swap(posted_);
  }
  for (auto& fn : batch) fn();
  return !batch.empty();
}

bool VirtualRunLoop::runReadyWatches(int timeoutMs) {
  // Without watches a poll that does not wait has nothing to find: posts run anyway.
  if (watches_.empty() && timeoutMs == 0) return false;
  std::vector<pollfd> fds;
  std::vector<TimerId> ids;
  if (wakeFds_[0] >= 0) fds.push_back({wakeFds_[0], POLLIN, 0});
  for (const auto& [id, watch] : watches_) {
    fds.push_back({watch.fd, POLLIN, 0});
    ids.push_back(id);
  }
  if (fds.empty()) return false;
  if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return false;
  bool ran = false;
  std::size_t first = wakeFds_[0] >= 0 ? 1 : 0;
  // A byte that arrived after its batch was drained would wake every later poll.
  if (first == 1 && (fds[0].revents & POLLIN) != 0) {
    char drain[64];
    while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
    }
  }
  for (std::size_t i = first; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = watches_.find(ids[i - first]);
    if (it == watches_.end()) continue;  // cancelled by an earlier callback
    auto fn = it->second.fn;
    (*fn)();
    ran = true;
  }
  return ran;
}

bool VirtualRunLoop::runOneTimerDueBy(double limit) {
  auto next = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    // A nanosecond of slack: steps of 0.1 s summed by the caller and multiplied here
    // may differ in the last bit, and a tick must not slip to the next advance.
    if (it->second.due > limit + 1e-9) continue;
    if (next == timers_.end() || it->second.due < next->second.due ||
        (it->second.due == next->second.due && it->second.order < next->second.order)) {
      next = it;
    }
  }
  if (next == timers_.end()) return false;
  moveTime(std::max(monotonic_, next->second.due));
  auto fn = next->second.fn;
  if (next->second.interval > 0) {
    // From the first due time by multiplication, so that rounding does not accumulate
    // over a day of ticks.
    ++next->second.fired;
    next->second.due =
        next->second.firstDue + next->second.interval * static_cast<double>(next->second.fired);
    next->second.order = nextOrder_++;
  } else {
    timers_.erase(next);
  }
  (*fn)();
  return true;
}

void VirtualRunLoop::moveTime(double to) {
  if (to > monotonic_) {
    now_ += to - monotonic_;
    monotonic_ = to;
  }
}

void VirtualRunLoop::advance(double seconds) {
  seconds = std::max(seconds, 0.0);
  advanceBy(seconds, now_ + seconds);
}

void VirtualRunLoop::advanceTo(double unixSeconds) { advanceBy(unixSeconds - now_, unixSeconds); }

// Time moves on the monotonic clock, whose small magnitude keeps 0.1 s exact; near
// 1.8e9 a wall-clock step of 0.1 s is only good to 2.4e-7.
void VirtualRunLoop::advanceBy(double seconds, double wallTarget) {
  double limit = monotonic_ + std::max(seconds, 0.0);
  for (;;) {
    runPosted();
    runReadyWatches(0);
    if (!runOneTimerDueBy(limit)) break;
  }
  moveTime(limit);
  // Land on the wall time asked for, unless a callback set the wall clock meanwhile.
  if (std::abs(now_ - wallTarget) < 1e-3) now_ = wallTarget;
  runPending();
}

void VirtualRunLoop::runPending() {
  bool progress = true;
  while (progress) {
    progress = runPosted();
    progress = runReadyWatches(0) || progress;
    progress = runOneTimerDueBy(monotonic_) || progress;
  }
}

bool VirtualRunLoop::runUntil(const std::function<bool()>& done, double realTimeoutSeconds) {
  using Steady = std::chrono::steady_clock;
  auto deadline = Steady::now() + std::chrono::duration<double>(realTimeoutSeconds);
  for (;;) {
    runPending();
    if (done()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (left.count() <= 0) return done();
    runReadyWatches(static_cast<int>(std::min<long long>(left.count(), 50)));
  }
}

}  // namespace nuvlet::sim
