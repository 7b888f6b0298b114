#include "platform/linux/tray/DbusMenuExporter.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "nuvlet/platform/Log.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kInterface = "com.canonical.dbusmenu";

constexpr const char* kIntrospection = R"xml(<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
  </interface>
</node>)xml";

GDBusInterfaceInfo* interfaceInfo() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  return node->interfaces[0];
}

GVariant* toVariant(const MenuLayout::Value& value) {
  if (auto* b = std::get_if<bool>(&value)) return g_variant_new_boolean(*b);
  if (auto* i = std::get_if<std::int32_t>(&value)) return g_variant_new_int32(*i);
  if (auto* keys = std::get_if<MenuLayout::Shortcut>(&value)) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("aas"));
    for (const auto& combination : *keys) {
      g_variant_builder_open(&builder, G_VARIANT_TYPE("as"));
      for (const auto& key : combination) g_variant_builder_add(&builder, "s", key.c_str());
      g_variant_builder_close(&builder);
    }
    return g_variant_builder_end(&builder);
  }
  return g_variant_new_string(std::get<std::string>(value).c_str());
}

std::vector<std::string> strings(GVariant* array) {
  std::vector<std::string> out;
  GVariantIter iter;
  g_variant_iter_init(&iter, array);
  const gchar* s = nullptr;
  while (g_variant_iter_next(&iter, "&s", &s)) out.emplace_back(s);
  return out;
}

std::vector<std::int32_t> ints(GVariant* array) {
  std::vector<std::int32_t> out;
  GVariantIter iter;
  g_variant_iter_init(&iter, array);
  gint32 i = 0;
  while (g_variant_iter_next(&iter, "i", &i)) out.push_back(i);
  return out;
}

GVariant* intArray(const std::vector<std::int32_t>& values) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("ai"));
  for (std::int32_t v : values) g_variant_builder_add(&builder, "i", v);
  return g_variant_builder_end(&builder);
}

void returnError(GDBusMethodInvocation* invocation, const std::string& message) {
  g_dbus_method_invocation_return_error_literal(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                                message.c_str());
}

}  // namespace

DbusMenuExporter::DbusMenuExporter(std::function<Menu()> build) : build_(std::move(build)) {}

DbusMenuExporter::~DbusMenuExporter() { detach(); }

bool DbusMenuExporter::attach(GDBusConnection* connection) {
  detach();
  static const GDBusInterfaceVTable vtable = {
      &DbusMenuExporter::methodCall, &DbusMenuExporter::getProperty, nullptr, {}};
  GError* error = nullptr;
  registration_ = g_dbus_connection_register_object(connection, kPath, interfaceInfo(), &vtable,
                                                    this, nullptr, &error);
  if (registration_ == 0) {
    log::debug(std::string("menu export: ") + error->message);
    g_error_free(error);
    return false;
  }
  connection_ = connection;
  g_object_ref(connection_);
  return true;
}

void DbusMenuExporter::detach() {
  if (!connection_) return;
  g_dbus_connection_unregister_object(connection_, registration_);
  g_object_unref(connection_);
  connection_ = nullptr;
  registration_ = 0;
}

bool DbusMenuExporter::rebuild() {
  bool first = !layout_.built();
  MenuLayout::Change change = layout_.rebuild(build_ ? build_() : Menu{});
  emitChange(change);
  return first || change.any();
}

void DbusMenuExporter::ensureBuilt() {
  if (!layout_.built()) rebuild();
}

void DbusMenuExporter::emitChange(const MenuLayout::Change& change) {
  if (!connection_ || !change.any()) return;
  if (!change.updated.empty() || !change.removed.empty()) {
    GVariantBuilder updated;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    for (std::int32_t id : change.updated) {
      g_variant_builder_add_value(
          &updated, g_variant_new("(i@a{sv})", id, properties(*layout_.find(id), {})));
    }
    GVariantBuilder removed;
    g_variant_builder_init(&removed, G_VARIANT_TYPE("a(ias)"));
    for (const auto& [id, names] : change.removed) {
      GVariantBuilder list;
      g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
      for (const auto& name : names) g_variant_builder_add(&list, "s", name.c_str());
      g_variant_builder_add(&removed, "(ias)", id, &list);
    }
    g_dbus_connection_emit_signal(connection_, nullptr, kPath, kInterface, "ItemsPropertiesUpdated",
                                  g_variant_new("(a(ia{sv})a(ias))", &updated, &removed), nullptr);
  }
  if (change.layout) {
    g_dbus_connection_emit_signal(connection_, nullptr, kPath, kInterface, "LayoutUpdated",
                                  g_variant_new("(ui)", layout_.revision(), 0), nullptr);
  }
}

GVariant* DbusMenuExporter::properties(const MenuLayout::Entry& entry,
                                       const std::vector<std::string>& names) const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (const auto& [name, value] : entry.properties) {
    if (!names.empty() && std::find(names.begin(), names.end(), name) == names.end()) continue;
    g_variant_builder_add(&builder, "{sv}", name.c_str(), toVariant(value));
  }
  return g_variant_builder_end(&builder);
}

GVariant* DbusMenuExporter::node(std::int32_t id, int depth,
                                 const std::vector<std::string>& names) const {
  const MenuLayout::Entry& entry = *layout_.find(id);
  GVariantBuilder children;
  g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
  if (depth != 0) {
    for (std::int32_t child : entry.children) {
      g_variant_builder_add(&children, "v", node(child, depth < 0 ? -1 : depth - 1, names));
    }
  }
  return g_variant_new("(i@a{sv}av)", id, properties(entry, names), &children);
}

std::function<void()> DbusMenuExporter::clickAction(std::int32_t id, const char* eventId) const {
  const MenuLayout::Entry* entry = layout_.find(id);
  if (!entry || std::string(eventId) != "clicked" || !entry->enabled) return {};
  return entry->activate;
}

void DbusMenuExporter::handle(const gchar* method, GVariant* parameters,
                              GDBusMethodInvocation* invocation) {
  const std::string name = method;
  ensureBuilt();

  if (name == "GetLayout") {
    gint32 parent = 0;
    gint32 depth = -1;
    GVariant* names = nullptr;
    g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
    std::vector<std::string> wanted = strings(names);
    g_variant_unref(names);
    if (!layout_.find(parent))
      return returnError(invocation, "no menu entry " + std::to_string(parent));
    g_dbus_method_invocation_return_value(
        invocation,
        g_variant_new("(u@(ia{sv}av))", layout_.revision(), node(parent, depth, wanted)));
    return;
  }

  if (name == "GetGroupProperties") {
    GVariant* idList = nullptr;
    GVariant* names = nullptr;
    g_variant_get(parameters, "(@ai@as)", &idList, &names);
    std::vector<std::int32_t> ids = ints(idList);
    std::vector<std::string> wanted = strings(names);
    g_variant_unref(idList);
    g_variant_unref(names);
    if (ids.empty()) {
      for (const auto& [id, entry] : layout_.entries()) ids.push_back(id);
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ia{sv})"));
    for (std::int32_t id : ids) {
      if (const MenuLayout::Entry* entry = layout_.find(id)) {
        g_variant_builder_add_value(&builder,
                                    g_variant_new("(i@a{sv})", id, properties(*entry, wanted)));
      }
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &builder));
    return;
  }

  if (name == "GetProperty") {
    gint32 id = 0;
    const gchar* property = nullptr;
    g_variant_get(parameters, "(i&s)", &id, &property);
    const MenuLayout::Entry* entry = layout_.find(id);
    if (!entry) return returnError(invocation, "no menu entry " + std::to_string(id));
    auto it = entry->properties.find(property);
    if (it == entry->properties.end()) {
      return returnError(invocation, std::string("no property ") + property);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", toVariant(it->second)));
    return;
  }

  if (name == "Event") {
    gint32 id = 0;
    const gchar* eventId = nullptr;
    GVariant* data = nullptr;
    guint32 timestamp = 0;
    g_variant_get(parameters, "(i&svu)", &id, &eventId, &data, &timestamp);
    g_variant_unref(data);
    if (!layout_.find(id)) return returnError(invocation, "no menu entry " + std::to_string(id));
    std::function<void()> action = clickAction(id, eventId);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (action) action();  // last: it may destroy this exporter
    return;
  }

  if (name == "EventGroup") {
    GVariantIter* events = nullptr;
    g_variant_get(parameters, "(a(isvu))", &events);
    std::vector<std::int32_t> unknown;
    std::vector<std::function<void()>> actions;
    gint32 id = 0;
    const gchar* eventId = nullptr;
    GVariant* data = nullptr;
    guint32 timestamp = 0;
    while (g_variant_iter_next(events, "(i&svu)", &id, &eventId, &data, &timestamp)) {
      g_variant_unref(data);
      if (!layout_.find(id)) {
        unknown.push_back(id);
      } else if (auto action = clickAction(id, eventId)) {
        actions.push_back(std::move(action));
      }
    }
    g_variant_iter_free(events);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", intArray(unknown)));
    // The actions are copies: they stay valid should one of them remove this menu.
    for (auto& action : actions) action();
    return;
  }

  if (name == "AboutToShow") {
    gint32 id = 0;
    g_variant_get(parameters, "(i)", &id);
    if (!layout_.find(id)) return returnError(invocation, "no menu entry " + std::to_string(id));
    bool changed = id == 0 && rebuild();
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", changed));
    return;
  }

  if (name == "AboutToShowGroup") {
    GVariant* idList = nullptr;
    g_variant_get(parameters, "(@ai)", &idList);
    std::vector<std::int32_t> ids = ints(idList);
    g_variant_unref(idList);
    std::vector<std::int32_t> unknown;
    bool root = false;
    for (std::int32_t id : ids) {
      if (!layout_.find(id)) unknown.push_back(id);
      if (id == 0) root = true;
    }
    std::vector<std::int32_t> updates;
    if (root && rebuild()) updates.push_back(0);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@ai@ai)", intArray(updates), intArray(unknown)));
    return;
  }

  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "no method %s", method);
}

GVariant* DbusMenuExporter::property(const gchar* name) const {
  const std::string p = name;
  if (p == "Version") return g_variant_new_uint32(3);
  if (p == "TextDirection") return g_variant_new_string("ltr");
  if (p == "Status") return g_variant_new_string("normal");
  if (p == "IconThemePath") return g_variant_new_strv(nullptr, 0);
  return nullptr;
}

void DbusMenuExporter::methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                  const gchar* method, GVariant* parameters,
                                  GDBusMethodInvocation* invocation, gpointer self) {
  static_cast<DbusMenuExporter*>(self)->handle(method, parameters, invocation);
}

GVariant* DbusMenuExporter::getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                        const gchar* name, GError** error, gpointer self) {
  GVariant* value = static_cast<DbusMenuExporter*>(self)->property(name);
  if (!value)
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
  return value;
}

}  // namespace nuvlet::linux_platform
