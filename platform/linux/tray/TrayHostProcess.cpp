#include "platform/linux/tray/TrayHostProcess.h"

#include <array>
#include <fstream>

namespace nuvlet::linux_platform {
namespace {

struct ProcessHost {
  std::string_view process;
  KnownTrayHost host;
};

// On Plasma the watcher lives in kded and the host in plasmashell; both name Plasma.
// XFCE may run the tray plugin in the panel or in a wrapper process of its own.
constexpr KnownTrayHost kPlasma{"Plasma", 120, true};
constexpr KnownTrayHost kXfce{"xfce4-panel", 1, false};
constexpr std::array kHosts{
    ProcessHost{"plasmashell", kPlasma},
    ProcessHost{"kded5", kPlasma},
    ProcessHost{"kded6", kPlasma},
    ProcessHost{"gnome-shell", {"GNOME Shell", 1, false}},
    // Draws the icon file untinted: the grey on its blue tray reads 2.3:1.
    ProcessHost{"waybar", {"waybar", 2, false, false}},
    ProcessHost{"xfce4-panel", kXfce},
    ProcessHost{"wrapper-2.0", kXfce},
};

}  // namespace

const KnownTrayHost* knownTrayHost(std::string_view processName) {
  for (const auto& entry : kHosts) {
    if (entry.process == processName) return &entry.host;
  }
  // The panel names a plugin's wrapper process "panel-<n>-<plugin>".
  if (processName.starts_with("panel-") && processName.ends_with("-systray")) return &kXfce;
  return nullptr;
}

std::string processName(std::uint32_t pid, const std::filesystem::path& proc) {
  std::ifstream in(proc / std::to_string(pid) / "comm");
  std::string name;
  if (!in || !std::getline(in, name)) return {};
  for (unsigned char c : name) {
    if (c < 0x20 || c >= 0x7f) return {};
  }
  return name;
}

std::optional<std::uint32_t> busPeerPid(GDBusConnection* bus, const char* name, int timeoutMs) {
  if (!bus || !name) return std::nullopt;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, nullptr);
  if (!reply) return std::nullopt;
  guint32 pid = 0;
  g_variant_get(reply, "(u)", &pid);
  g_variant_unref(reply);
  if (pid == 0) return std::nullopt;
  return pid;
}

}  // namespace nuvlet::linux_platform
