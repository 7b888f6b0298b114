#include "tests/linux_update/FakePackageKit.h"

#include <future>

#include "platform/linux/BusConnection.h"

namespace nuvlet::test {
namespace {

constexpr const char* kXml = R"(<node>
  <interface name="org.freedesktop.PackageKit">
    <method name="CreateTransaction"><arg type="o" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.PackageKit.Transaction">
    <method name="SetHints"><arg type="as" direction="in"/></method>
    <method name="RefreshCache"><arg type="b" direction="in"/></method>
    <method name="GetUpdates"><arg type="t" direction="in"/></method>
    <method name="UpdatePackages">
      <arg type="t" direction="in"/><arg type="as" direction="in"/>
    </method>
    <method name="Cancel"/>
    <signal name="Package"><arg type="u"/><arg type="s"/><arg type="s"/></signal>
    <signal name="ErrorCode"><arg type="u"/><arg type="s"/></signal>
    <signal name="Finished"><arg type="u"/><arg type="u"/></signal>
    <signal name="Destroy"/>
  </interface>
</node>)";
constexpr const char* kTransaction = "org.freedesktop.PackageKit.Transaction";

}  // namespace

FakePackageKit::FakePackageKit(const std::string& busAddress) {
  sync([&] {
    connection_ = linux_platform::connectToBus(busAddress.c_str(), nullptr, nullptr);
    if (connection_ == nullptr) return;
    node_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    static const GDBusInterfaceVTable daemon = {
        [](GDBusConnection* c, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
           GDBusMethodInvocation* invocation, gpointer p) {
          auto* self = static_cast<FakePackageKit*>(p);
          static const GDBusInterfaceVTable transaction = {
              [](GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                 const gchar* method, GVariant* parameters, GDBusMethodInvocation* inv,
                 gpointer q) {
                auto* fake = static_cast<FakePackageKit*>(q);
                gchar* args = g_variant_print(parameters, FALSE);
                std::optional<Script> script;
                {
                  std::lock_guard lock(fake->mutex_);
                  fake->calls_.push_back(std::string(method) + " " + args);
                  if (std::string(method) != "SetHints" && std::string(method) != "Cancel") {
                    script = fake->scripts_[method];
                  }
                }
                g_free(args);
                if (script && std::string(method) == "UpdatePackages" && script->exit == 1 &&
                    !script->hang && !script->vanish) {
                  fake->installed(parameters);
                }
                g_dbus_method_invocation_return_value(inv, nullptr);
                if (script) fake->play(path, *script);
              },
              nullptr,
              nullptr,
              {}};
          std::string path;
          {
            std::lock_guard lock(self->mutex_);
            path = "/" + std::to_string(++self->created_) + "_fake";
          }
          self->registrations_.push_back(g_dbus_connection_register_object(
              c, path.c_str(), self->node_->interfaces[1], &transaction, self, nullptr, nullptr));
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
        },
        nullptr,
        nullptr,
        {}};
    registrations_.push_back(
        g_dbus_connection_register_object(connection_, "/org/freedesktop/PackageKit",
                                          node_->interfaces[0], &daemon, this, nullptr, nullptr));
  });
}

FakePackageKit::~FakePackageKit() {
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

void FakePackageKit::sync(std::function<void()> fn) {
  std::promise<void> done;
  thread_.invoke([&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

bool FakePackageKit::own() {
  guint32 result = 0;
  sync([&] {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.PackageKit", 0u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) g_variant_get(reply, "(u)", &result);
    if (reply) g_variant_unref(reply);
  });
  return result == 1;
}

void FakePackageKit::script(const std::string& method, Script script) {
  std::lock_guard lock(mutex_);
  scripts_[method] = std::move(script);
}

std::vector<std::string> FakePackageKit::calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakePackageKit::transactionsCreated() {
  std::lock_guard lock(mutex_);
  return created_;
}

// What the daemon shows once an update is in: it is no longer offered.
void FakePackageKit::installed(GVariant* parameters) {
  std::lock_guard lock(mutex_);
  GVariantIter* ids = nullptr;
  g_variant_get(parameters, "(tas)", nullptr, &ids);
  const gchar* id = nullptr;
  auto& offered = scripts_["GetUpdates"].packages;
  while (g_variant_iter_next(ids, "&s", &id)) {
    std::erase_if(offered, [&](const auto& p) { return p.second == id; });
  }
  g_variant_iter_free(ids);
}

// Service thread, right after the method's reply.
void FakePackageKit::play(const std::string& path, const Script& script) {
  auto emit = [&](const char* signal, GVariant* parameters) {
    g_dbus_connection_emit_signal(connection_, nullptr, path.c_str(), kTransaction, signal,
                                  parameters, nullptr);
  };
  for (const auto& [info, id] : script.packages) {
    emit("Package", g_variant_new("(uss)", info, id.c_str(), "summary"));
  }
  if (script.vanish) {
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    return;
  }
  if (script.hang) return;
  if (script.error) {
    emit("ErrorCode", g_variant_new("(us)", script.error->first, script.error->second.c_str()));
  }
  emit("Finished", g_variant_new("(uu)", script.exit, 10u));
  emit("Destroy", nullptr);
}

}  // namespace nuvlet::test
