#include "tests/harness/FakeBusService.h"

#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <future>

#include "platform/linux/session/BusConnection.h"

namespace nuvlet::test {
namespace {

constexpr const char* kLogindXml = R"(<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
  </interface>
</node>)";

constexpr const char* kProxyXml = R"(<node>
  <interface name="net.hadess.SensorProxy">
    <method name="ClaimLight"/>
    <method name="ReleaseLight"/>
    <property name="HasAmbientLight" type="b" access="read"/>
    <property name="LightLevelUnit" type="s" access="read"/>
    <property name="LightLevel" type="d" access="read"/>
  </interface>
</node>)";

}  // namespace

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
      [](GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* name,
         GError** error, gpointer p) -> GVariant* {
        auto* self = static_cast<FakeBusService*>(p);
        std::lock_guard lock(self->mutex_);
        auto it = self->properties_.find(std::string(interface) + "." + name);
        if (it == self->properties_.end()) {
          g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no %s", name);
          return nullptr;
        }
        return g_variant_ref(it->second);
      },
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
  for (auto& [name, value] : properties_) g_variant_unref(value);
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

void FakeBusService::setProperty(const std::string& interface, const std::string& name,
                                 GVariant* value, bool announce) {
  g_variant_ref_sink(value);
  {
    std::lock_guard lock(mutex_);
    auto& slot = properties_[interface + "." + name];
    if (slot != nullptr) g_variant_unref(slot);
    slot = value;
  }
  if (!announce) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", name.c_str(), value);
  emit("org.freedesktop.DBus.Properties", "PropertiesChanged",
       g_variant_new("(sa{sv}as)", interface.c_str(), &changed, nullptr));
}

void FakeBusService::emit(const std::string& interface, const std::string& signal,
                          GVariant* parameters) {
  g_variant_ref_sink(parameters);
  sync([&] {
    emitFrom(path_, interface, signal, parameters);
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
  });
  g_variant_unref(parameters);
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

FakeLogind::FakeLogind(const std::string& address)
    : FakeBusService(address, "/org/freedesktop/login1", kLogindXml) {
  onMethod([this](const std::string&, GVariant*, GDBusMethodInvocation* call) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      g_dbus_method_invocation_return_dbus_error(call, "org.test.Failed", "pipe");
      return;
    }
    GUnixFDList* list = g_unix_fd_list_new_from_array(&fds[1], 1);  // takes the write end
    {
      std::lock_guard lock(fdMutex_);
      inhibitors_.push_back(fds[0]);
    }
    g_dbus_method_invocation_return_value_with_unix_fd_list(call, g_variant_new("(h)", 0), list);
    g_object_unref(list);
  });
}

FakeLogind::~FakeLogind() {
  onMethod({});
  std::lock_guard lock(fdMutex_);
  for (int fd : inhibitors_) ::close(fd);
}

std::vector<int> FakeLogind::inhibitors() {
  std::lock_guard lock(fdMutex_);
  return inhibitors_;
}

void FakeLogind::prepareForSleep(bool sleeping) {
  emit("org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", sleeping));
}

FakeSensorProxy::FakeSensorProxy(const std::string& address, double lux)
    : FakeBusService(address, "/net/hadess/SensorProxy", kProxyXml) {
  setProperty(kInterface, "HasAmbientLight", g_variant_new_boolean(TRUE), false);
  setProperty(kInterface, "LightLevelUnit", g_variant_new_string("lux"), false);
  setProperty(kInterface, "LightLevel", g_variant_new_double(lux), false);
}

}  // namespace nuvlet::test
