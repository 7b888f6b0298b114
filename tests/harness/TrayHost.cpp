#include "tests/harness/TrayHost.h"

#include "platform/sim/VirtualRunLoop.h"

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

void collectMenuIds(GVariant* node, std::map<std::string, int>& ids) {
  gint32 id = 0;
  VariantPtr props, children;
  {
    GVariant *p = nullptr, *c = nullptr;
    g_variant_get(node, "(i@a{sv}@av)", &id, &p, &c);
    props = adopt(p);
    children = adopt(c);
  }
  const gchar* label = nullptr;
  if (g_variant_lookup(props.get(), "label", "&s", &label)) ids[label] = id;
  for (gsize i = 0; i < g_variant_n_children(children.get()); ++i) {
    VariantPtr child = adopt(g_variant_get_child_value(children.get(), i));
    collectMenuIds(adopt(g_variant_get_variant(child.get())).get(), ids);
  }
}

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

bool pumpUntil(sim::VirtualRunLoop& loop, const std::function<bool()>& done, double timeoutSeconds,
               double step) {
  return pumpUntil(
      [&] {
        loop.advance(step);
        return done();
      },
      timeoutSeconds);
}

std::string TrayHost::toolTip(const std::string& busName) {
  auto props = properties(busName);
  auto tip = props ? lookup(props.get(), "ToolTip") : nullptr;
  if (!tip) return "";
  const gchar* text = nullptr;
  g_variant_get(tip.get(), "(&sa(iiay)&s&s)", nullptr, nullptr, nullptr, &text);
  return text;
}

std::string TrayHost::itemTitled(const std::string& title) {
  // A copy: asking an item for its properties lets the next one register meanwhile.
  const std::vector<std::string> names = registered;
  for (const auto& name : names) {
    auto props = properties(name);
    auto value = props ? lookup(props.get(), "Title") : nullptr;
    if (value && g_variant_get_string(value.get(), nullptr) == title) return name;
  }
  return "";
}

std::map<std::string, int> TrayHost::menuIds(const std::string& busName) {
  menu(busName, "AboutToShowGroup", g_variant_new_parsed("([0],)"));
  auto layout = menu(busName, "GetLayout", g_variant_new_parsed("(0, -1, @as [])"));
  std::map<std::string, int> ids;
  if (!layout.ok()) return ids;
  VariantPtr tree = adopt(g_variant_get_child_value(layout.value.get(), 1));
  collectMenuIds(tree.get(), ids);
  return ids;
}

bool TrayHost::click(const std::string& busName, int id) {
  return menu(busName, "Event", g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u))
      .ok();
}

}  // namespace nuvlet::test
