#include "platform/linux/session/SingleInstance.h"

#include <gio/gio.h>

#include "platform/linux/session/BusConnection.h"
#include "platform/linux/session/SessionBusLink.h"

namespace nuvlet::linux_platform {
namespace {

class BusNameInstance final : public SingleInstance {
 public:
  BusNameInstance(const std::string& name, int timeoutMs) {
    const std::string address = sessionBusAddress();
    if (address.empty()) {
      problem_ = "no session bus";
      return;
    }
    GError* error = nullptr;
    connection_ = connectToBus(address.c_str(), nullptr, &error);
    if (connection_ == nullptr) {
      problem_ = error != nullptr ? error->message : "cannot connect to the session bus";
      g_clear_error(&error);
      return;
    }
    // The connection stays open for the life of the process: closing it gives up the
    // name. It must not take the process down when the bus goes away.
    g_dbus_connection_set_exit_on_close(connection_, FALSE);
    constexpr guint32 kDoNotQueue = 0x4;
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", name.c_str(), kDoNotQueue), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
    if (reply == nullptr) {
      problem_ = error != nullptr ? error->message : "RequestName failed";
      g_clear_error(&error);
      return;
    }
    guint32 result = 0;
    g_variant_get(reply, "(u)", &result);
    g_variant_unref(reply);
    // 1: primary owner; 4: we already owned it (cannot happen on a new connection).
    outcome_ = (result == 1 || result == 4) ? Outcome::First : Outcome::AlreadyRunning;
  }

  ~BusNameInstance() override {
    if (connection_ != nullptr) g_object_unref(connection_);
  }

  Outcome outcome() const override { return outcome_; }
  std::string problem() const override { return problem_; }

 private:
  GDBusConnection* connection_ = nullptr;
  Outcome outcome_ = Outcome::NoBus;
  std::string problem_;
};

}  // namespace

std::unique_ptr<SingleInstance> claimSingleInstance(const std::string& name, int timeoutMs) {
  return std::make_unique<BusNameInstance>(name, timeoutMs);
}

}  // namespace nuvlet::linux_platform
