#pragma once

#include <gio/gio.h>

namespace nuvlet::linux_platform {

// A connection of our own to the message bus at `address` (a D-Bus address string),
// not GLib's shared singleton: each user can close it without disturbing the others,
// and tests can point it at a private bus. Blocks until connected; nothing on failure,
// with `error` set as GLib does.
inline GDBusConnection* connectToBus(const char* address, GCancellable* cancellable,
                                     GError** error) {
  return g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable, error);
}

}  // namespace nuvlet::linux_platform
