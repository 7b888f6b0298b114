#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nuvlet::linux_platform {

// A tray host we know by the name of its process, and what one wheel notch looks like
// in its Scroll calls. Hosts scale the wheel differently (Qt's angle delta, a floored
// smooth delta, a doubled one), and the item must move a level by the same step under
// each of them.
struct KnownTrayHost {
  std::string_view name;  // as `nuvlet devices` shows it
  double deltaPerNotch;   // |delta| of one notch of a wheel
  bool positiveIsUp;      // the sign of a delta that scrolls up
  // Whether it draws a named symbolic icon in the panel's text colour. One that draws
  // the file as it is gets the pixmap, which is tinted for the panel.
  bool recoloursSymbolicIcons = true;
};

// The host whose process is called `processName` (as /proc/PID/comm gives it), or null
// for a process we do not know.
const KnownTrayHost* knownTrayHost(std::string_view processName);

// The name of process `pid` from <proc>/PID/comm, without its line feed; empty when
// the process is gone or the name is not printable text.
std::string processName(std::uint32_t pid, const std::filesystem::path& proc = "/proc");

// The process id behind a bus name (unique or well-known), asked of the bus. Blocks for
// at most `timeoutMs`; nothing when the name has no owner or the bus cannot tell.
std::optional<std::uint32_t> busPeerPid(GDBusConnection* bus, const char* name,
                                        int timeoutMs = 500);

}  // namespace nuvlet::linux_platform
