#include "app/PollRunLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace nuvlet::cli {

PollRunLoop::PollRunLoop() {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

PollRunLoop::~PollRunLoop() {
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void PollRunLoop::post(Callback fn) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(fn));
  }
  char byte = 1;
  if (wake_[1] >= 0) [[maybe_unused]]
    auto n = ::write(wake_[1], &byte, 1);
}

RunLoop::TimerId PollRunLoop::scheduleAfter(double seconds, Callback fn) {
  TimerId id = nextId_++;
  timers_[id] = {clock_.monotonic() + std::max(seconds, 0.0), 0,
                 std::make_shared<Callback>(std::move(fn))};
  return id;
}

RunLoop::TimerId PollRunLoop::scheduleRepeating(double interval, Callback fn) {
  TimerId id = nextId_++;
  timers_[id] = {clock_.monotonic() + interval, interval,
                 std::make_shared<Callback>(std::move(fn))};
  return id;
}

void PollRunLoop::cancel(TimerId id) {
  timers_.erase(id);
  watches_.erase(id);
}

RunLoop::TimerId PollRunLoop::watchReadable(int fd, Callback fn) {
  TimerId id = nextId_++;
  watches_[id] = {fd, std::make_shared<Callback>(std::move(fn))};
  return id;
}

void PollRunLoop::runOnce(int timeoutMs) {
  std::vector<Callback> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(posted_);
  }
  for (auto& fn : batch) fn();
  if (!batch.empty()) timeoutMs = 0;

  const double now = clock_.monotonic();
  std::vector<TimerId> due;
  for (auto& [id, t] : timers_) {
    if (t.due <= now)
      due.push_back(id);
    else
      timeoutMs = std::min(timeoutMs, static_cast<int>(std::ceil((t.due - now) * 1000)));
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;
    auto fn = it->second.fn;
    if (it->second.interval > 0) {
      it->second.due = now + it->second.interval;
    } else {
      timers_.erase(it);
    }
    (*fn)();
  }
  if (!due.empty()) timeoutMs = 0;

  std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
  std::vector<TimerId> ids;
  for (auto& [id, w] : watches_) {
    fds.push_back({w.first, POLLIN, 0});
    ids.push_back(id);
  }
  if (::poll(fds.data(), fds.size(), std::max(timeoutMs, 0)) <= 0) return;
  char drain[64];
  while (wake_[0] >= 0 && ::read(wake_[0], drain, sizeof drain) > 0) {
  }
  for (std::size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = watches_.find(ids[i - 1]);
    if (it == watches_.end()) continue;
    auto fn = it->second.second;
    (*fn)();
  }
}

bool PollRunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  const double deadline = clock_.monotonic() + timeoutSeconds;
  while (!done()) {
    double left = deadline - clock_.monotonic();
    if (left <= 0) return done();
    runOnce(static_cast<int>(std::min(left, 0.05) * 1000) + 1);
  }
  return true;
}

}  // namespace nuvlet::cli
