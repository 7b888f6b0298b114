#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/Servers.h"

namespace nuvlet::test {
namespace {

using linux_platform::makeStatusNotifierBar;

MenuItem action(
    const std::string& label, std::function<void()> activate = [] {}) {
  MenuItem item;
  item.label = label;
  item.activate = std::move(activate);
  return item;
}

// label (or "-" for a separator) -> id and properties, of a GetLayout reply's tree.
struct Layout {
  std::uint32_t revision = 0;
  std::map<std::string, std::int32_t> ids;
  std::map<std::string, VariantPtr> props;
  std::vector<std::string> top;  // the root's children
};

void walk(GVariant* node, Layout& out, bool top) {
  gint32 id = 0;
  GVariant* props = nullptr;
  GVariant* children = nullptr;
  g_variant_get(node, "(i@a{sv}@av)", &id, &props, &children);
  const gchar* label = "";
  g_variant_lookup(props, "label", "&s", &label);
  const gchar* type = "";
  std::string key = g_variant_lookup(props, "type", "&s", &type) ? "-" : label;
  if (id != 0) {
    out.ids[key] = id;
    out.props[key] = adopt(g_variant_ref(props));
    if (top) out.top.push_back(key);
  }
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    VariantPtr child = adopt(g_variant_get_child_value(children, i));
    VariantPtr inner = adopt(g_variant_get_variant(child.get()));
    walk(inner.get(), out, id == 0);
  }
  g_variant_unref(props);
  g_variant_unref(children);
}

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
    bar = makeStatusNotifierBar(loop, {bus.address(), [this] { return alternate; }, 15.0});
  }

  std::unique_ptr<TrayHost> startHost(bool hostRegistered = true) {
    auto host = std::make_unique<TrayHost>(bus.address(), hostRegistered);
    EXPECT_TRUE(host->start());
    return host;
  }

  // An item registered with a running host; its bus name.
  std::string registeredItem(TrayHost& host, std::unique_ptr<StatusItem>& item,
                             const std::string& id = "brightness") {
    std::size_t before = host.registered.size();
    item = bar->addItem(id);
    return host.waitForRegistrations(before + 1) ? host.registered.back() : "";
  }

  Layout layout(TrayHost& host, const std::string& name) {
    auto reply = host.menu(name, "GetLayout", g_variant_new_parsed("(0, -1, @as [])"));
    Layout out;
    if (!reply.ok()) return out;
    GVariant* tree = nullptr;
    g_variant_get(reply.value.get(), "(u@(ia{sv}av))", &out.revision, &tree);
    walk(tree, out, true);
    g_variant_unref(tree);
    return out;
  }

  BusPeer::Reply click(TrayHost& host, const std::string& name, std::int32_t id,
                       const char* event = "clicked") {
    return host.menu(name, "Event", g_variant_new("(isvu)", id, event, g_variant_new_int32(0), 0u));
  }

  bool nameOwned(TrayHost& host, const std::string& name) {
    auto r =
        host.peer().call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", g_variant_new("(s)", name.c_str()));
    gboolean owned = TRUE;
    if (r.ok()) g_variant_get(r.value.get(), "(b)", &owned);
    return owned;
  }

  DbusDaemon bus;
  sim::VirtualRunLoop loop;
  bool alternate = false;
  std::unique_ptr<StatusBar> bar;
};

// A running host with one item registered.
class TrayItem : public Tray {
 protected:
  void SetUp() override {
    Tray::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(host.start());
    name = registeredItem(host, item);
    ASSERT_FALSE(name.empty());
  }
  TrayHost host{bus.address()};
  std::unique_ptr<StatusItem> item;
  std::string name;
};

TEST_F(Tray, AnItemRegistersWithLateOrRestartedWatchersEvenOneThatVanishedMidCall) {
  auto item = bar->addItem("brightness");
  EXPECT_FALSE(bar->hostAvailable());
  auto host = std::make_unique<TrayHost>(bus.address());
  host->holdRegistrations = true;
  ASSERT_TRUE(host->start());
  ASSERT_TRUE(pumpUntil([&] { return host->held.size() == 1; }));
  host->stop();  // gone without answering

  host = startHost();
  ASSERT_TRUE(host->waitForRegistrations(1));
  const std::string name = host->registered[0];
  EXPECT_EQ(name.rfind(':', 0), 0u) << "registered by its unique name: " << name;
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
  host->stop();
  EXPECT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  host = startHost();
  ASSERT_TRUE(host->waitForRegistrations(1));
  EXPECT_EQ(host->registered[0], name);
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
}

TEST_F(TrayItem, TheHostReadsTitleToolTipMenuAndAnIconInNetworkByteOrder) {
  item->setIcon({Pixmap{2, 1, {0x80FF4020u, 0x01020304u}},
                 Pixmap{2, 2, {0xFFFFFFFFu}},  // fewer words than pixels: dropped
                 Pixmap{1, 1, {0xFF000000u}}});
  item->setTitle("Brightness");
  item->setToolTip("Brightness", "50%");
  auto props = host.properties(name);
  ASSERT_NE(props, nullptr);
  const std::pair<const char*, const char*> expected[] = {
      {"IconPixmap",
       "[(2, 1, [0x80, 0xff, 0x40, 0x20, 0x01, 0x02, 0x03, 0x04]), (1, 1, [0xff, 0x00, 0x00, "
       "0x00])]"},
      {"IconName", "''"},
      {"Title", "'Brightness'"},
      {"Id", "'nuvlet-brightness'"},
      {"Status", "'Active'"},
      {"Category", "'Hardware'"},
      {"Menu", "'/MenuBar'"},
      {"ItemIsMenu", "true"},
      {"ToolTip", "('', [], 'Brightness', '50%')"}};
  for (auto [key, value] : expected) EXPECT_EQ(printed(lookup(props.get(), key).get()), value);
}

TEST_F(TrayItem, ScrollsAndClicksReachTheirCallbacks) {
  // Before any callbacks are set every call is still answered.
  EXPECT_TRUE(host.item(name, "Activate", g_variant_new("(ii)", 5, 5)).ok());

  std::vector<double> scrolls;
  int activate = 0, secondary = 0, context = 0;
  StatusItem::Callbacks c;
  c.onScroll = [&](double d) { scrolls.push_back(d); };
  c.onActivate = [&] { ++activate; };
  c.onSecondaryActivate = [&] { ++secondary; };
  c.onContextMenu = [&] { ++context; };
  item->setCallbacks(c);
  // Both hosts' conventions, a horizontal scroll (dropped) and the extreme of the wire type.
  const std::pair<gint32, const char*> events[] = {
      {120, "Vertical"}, {1, "vertical"}, {3, "horizontal"}, {INT_MIN, "Vertical"}};
  for (auto [delta, orientation] : events) {
    EXPECT_TRUE(host.item(name, "Scroll", g_variant_new("(is)", delta, orientation)).ok());
    loop.advance(1);
  }
  EXPECT_EQ(scrolls, (std::vector<double>{-10, 10, 20}));
  EXPECT_FALSE(host.item(name, "Scroll", g_variant_new("(ii)", 1, 2)).ok());  // wrong types

  EXPECT_TRUE(host.item(name, "Activate", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "XAyatanaSecondaryActivate", g_variant_new("(u)", 7u)).ok());
  EXPECT_TRUE(host.item(name, "ContextMenu", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "ProvideXdgActivationToken", g_variant_new("(s)", "t")).ok());
  EXPECT_EQ(activate, 1);
  EXPECT_EQ(secondary, 2);
  EXPECT_EQ(context, 1);
}

TEST_F(TrayItem, AMiddleClickOrAMenuEntryMayRemoveItsOwnItem) {
  for (bool fromMenu : {false, true}) {
    SCOPED_TRACE(fromMenu ? "menu entry" : "middle click");
    StatusItem::Callbacks callbacks;
    callbacks.onSecondaryActivate = [&] { item.reset(); };
    callbacks.menu = [&](bool) { return Menu{action("Hide", [&] { item.reset(); })}; };
    item->setCallbacks(callbacks);
    if (fromMenu) {
      EXPECT_TRUE(click(host, name, layout(host, name).ids["Hide"]).ok());
    } else {
      EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 1, 1)).ok());
    }
    EXPECT_EQ(item, nullptr);
    // The host calling the vanished item gets an error, nothing worse.
    EXPECT_TRUE(pumpUntil([&] { return !nameOwned(host, name); }));
    EXPECT_FALSE(host.item(name, "Activate", g_variant_new("(ii)", 1, 1)).ok());
    EXPECT_FALSE(host.menu(name, "AboutToShow", g_variant_new("(i)", 0)).ok());
    // A new item takes its place.
    const std::string old = name;
    name = registeredItem(host, item, fromMenu ? "volume" : "brightness");
    ASSERT_FALSE(name.empty());
    EXPECT_NE(name, old);
  }
}

}  // namespace
}  // namespace nuvlet::test
