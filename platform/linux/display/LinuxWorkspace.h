#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/Workspace.h"
#include "platform/linux/display/XConnection.h"

namespace nuvlet::linux_platform {

// Sleep and wake as the system reports them; the workspace passes them on.
//
// Thread: main thread. The callbacks are set once, before the first event.
class SleepMonitor {
 public:
  virtual ~SleepMonitor() = default;
  // willSleep runs before the machine sleeps; the monitor holds the sleep back until
  // it has returned (within the system's own limit).
  virtual void start(std::function<void()> willSleep, std::function<void()> didWake) = 0;
};

// The desktop session: the frontmost application from the window manager's active
// window (_NET_ACTIVE_WINDOW: _GTK_APPLICATION_ID, else the class of WM_CLASS, else
// the executable of _NET_WM_PID), sleep and wake from `sleep` (may be null), and
// folders opened with the desktop's default handler (GIO). x may be null (no X
// server): there is no frontmost application then.
std::unique_ptr<Workspace> makeLinuxWorkspace(std::shared_ptr<XConnection> x,
                                              std::unique_ptr<SleepMonitor> sleep);

// The application a window belongs to, from its raw properties (any may be missing).
// WM_CLASS is ICCCM Latin-1; bytes that are valid UTF-8 are taken as UTF-8.
FrontmostApplication applicationFromWindow(std::optional<std::string_view> gtkApplicationId,
                                           std::optional<std::string_view> wmClass,
                                           std::optional<std::string_view> executable);

}  // namespace nuvlet::linux_platform
