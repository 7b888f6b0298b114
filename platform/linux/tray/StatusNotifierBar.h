#pragma once

#include <functional>
#include <memory>
#include <string>

#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/StatusBar.h"

namespace nuvlet::linux_platform {

struct StatusNotifierBarOptions {
  // Empty: the session bus ($DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus).
  std::string busAddress;
  // Whether Alt or Shift is held right now; read each time a menu is built. The
  // composition root reads the X pointer's modifier mask. Empty: never held.
  std::function<bool()> alternateHeld;
  // How long the tray may be missing before the user is told (once per run).
  double noTrayNoticeAfterSeconds = 15.0;
  // The icon theme folder of the program's symbolic icons (IconThemePath); empty or
  // missing: the items show their pixmaps only.
  std::string iconThemePath;
};

// The desktop's tray over StatusNotifierItem and com.canonical.dbusmenu.
//
// Each item is an org.kde.StatusNotifierItem with its own bus connection (see
// StatusNotifierItem). The bar itself watches org.kde.StatusNotifierWatcher: a host is
// available while a watcher is on the bus and reports a registered host. When none
// has been for noTrayNoticeAfterSeconds, the user is told once how to get a tray: a
// line on stderr, and a desktop notification when a notification server answers.
// Everything else keeps running.
//
// Driving: GDBus delivers calls, replies and signals on the thread-default
// GMainContext of the thread that calls this factory (the main thread's default
// context), so that context must be iterated. The application's GLib run loop does
// exactly that, on the same thread, so nothing more is needed there. `loop` carries
// the adapter's own timers (scroll windows, reconnect pauses, the tray notice); it may
// be that same GLib loop. Tests iterate the default GMainContext until the condition
// they wait for holds (with a real-time bound) and run the timers in virtual time.
//
// Thread: main thread only. Never blocks, never fails.
// The symbolic icon set beside the running program: <prefix>/share/nuvlet/icons when
// installed, <build>/icons in a build tree; empty when neither holds one.
std::string installedIconThemePath();

std::unique_ptr<StatusBar> makeStatusNotifierBar(RunLoop& loop,
                                                 StatusNotifierBarOptions options = {});

}  // namespace nuvlet::linux_platform
