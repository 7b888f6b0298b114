#include <chrono>

#include "platform/linux/session/BusConnection.h"
#include "tests/harness/TrayHost.h"

namespace nuvlet::test {

VariantPtr adopt(GVariant* value) {
  return value ? VariantPtr(g_variant_take_ref(value), &g_variant_unref) : nullptr;
}

bool pumpUntil(const std::function<bool()>& done, double timeoutSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Wakes the blocking iteration if nothing else does.
    GSource* timeout = g_timeout_source_new(50);
    g_source_set_callback(
        timeout, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timeout, nullptr);
    g_main_context_iteration(nullptr, TRUE);
    g_source_destroy(timeout);
    g_source_unref(timeout);
  }
  return true;
}

BusPeer::BusPeer(const std::string& address) {
  connection_ = linux_platform::connectToBus(address.c_str(), nullptr, nullptr);
  if (!connection_) return;
  g_dbus_connection_set_exit_on_close(connection_, FALSE);
}

void BusPeer::close() {
  if (!connection_) return;
  for (guint id : owned_) g_bus_unown_name(id);
  owned_.clear();
  for (auto& e : exported_) {
    g_dbus_connection_unregister_object(connection_, e->id);
    g_dbus_node_info_unref(e->node);
  }
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  g_object_unref(connection_);
  connection_ = nullptr;
}

bool BusPeer::own(const std::string& name) {
  auto* state = new int(0);  // 1 acquired, -1 lost
  owned_.push_back(g_bus_own_name_on_connection(
      connection_, name.c_str(), G_BUS_NAME_OWNER_FLAGS_REPLACE,
      [](GDBusConnection*, const gchar*, gpointer s) { *static_cast<int*>(s) = 1; },
      [](GDBusConnection*, const gchar*, gpointer s) { *static_cast<int*>(s) = -1; }, state,
      [](gpointer s) { delete static_cast<int*>(s); }));
  return pumpUntil([&] { return *state != 0; }) && *state == 1;
}

void BusPeer::exportObject(const std::string& path, const char* introspectionXml,
                           MethodHandler methods, PropertyHandler properties) {
  auto e = std::make_unique<Exported>();
  e->node = g_dbus_node_info_new_for_xml(introspectionXml, nullptr);
  e->methods = std::move(methods);
  e->properties = std::move(properties);
  static const GDBusInterfaceVTable vtable = {
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
         GVariant* parameters, GDBusMethodInvocation* invocation,
         gpointer data) { static_cast<Exported*>(data)->methods(method, parameters, invocation); },
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
         GError** error, gpointer data) -> GVariant* {
        auto* exported = static_cast<Exported*>(data);
        GVariant* value = exported->properties ? exported->properties(name) : nullptr;
        if (!value) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "%s", name);
        return value;
      },
      nullptr,
      {}};
  e->id = g_dbus_connection_register_object(connection_, path.c_str(), e->node->interfaces[0],
                                            &vtable, e.get(), nullptr, nullptr);
  exported_.push_back(std::move(e));
}

BusPeer::Reply BusPeer::call(const std::string& destination, const std::string& path,
                             const std::string& interface, const std::string& method,
                             GVariant* parameters) {
  struct Pending {
    bool done = false;
    Reply reply;
  };
  auto pending = std::make_shared<Pending>();
  g_dbus_connection_call(
      connection_, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(), parameters,
      nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<Pending>> p(static_cast<std::shared_ptr<Pending>*>(data));
        (*p)->reply.value = adopt(g_dbus_connection_call_finish(
            reinterpret_cast<GDBusConnection*>(source), result, nullptr));
        (*p)->done = true;
      },
      new std::shared_ptr<Pending>(pending));
  pumpUntil([&] { return pending->done; }, 6);
  return pending->reply;
}

VariantPtr BusPeer::property(const std::string& destination, const std::string& path,
                             const std::string& interface, const std::string& name) {
  auto r = call(destination, path, "org.freedesktop.DBus.Properties", "Get",
                g_variant_new("(ss)", interface.c_str(), name.c_str()));
  if (!r.ok() || !g_variant_is_of_type(r.value.get(), G_VARIANT_TYPE("(v)"))) return nullptr;
  GVariant* inner = nullptr;
  g_variant_get(r.value.get(), "(v)", &inner);
  return adopt(inner);
}

std::optional<bool> BusPeer::hasOwner(const std::string& name) {
  auto r = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", g_variant_new("(s)", name.c_str()));
  if (!r.ok()) return std::nullopt;
  gboolean owned = FALSE;
  g_variant_get(r.value.get(), "(b)", &owned);
  return owned != FALSE;
}

std::string printed(GVariant* value) {
  if (!value) return "<missing>";
  gchar* text = g_variant_print(value, FALSE);
  std::string out = text;
  g_free(text);
  return out;
}

VariantPtr lookup(GVariant* dict, const char* name) {
  return adopt(g_variant_lookup_value(dict, name, nullptr));
}

}  // namespace nuvlet::test
