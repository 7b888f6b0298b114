#pragma once

#include <cstdint>
#include <functional>

#include "nuvlet/platform/Clock.h"

namespace nuvlet {

// The main thread's event loop. Every component's state lives on the thread that
// runs it; work done elsewhere comes back through post().
//
// Thread: post() may be called from any thread; everything else only on the main
// thread. Callbacks always run on the main thread, one at a time, never inside the
// call that scheduled them. Nothing here fails.
class RunLoop {
 public:
  using TimerId = std::uint64_t;
  using Callback = std::function<void()>;

  virtual ~RunLoop() = default;

  // Runs fn on the main thread as soon as the loop is free.
  virtual void post(Callback fn) = 0;

  // Runs fn once, `seconds` from now (0 or less: on the next turn of the loop).
  virtual TimerId scheduleAfter(double seconds, Callback fn) = 0;

  // Runs fn every `interval` seconds (which must be positive) until cancelled.
  // A repeating timer that falls behind runs once per turn, never in a burst.
  virtual TimerId scheduleRepeating(double interval, Callback fn) = 0;

  // Stops a timer; an unknown, fired or already cancelled id is ignored. A timer
  // may cancel itself from its own callback.
  virtual void cancel(TimerId id) = 0;

  // Calls fn on the main thread whenever fd is readable (or has hung up), until
  // the watch is cancelled with cancel(). The caller keeps ownership of fd and
  // must cancel the watch before closing it.
  virtual TimerId watchReadable(int fd, Callback fn) = 0;

  // The clock the loop's timers follow.
  virtual const Clock& clock() const = 0;
};

}  // namespace nuvlet
