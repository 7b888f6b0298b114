#include "tests/harness/FakeBusService.h"

#include <future>

#include "platform/linux/session/BusConnection.h"

namespace nuvlet::test {

FakeBusService::FakeBusService(const std::string& address, std::string path, const std::string& xml)
    : path_(std::move(path)) {
  sync([&] {
    connection_ = linux_platform::connectToBus(address.c_str(), nullptr, nullptr);
    if (connection_ == nullptr) return;
    node_ = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
    exportAt(path_);
  });
}

void FakeBusService::exportAt(const std::string& path) {
  static const GDBusInterfaceVTable vtable = {
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
         GVariant* parameters, GDBusMethodInvocation* invocation, gpointer p) {
        auto* self = static_cast<FakeBusService*>(p);
        Method handler;
        {
          std::lock_guard lock(self->mutex_);
          handler = self->method_;
        }
        if (handler) {
          handler(method, parameters, invocation);
        } else {
          g_dbus_method_invocation_return_value(invocation, nullptr);
        }
      },
      nullptr,
      nullptr,
      {}};
  for (GDBusInterfaceInfo** i = node_->interfaces; i != nullptr && *i != nullptr; ++i) {
    registrations_.push_back(g_dbus_connection_register_object(connection_, path.c_str(), *i,
                                                               &vtable, this, nullptr, nullptr));
  }
}

FakeBusService::~FakeBusService() {
  sync([&] {
    if (connection_ == nullptr) return;
    for (guint id : registrations_) g_dbus_connection_unregister_object(connection_, id);
    if (!g_dbus_connection_is_closed(connection_)) {
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    }
  });
  thread_.stop([] {}, [] { return true; });
  if (connection_ != nullptr) g_object_unref(connection_);
  if (node_ != nullptr) g_dbus_node_info_unref(node_);
}

void FakeBusService::sync(std::function<void()> fn) {
  std::promise<void> done;
  thread_.invoke([&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

bool FakeBusService::own(const std::string& name) {
  guint32 result = 0;
  sync([&] {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", name.c_str(), 0u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) g_variant_get(reply, "(u)", &result);
    if (reply) g_variant_unref(reply);
  });
  return result == 1;  // primary owner
}

void FakeBusService::emitFrom(const std::string& path, const std::string& interface,
                              const std::string& signal, GVariant* parameters) {
  g_dbus_connection_emit_signal(connection_, nullptr, path.c_str(), interface.c_str(),
                                signal.c_str(), parameters, nullptr);
}

void FakeBusService::vanish() {
  g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
}

void FakeBusService::onMethod(Method method) {
  std::lock_guard lock(mutex_);
  method_ = std::move(method);
}

}  // namespace nuvlet::test
