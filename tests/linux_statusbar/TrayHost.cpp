#include "tests/linux_statusbar/TrayHost.h"

namespace nuvlet::test {
namespace {

constexpr const char* kWatcherXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>)xml";

}  // namespace

TrayHost::~TrayHost() {
  for (auto* invocation : held) g_object_unref(invocation);
}

bool TrayHost::start() {
  peer_.exportObject(
      "/StatusNotifierWatcher", kWatcherXml,
      [this](const std::string& method, GVariant* parameters, GDBusMethodInvocation* invocation) {
        if (method != "RegisterStatusNotifierItem") {
          g_dbus_method_invocation_return_value(invocation, nullptr);
          return;
        }
        const gchar* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        if (holdRegistrations) {
          held.push_back(static_cast<GDBusMethodInvocation*>(g_object_ref(invocation)));
          return;
        }
        // A path instead of a name means "the sender, at this path".
        registered.push_back(service[0] == '/' ? g_dbus_method_invocation_get_sender(invocation)
                                               : service);
        g_dbus_method_invocation_return_value(invocation, nullptr);
      },
      [this](const std::string& name) -> GVariant* {
        if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(hostRegistered_);
        if (name == "ProtocolVersion") return g_variant_new_int32(0);
        if (name != "RegisteredStatusNotifierItems") return nullptr;
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
        for (auto& r : registered) g_variant_builder_add(&b, "s", r.c_str());
        return g_variant_builder_end(&b);
      });
  return peer_.own("org.kde.StatusNotifierWatcher");
}

BusPeer::Reply TrayHost::item(const std::string& busName, const std::string& method,
                              GVariant* parameters) {
  return peer_.call(busName, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method,
                    parameters);
}

BusPeer::Reply TrayHost::menu(const std::string& busName, const std::string& method,
                              GVariant* parameters) {
  return peer_.call(busName, "/MenuBar", "com.canonical.dbusmenu", method, parameters);
}

VariantPtr TrayHost::properties(const std::string& busName) {
  auto reply = peer_.call(busName, "/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                          "GetAll", g_variant_new("(s)", "org.kde.StatusNotifierItem"));
  return reply.ok() ? adopt(g_variant_get_child_value(reply.value.get(), 0)) : nullptr;
}

}  // namespace nuvlet::test
