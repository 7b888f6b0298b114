#pragma once

#include <string>
#include <vector>

namespace nuvlet::linux_platform {

// What `nuvlet devices` says about the desktop services the tray items rely on: the
// status-notifier watcher and host, a notification server and the settings portal's
// colour scheme. One line each.
//
// Thread: any. Blocks for up to about two seconds per service that does not answer.
// busAddress empty: the session bus.
std::vector<std::string> describeDesktopServices(const std::string& busAddress = {});

}  // namespace nuvlet::linux_platform
