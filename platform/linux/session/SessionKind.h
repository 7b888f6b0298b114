#pragma once

#include <string>

namespace nuvlet::linux_platform {

// Which display server the session's displays and content come from. In a Wayland
// session XWayland is never asked: its single output says nothing about the panel.
enum class SessionKind { Wayland, X11, None };

// From the environment: XDG_SESSION_TYPE "wayland", or WAYLAND_DISPLAY set in a session
// not declared "x11" (a compositor started from a console leaves the type "tty"), is
// Wayland; else DISPLAY set is X11; else none.
SessionKind sessionKindFromEnvironment();

const char* sessionKindName(SessionKind kind);

// The compositor as the environment names it (XDG_CURRENT_DESKTOP, else
// XDG_SESSION_DESKTOP, else DESKTOP_SESSION); "unknown" when none says.
std::string compositorFromEnvironment();

}  // namespace nuvlet::linux_platform
