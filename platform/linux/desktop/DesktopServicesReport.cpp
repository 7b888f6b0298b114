#include "platform/linux/desktop/DesktopServicesReport.h"

#include <gio/gio.h>
#include <xcb/xcb.h>

#include <string>

#include "nuvlet/platform/Paths.h"
#include "platform/linux/session/BusConnection.h"
#include "platform/linux/session/SessionBusLink.h"
#include "platform/linux/tray/DesktopTheme.h"
#include "platform/linux/tray/TrayHostProcess.h"

namespace nuvlet::linux_platform {
namespace {

constexpr int kTimeoutMs = 2000;
// The extension's id as Debian installs it.
constexpr const char* kAppIndicatorExtension = "ubuntu-appindicators@ubuntu.com";

// The reply, or null with the error's message in `error`.
GVariant* call(GDBusConnection* bus, const char* name, const char* path, const char* interface,
               const char* method, GVariant* parameters, std::string& error,
               GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NO_AUTO_START) {
  GError* e = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
                                                nullptr, flags, kTimeoutMs, nullptr, &e);
  if (!reply) {
    g_dbus_error_strip_remote_error(e);
    error = e->message;
    g_error_free(e);
  }
  return reply;
}

bool hasOwner(GDBusConnection* bus, const char* name) {
  std::string error;
  GVariant* reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name), error);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  return owned;
}

// Which process keeps the watcher, and how the item reads that host's wheel notches.
std::string trayHostText(GDBusConnection* bus, const char* watcher) {
  auto pid = busPeerPid(bus, watcher, kTimeoutMs);
  if (!pid) return "watcher process unknown; wheel notches read by the orientation's spelling";
  std::string process = processName(*pid);
  std::string who =
      (process.empty() ? "an unnamed process" : process) + " (pid " + std::to_string(*pid) + ")";
  const KnownTrayHost* host = knownTrayHost(process);
  if (!host) {
    return "watcher kept by " + who +
           ", not a host we know: a wheel notch is read as Scroll(+-120, \"Vertical\") or "
           "Scroll(+-1, \"vertical\")";
  }
  return "watcher kept by " + who + ": " + std::string(host->name) +
         ", one wheel notch = Scroll(+-" + std::to_string(static_cast<int>(host->deltaPerNotch)) +
         ") = a step of 0.05";
}

std::string trayLine(GDBusConnection* bus) {
  const char* watcher = "org.kde.StatusNotifierWatcher";
  if (!hasOwner(bus, watcher)) {
    // Stock GNOME Shell has no tray; its AppIndicator extension adds one.
    if (hasOwner(bus, "org.gnome.Shell")) {
      return "tray: none: GNOME Shell shows no tray without its AppIndicator extension; "
             "install gnome-shell-extension-appindicator and run `gnome-extensions enable " +
             std::string(kAppIndicatorExtension) +
             "` (log out and in if it was only just installed)";
    }
    return "tray: none (no StatusNotifierItem watcher; the items cannot be shown)";
  }
  std::string error;
  GVariant* reply = call(bus, watcher, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                         "GetAll", g_variant_new("(s)", watcher), error);
  if (!reply) return "tray: a watcher that does not answer (" + error + ")";
  GVariant* properties = g_variant_get_child_value(reply, 0);
  gboolean host = TRUE;
  g_variant_lookup(properties, "IsStatusNotifierHostRegistered", "b", &host);
  GVariant* items =
      g_variant_lookup_value(properties, "RegisteredStatusNotifierItems", G_VARIANT_TYPE("as"));
  std::string line = std::string("tray: StatusNotifierItem watcher present, ") +
                     (host ? "host registered" : "no host registered (nothing is drawn)");
  if (items) {
    line += ", " + std::to_string(g_variant_n_children(items)) + " items";
    g_variant_unref(items);
  }
  g_variant_unref(properties);
  g_variant_unref(reply);
  return line + "; " + trayHostText(bus, watcher);
}

std::string notificationLine(GDBusConnection* bus) {
  const char* name = "org.freedesktop.Notifications";
  if (hasOwner(bus, name)) return "notifications: server running";
  std::string error;
  GVariant* reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "ListActivatableNames", nullptr, error);
  bool activatable = false;
  if (reply) {
    GVariant* names = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, names);
    const gchar* n = nullptr;
    while (g_variant_iter_next(&iter, "&s", &n)) activatable |= std::string(n) == name;
    g_variant_unref(names);
    g_variant_unref(reply);
  }
  return activatable ? "notifications: server started on demand" : "notifications: none";
}

// Where no portal answers, the theme the desktop publishes decides.
std::string themeText() {
  int screen = 0;
  xcb_connection_t* x = xcb_connect(nullptr, &screen);
  bool hasX = xcb_connection_has_error(x) == 0;
  ThemeReading reading =
      desktopThemePreference(hasX ? x : nullptr, screen, Paths::fromEnvironment().configHome());
  xcb_disconnect(x);
  if (reading.source.empty()) return "no theme source either: a light glyph";
  bool dark = reading.preference == ColorScheme::Preference::Dark;
  return std::string(dark ? "dark" : "light") + " theme from " + reading.source + ": a " +
         (dark ? "light" : "dark") + " glyph";
}

std::string colourSchemeLine(GDBusConnection* bus) {
  std::string error;
  GVariant* reply = call(bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                         "org.freedesktop.portal.Settings", "Read",
                         g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), error,
                         G_DBUS_CALL_FLAGS_NONE);
  if (!reply) return "colour scheme: settings portal: " + error + "; " + themeText();
  GVariant* value = g_variant_get_child_value(reply, 0);
  while (g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(value);
    g_variant_unref(value);
    value = inner;
  }
  guint32 scheme = 0;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE("u"))) scheme = g_variant_get_uint32(value);
  g_variant_unref(value);
  g_variant_unref(reply);
  if (scheme == 1) return "colour scheme: dark, from the settings portal: a light glyph";
  if (scheme == 2) return "colour scheme: light, from the settings portal: a dark glyph";
  return "colour scheme: the settings portal has no preference; " + themeText();
}

}  // namespace

std::vector<std::string> describeDesktopServices(const std::string& busAddress) {
  std::string address = busAddress.empty() ? sessionBusAddress() : busAddress;
  if (address.empty()) return {"no session bus (DBUS_SESSION_BUS_ADDRESS is unset)"};
  GError* error = nullptr;
  GDBusConnection* bus = connectToBus(address.c_str(), nullptr, &error);
  if (!bus) {
    std::string line = std::string("session bus unreachable: ") + error->message;
    g_error_free(error);
    return {line};
  }
  std::vector<std::string> lines = {trayLine(bus), notificationLine(bus), colourSchemeLine(bus)};
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return lines;
}

}  // namespace nuvlet::linux_platform
