#pragma once

#include <memory>

#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The app's main loop: GLib's default main context, which GDBus and GIO dispatch on
// too, so one thread serves the timers, the X connection, D-Bus and everything else.
class GlibRunLoop : public RunLoop {
 public:
  // Runs until quit(); returns at once if quit() came first. Main thread.
  virtual void run() = 0;
  // Makes run() return after the callback in progress. Any thread.
  virtual void quit() = 0;
};

// The loop on the thread-default main context of the calling thread (the global
// default context on the main thread). Timers follow CLOCK_MONOTONIC with
// millisecond resolution.
std::unique_ptr<GlibRunLoop> makeGlibRunLoop();

}  // namespace nuvlet::linux_platform
