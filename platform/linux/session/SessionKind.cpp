#include "platform/linux/session/SessionKind.h"

#include <cstdlib>
#include <string_view>

namespace nuvlet::linux_platform {
namespace {

std::string_view env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

}  // namespace

SessionKind sessionKindFromEnvironment() {
  const std::string_view type = env("XDG_SESSION_TYPE");
  if (type == "wayland") return SessionKind::Wayland;
  if (type != "x11" && !env("WAYLAND_DISPLAY").empty()) return SessionKind::Wayland;
  if (!env("DISPLAY").empty()) return SessionKind::X11;
  return SessionKind::None;
}

const char* sessionKindName(SessionKind kind) {
  switch (kind) {
    case SessionKind::Wayland:
      return "Wayland";
    case SessionKind::X11:
      return "X11";
    case SessionKind::None:
      break;
  }
  return "none";
}

std::string compositorFromEnvironment() {
  for (const char* name : {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION"}) {
    if (auto value = env(name); !value.empty()) return std::string(value);
  }
  return "unknown";
}

}  // namespace nuvlet::linux_platform
