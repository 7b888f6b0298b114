#pragma once

#include <memory>
#include <string>

#include "nuvlet/platform/ColorScheme.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The desktop's colour scheme from the settings portal: org.freedesktop.portal.Desktop,
// interface org.freedesktop.portal.Settings, namespace "org.freedesktop.appearance",
// key "color-scheme" (1 dark, 2 light, 0 or anything else no preference). The value
// is read when the portal appears (starting it if it is only activatable) and
// followed through SettingChanged. Without a portal the answer is NoPreference; when
// a running portal goes away, the last answer stands until it is back.
//
// Driving: as for makeStatusNotifierBar, GDBus runs on the thread-default GMainContext
// of the calling thread, which the application's GLib run loop iterates; `loop` only
// carries reconnect pauses. busAddress empty: the session bus.
//
// Thread: main thread only. Never blocks, never fails.
std::unique_ptr<ColorScheme> makePortalColorScheme(RunLoop& loop, std::string busAddress = {});

}  // namespace nuvlet::linux_platform
