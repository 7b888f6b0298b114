#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The address of the user's session bus: $DBUS_SESSION_BUS_ADDRESS, else the
// per-user bus socket in $XDG_RUNTIME_DIR, else "" (no bus). Unlike GLib's own lookup
// it never spawns an autolaunch helper.
std::string sessionBusAddress();

// A private connection to a message bus, opened without blocking and opened again,
// after pauses growing from 1 to 30 seconds, whenever the bus closes it or cannot be
// reached.
//
// Thread: main thread. GDBus delivers everything on the thread-default GMainContext of
// the creating thread, so that context must be iterated (the GLib run loop does);
// retry pauses are timers on `loop`. onUp runs once per established connection and
// onDown once after each one is lost; either may be empty. The connection handed to
// onUp stays valid until onDown returns or the link is destroyed. With --verbose, each
// change of a bus's state is logged once (lost, still away for another reason, back),
// whichever link saw it and however often it retries.
class SessionBusLink {
 public:
  using OnUp = std::function<void(GDBusConnection*)>;
  using OnDown = std::function<void()>;

  // An empty address means sessionBusAddress().
  SessionBusLink(RunLoop& loop, std::string address, OnUp onUp, OnDown onDown);
  ~SessionBusLink();
  SessionBusLink(const SessionBusLink&) = delete;
  SessionBusLink& operator=(const SessionBusLink&) = delete;

  // Starts the first attempt. Separate from construction so that onUp may use the
  // object that owns the link.
  void start();

  // The live connection, or null.
  GDBusConnection* connection() const { return connection_; }

 private:
  void connect();
  void scheduleRetry();
  void lost();
  static void connectDone(GObject* source, GAsyncResult* result, gpointer self);
  static void closed(GDBusConnection* connection, gboolean remoteVanished, GError* error,
                     gpointer self);

  RunLoop& loop_;
  std::string address_;
  OnUp onUp_;
  OnDown onDown_;
  GCancellable* cancellable_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  gulong closedHandler_ = 0;
  RunLoop::TimerId retryTimer_ = 0;
  double retryDelay_ = 1.0;
};

}  // namespace nuvlet::linux_platform
