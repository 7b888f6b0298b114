#pragma once

#include <gio/gio.h>

#include <functional>
#include <thread>

namespace nuvlet::linux_platform {

// A thread with a GMainContext of its own, for D-Bus conversations that must never
// make the main thread wait. Internal to the adapters (it exposes GLib types).
class GlibThread {
 public:
  GlibThread();
  // Runs `finish` on the thread, iterates until `settled` holds (so that cancelled
  // calls and unsubscriptions deliver their last callbacks), then stops and joins.
  void stop(std::function<void()> finish, std::function<bool()> settled);
  ~GlibThread();
  GlibThread(const GlibThread&) = delete;
  GlibThread& operator=(const GlibThread&) = delete;

  // Runs fn on the thread, after what was invoked before.
  void invoke(std::function<void()> fn);

 private:
  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
  bool stopped_ = false;
};

}  // namespace nuvlet::linux_platform
