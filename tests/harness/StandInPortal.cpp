#include "tests/harness/StandInPortal.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <string_view>
#include <vector>

#include "platform/linux/session/BusConnection.h"

namespace nuvlet::test {
namespace {

constexpr const char* kPath = "/org/freedesktop/portal/desktop";

constexpr const char* kXml = R"(<node>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="SelectSources">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="o" direction="out"/></method>
    <method name="Start">
      <arg type="o" direction="in"/><arg type="s" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="OpenPipeWireRemote">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="h" direction="out"/></method>
    <property name="version" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="AvailableSourceTypes" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
    <signal name="Closed"><arg type="a{sv}"/></signal>
  </interface>
  <interface name="org.freedesktop.portal.Settings">
  </interface>
  <interface name="org.freedesktop.impl.portal.PermissionStore">
    <method name="Lookup">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="a{sas}" direction="out"/><arg type="v" direction="out"/></method>
    <method name="Delete">
      <arg type="s" direction="in"/><arg type="s" direction="in"/></method>
  </interface>
</node>)";

constexpr const char* kStoreName = "org.freedesktop.impl.portal.PermissionStore";
constexpr const char* kStorePath = "/org/freedesktop/impl/portal/PermissionStore";

std::string senderPart(const char* sender) {
  std::string s = sender != nullptr ? sender : "";
  if (!s.empty() && s[0] == ':') s.erase(0, 1);
  std::replace(s.begin(), s.end(), '.', '_');
  return s;
}

std::string stringOption(GVariant* options, const char* key) {
  const char* value = nullptr;
  return g_variant_lookup(options, key, "&s", &value) && value != nullptr ? value : "";
}

}  // namespace

StandInPortal::StandInPortal(const std::string& busAddress, Options options,
                             std::function<std::uint32_t()> node, std::function<int()> connect)
    : options_(options), node_(std::move(node)), connect_(std::move(connect)) {
  sync([&] {
    connection_ = linux_platform::connectToBus(busAddress.c_str(), nullptr, nullptr);
    if (connection_ == nullptr) return;
    info_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar* method,
           GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
          static_cast<StandInPortal*>(self)->onMethod(path, method, parameters, invocation);
        },
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
           GError**, gpointer data) -> GVariant* {
          auto* self = static_cast<StandInPortal*>(data);
          const std::string name = property;
          if (name == "version") return g_variant_new_uint32(self->options_.version);
          if (name == "AvailableCursorModes")
            return g_variant_new_uint32(self->options_.cursorModes);
          return g_variant_new_uint32(1);
        },
        nullptr,
        {}};
    // Without ScreenCast the object still exists, as on a desktop whose portal lacks it.
    GDBusInterfaceInfo* iface = options_.version > 0 ? info_->interfaces[0] : info_->interfaces[2];
    registration_ = g_dbus_connection_register_object(connection_, kPath, iface, &vtable, this,
                                                      nullptr, nullptr);
    if (options_.permissionStore) {
      static const GDBusInterfaceVTable storeVtable = {
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
            static_cast<StandInPortal*>(self)->onStoreMethod(method, parameters, invocation);
          },
          nullptr,
          nullptr,
          {}};
      storeRegistration_ = g_dbus_connection_register_object(
          connection_, kStorePath, info_->interfaces[3], &storeVtable, this, nullptr, nullptr);
    }
  });
}

StandInPortal::~StandInPortal() {
  sync([&] {
    if (connection_ == nullptr) return;
    for (auto& [path, session] : sessions_) {
      g_dbus_connection_unregister_object(connection_, session.registration);
    }
    if (registration_ != 0) g_dbus_connection_unregister_object(connection_, registration_);
    if (storeRegistration_ != 0) {
      g_dbus_connection_unregister_object(connection_, storeRegistration_);
    }
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    g_dbus_node_info_unref(info_);
  });
}

void StandInPortal::sync(std::function<void()> fn) {
  std::promise<void> done;
  thread_.invoke([&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

bool StandInPortal::own() {
  std::vector<const char*> names{"org.freedesktop.portal.Desktop"};
  if (options_.permissionStore) names.push_back(kStoreName);
  bool owned = true;
  sync([&] {
    for (const char* name : names) {
      GVariant* reply =
          connection_ == nullptr
              ? nullptr
              : g_dbus_connection_call_sync(
                    connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name, 4u),
                    G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
      std::uint32_t result = 0;
      if (reply != nullptr) {
        g_variant_get(reply, "(u)", &result);
        g_variant_unref(reply);
      }
      owned = owned && result == 1;
    }
  });
  return owned;
}

void StandInPortal::onStoreMethod(const std::string& method, GVariant* parameters,
                                  GDBusMethodInvocation* invocation) {
  const char* table = nullptr;
  const char* id = nullptr;
  g_variant_get(parameters, "(&s&s)", &table, &id);
  bool held = false;
  {
    std::lock_guard lock(mutex_);
    held = std::string_view(table) == "screencast" && grants_.count(id) != 0;
    if (held && method == "Delete") grants_.erase(id);
  }
  if (!held) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.NotFound",
                                               (std::string("No entry for ") + id).c_str());
  } else if (method == "Delete") {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else {
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new_parsed("({'': ['yes']}, <('stand-in', uint32 1, <0>)>)"));
  }
}

void StandInPortal::setDialogAnswer(std::uint32_t answer) {
  std::lock_guard lock(mutex_);
  dialogAnswer_ = answer;
}

void StandInPortal::revokeAll() {
  std::lock_guard lock(mutex_);
  grants_.clear();
}

void StandInPortal::closeSessions() {
  sync([&] {
    std::vector<std::string> paths;
    for (auto& [path, session] : sessions_) paths.push_back(path);
    for (auto& path : paths) closeSession(path, true);
  });
}

StandInPortal::Seen StandInPortal::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::string StandInPortal::requestPath(GDBusMethodInvocation* invocation, GVariant* options) const {
  return std::string(kPath) + "/request/" +
         senderPart(g_dbus_method_invocation_get_sender(invocation)) + "/" +
         stringOption(options, "handle_token");
}

void StandInPortal::respond(GDBusMethodInvocation* invocation, const std::string& requestPath,
                            std::uint32_t code, GVariant* results) {
  const std::string sender = g_dbus_method_invocation_get_sender(invocation);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", requestPath.c_str()));
  if (results == nullptr) results = g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
  g_dbus_connection_emit_signal(connection_, sender.c_str(), requestPath.c_str(),
                                "org.freedesktop.portal.Request", "Response",
                                g_variant_new("(u@a{sv})", code, results), nullptr);
}

void StandInPortal::closeSession(const std::string& path, bool announce) {
  auto it = sessions_.find(path);
  if (it == sessions_.end()) return;
  g_dbus_connection_unregister_object(connection_, it->second.registration);
  sessions_.erase(it);
  {
    std::lock_guard lock(mutex_);
    --seen_.openSessions;
  }
  if (announce) {
    g_dbus_connection_emit_signal(
        connection_, nullptr, path.c_str(), "org.freedesktop.portal.Session", "Closed",
        g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        nullptr);
  }
}

void StandInPortal::onMethod(const std::string& object, const std::string& method,
                             GVariant* parameters, GDBusMethodInvocation* invocation) {
  if (method == "Close") {
    closeSession(object, false);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (method == "CreateSession") {
    GVariant* options = g_variant_get_child_value(parameters, 0);
    const std::string path = std::string(kPath) + "/session/" +
                             senderPart(g_dbus_method_invocation_get_sender(invocation)) + "/" +
                             stringOption(options, "session_handle_token");
    static const GDBusInterfaceVTable sessionVtable = {
        [](GDBusConnection*, const gchar*, const gchar* p, const gchar*, const gchar* m,
           GVariant* params, GDBusMethodInvocation* inv,
           gpointer self) { static_cast<StandInPortal*>(self)->onMethod(p, m, params, inv); },
        nullptr,
        nullptr,
        {}};
    Session session;
    session.registration = g_dbus_connection_register_object(
        connection_, path.c_str(), info_->interfaces[1], &sessionVtable, this, nullptr, nullptr);
    sessions_[path] = session;
    {
      std::lock_guard lock(mutex_);
      ++seen_.openSessions;
    }
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&results, "{sv}", "session_handle", g_variant_new_string(path.c_str()));
    respond(invocation, requestPath(invocation, options), 0, g_variant_builder_end(&results));
    g_variant_unref(options);
    return;
  }
  const char* sessionPath = nullptr;
  g_variant_get_child(parameters, 0, "&o", &sessionPath);
  auto session = sessions_.find(sessionPath);
  if (session == sessions_.end()) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.NotFound",
                                               "no such session");
    return;
  }
  if (method == "SelectSources") {
    GVariant* options = g_variant_get_child_value(parameters, 1);
    {
      std::lock_guard lock(mutex_);
      seen_.lastOptions.clear();
      for (const char* key : {"types", "cursor_mode", "persist_mode"}) {
        std::uint32_t value = 0;
        if (g_variant_lookup(options, key, "u", &value)) seen_.lastOptions[key] = value;
      }
      session->second.restoreToken = stringOption(options, "restore_token");
      seen_.lastHadToken = !session->second.restoreToken.empty();
      session->second.persistMode =
          seen_.lastOptions.count("persist_mode") != 0 ? seen_.lastOptions["persist_mode"] : 0;
    }
    respond(invocation, requestPath(invocation, options), 0, nullptr);
    g_variant_unref(options);
    return;
  }
  if (method == "Start") {
    GVariant* options = g_variant_get_child_value(parameters, 2);
    const std::string request = requestPath(invocation, options);
    g_variant_unref(options);
    std::uint32_t code = 0;
    std::string newToken;
    {
      std::lock_guard lock(mutex_);
      // A token restores once; a session started from it gets a new one.
      const bool restored = grants_.erase(session->second.restoreToken) != 0;
      if (!restored) {
        ++seen_.dialogs;
        code = dialogAnswer_;
      }
      if (code == 0) {
        ++seen_.starts;
        if (options_.version >= 4 && session->second.persistMode == 2) {
          newToken = "grant-" + std::to_string(++counter_);
          grants_.insert(newToken);
          seen_.issuedToken = newToken;
        }
      }
    }
    if (code != 0) {
      respond(invocation, request, code, nullptr);
      return;
    }
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    GVariantBuilder streams;
    g_variant_builder_init(&streams, G_VARIANT_TYPE("a(ua{sv})"));
    // The monitor as desktops describe it: where it is and how large.
    GVariantBuilder monitor;
    g_variant_builder_init(&monitor, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&monitor, "{sv}", "position", g_variant_new("(ii)", 1920, 0));
    g_variant_builder_add(&monitor, "{sv}", "size", g_variant_new("(ii)", 2560, 1440));
    g_variant_builder_add(&streams, "(u@a{sv})", node_(), g_variant_builder_end(&monitor));
    g_variant_builder_add(&results, "{sv}", "streams", g_variant_builder_end(&streams));
    if (!newToken.empty()) {
      g_variant_builder_add(&results, "{sv}", "restore_token",
                            g_variant_new_string(newToken.c_str()));
    }
    respond(invocation, request, 0, g_variant_builder_end(&results));
    return;
  }
  if (method == "OpenPipeWireRemote") {
    const int fd = connect_();
    if (fd < 0) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.Failed",
                                                 "no PipeWire");
      return;
    }
    GUnixFDList* fds = g_unix_fd_list_new();
    g_unix_fd_list_append(fds, fd, nullptr);
    ::close(fd);
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0),
                                                            fds);
    g_object_unref(fds);
    return;
  }
  g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                             method.c_str());
}

}  // namespace nuvlet::test
