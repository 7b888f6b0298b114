#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "nuvlet/platform/ListenerList.h"

namespace nuvlet {

// The application the user is working in.
struct FrontmostApplication {
  // A stable identifier: the desktop application id, else the window class, else the
  // executable name. Empty when the platform has none.
  std::string bundleId;
  // A name for people (the window class).
  std::string name;
  bool operator==(const FrontmostApplication&) const = default;
};

// The desktop session around the system.
//
// Thread: main thread only. Queries answer from what the adapter already knows and
// never block; a failed query yields nothing. Listeners are called on the main thread.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // The application that owns the active window, or nothing when there is none.
  virtual std::optional<FrontmostApplication> frontmostApplication() const = 0;

  // Calls fn when another application became frontmost (frontmostApplication()
  // already answers with it).
  virtual ListenerId addDidActivateListener(std::function<void()> fn) {
    (void)fn;
    return nextListenerId();
  }

  // Calls fn just before the machine sleeps. The platform waits for the listeners
  // (within its own limits) before it goes to sleep.
  virtual ListenerId addWillSleepListener(std::function<void()> fn) {
    (void)fn;
    return nextListenerId();
  }

  // Calls fn after the machine woke from sleep.
  virtual ListenerId addDidWakeListener(std::function<void()> fn) {
    (void)fn;
    return nextListenerId();
  }

  // Stops calls to a listener added above; an unknown id is ignored.
  virtual void removeListener(ListenerId id) { (void)id; }

  // Shows a folder in the desktop's file manager. Starts the handler and returns
  // without waiting for it; false when there is no handler or it could not start.
  virtual bool openFolder(const std::filesystem::path& folder) {
    (void)folder;
    return false;
  }
};

}  // namespace nuvlet
