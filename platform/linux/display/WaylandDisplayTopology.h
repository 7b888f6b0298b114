#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The displays of a Wayland session: wl_output for modes and scale, xdg-output for the
// connector name, description and the rectangle in the compositor's layout. The EDID
// comes from <sysfsRoot>/class/drm. There is no pointer: tracksPointer() is false.
//
// Built-in: an eDP, LVDS or DSI output; an output whose name matches no DRM connector
// (a virtual or nested one) when the machine has a backlight and no other output is a
// panel. Main: the built-in panel while it is enabled, else the output at 0,0.
//
// Nothing when no compositor answers (displayName as for wl_display_connect; nullptr
// reads $WAYLAND_DISPLAY). The first outputs are read before it returns (two round
// trips). When the compositor goes away the displays are cleared, the listeners told,
// and then `onLost` is called once on the main thread.
std::unique_ptr<DisplayTopology> makeWaylandDisplayTopology(RunLoop& loop,
                                                            std::filesystem::path sysfsRoot,
                                                            std::function<void()> onLost,
                                                            const char* displayName = nullptr);

}  // namespace nuvlet::linux_platform
