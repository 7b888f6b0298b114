#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/platform/Log.h"
#include "platform/linux/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_statusbar/BusPeer.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/RestartableDbusDaemon.h"
#include "tests/support/Servers.h"

namespace nuvlet::test {
namespace {

using linux_platform::makeStatusNotifierBar;

// What an item's callbacks saw.
struct Seen {
  std::vector<double> scrolls;
  int activate = 0;
  int secondary = 0;
  int context = 0;
  std::vector<bool> menus;  // `alternate` of each build
};

StatusItem::Callbacks recordInto(Seen& seen) {
  StatusItem::Callbacks c;
  c.onScroll = [&seen](double d) { seen.scrolls.push_back(d); };
  c.onActivate = [&seen] { ++seen.activate; };
  c.onSecondaryActivate = [&seen] { ++seen.secondary; };
  c.onContextMenu = [&seen] { ++seen.context; };
  return c;
}

MenuItem action(
    const std::string& label, std::function<void()> activate = [] {}) {
  MenuItem item;
  item.label = label;
  item.activate = std::move(activate);
  return item;
}

// label -> id, and label -> properties, of a GetLayout reply's tree.
struct Layout {
  std::uint32_t revision = 0;
  std::map<std::string, std::int32_t> ids;
  std::map<std::string, VariantPtr> props;
  std::vector<std::string> top;  // labels (or "-" for separators) of the root's children
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
    GVariant* child = g_variant_get_child_value(children, i);
    GVariant* inner = g_variant_get_variant(child);
    walk(inner, out, id == 0);
    g_variant_unref(inner);
    g_variant_unref(child);
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

  // An item registered with a running host; its bus name.
  std::string registeredItem(TrayHost& host, std::unique_ptr<StatusItem>& item,
                             const std::string& id = "brightness") {
    std::size_t before = host.registered.size();
    item = bar->addItem(id);
    if (!host.waitForRegistrations(before + 1)) return "";
    return host.registered.back();
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

  bool aboutToShow(TrayHost& host, const std::string& name) {
    auto reply = host.menu(name, "AboutToShow", g_variant_new("(i)", 0));
    gboolean update = FALSE;
    if (reply.ok()) g_variant_get(reply.value.get(), "(b)", &update);
    return update;
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

  int noticeLines() const { return logged.count("no tray"); }

  DbusDaemon bus;
  sim::VirtualRunLoop loop;
  bool alternate = false;
  LogCapture logged;
  std::unique_ptr<StatusBar> bar;
};

TEST_F(Tray, AnItemRegistersWithALateWatcherAndAgainAfterItRestarts) {
  auto item = bar->addItem("brightness");
  EXPECT_FALSE(bar->hostAvailable());

  auto host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  ASSERT_TRUE(host->waitForRegistrations(1));
  const std::string name = host->registered[0];
  EXPECT_EQ(name.rfind("org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-", 0), 0u);
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));

  host->stop();
  EXPECT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  ASSERT_TRUE(host->waitForRegistrations(1));
  EXPECT_EQ(host->registered[0], name);
  EXPECT_NE(host->properties(name), nullptr);
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
}

TEST_F(Tray, TheHostReadsTitleToolTipMenuAndAnIconInNetworkByteOrder) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  item->setIcon({Pixmap{2, 1, {0x80FF4020u, 0x01020304u}},
                 Pixmap{2, 2, {0xFFFFFFFFu}},  // fewer words than pixels: dropped
                 Pixmap{1, 1, {0xFF000000u}}});
  item->setTitle("Brightness");
  item->setToolTip("Brightness", "50%");

  auto props = host.properties(name);
  ASSERT_NE(props, nullptr);
  auto pixmaps = lookup(props.get(), "IconPixmap");
  ASSERT_NE(pixmaps, nullptr);
  ASSERT_EQ(g_variant_n_children(pixmaps.get()), 2u);
  gint32 w = 0;
  gint32 h = 0;
  GVariant* bytes = nullptr;
  g_variant_get_child(pixmaps.get(), 0, "(ii@ay)", &w, &h, &bytes);
  gsize n = 0;
  auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &n, 1));
  EXPECT_EQ(w, 2);
  EXPECT_EQ(h, 1);
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + n),
            (std::vector<std::uint8_t>{0x80, 0xFF, 0x40, 0x20, 0x01, 0x02, 0x03, 0x04}));
  g_variant_unref(bytes);

  auto text = [&](const char* key) {
    auto v = lookup(props.get(), key);
    return v && g_variant_is_of_type(v.get(), G_VARIANT_TYPE_STRING)
               ? std::string(g_variant_get_string(v.get(), nullptr))
               : std::string("<missing>");
  };
  EXPECT_EQ(text("IconName"), "");
  EXPECT_EQ(text("Title"), "Brightness");
  EXPECT_EQ(text("Id"), "nuvlet-brightness");
  EXPECT_EQ(text("Status"), "Active");
  EXPECT_EQ(text("Category"), "Hardware");
  auto menuPath = lookup(props.get(), "Menu");
  ASSERT_NE(menuPath, nullptr);
  EXPECT_STREQ(g_variant_get_string(menuPath.get(), nullptr), "/MenuBar");
  auto isMenu = lookup(props.get(), "ItemIsMenu");
  ASSERT_NE(isMenu, nullptr);
  EXPECT_TRUE(g_variant_get_boolean(isMenu.get()));
  auto tip = lookup(props.get(), "ToolTip");
  ASSERT_NE(tip, nullptr);
  const gchar* tipTitle = nullptr;
  const gchar* tipText = nullptr;
  g_variant_get(tip.get(), "(&sa(iiay)&s&s)", nullptr, nullptr, &tipTitle, &tipText);
  EXPECT_STREQ(tipTitle, "Brightness");
  EXPECT_STREQ(tipText, "50%");
}

TEST_F(Tray, ChangesAreAnnouncedOnlyWhenSomethingChanged) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  host.peer().clearSignals();

  // The poll redraws four times a second; the host should hear of real changes only.
  for (int i = 0; i < 3; ++i) {
    item->setIcon({Pixmap{1, 1, {0xFF102030u}}});
    item->setTitle("Brightness");
    item->setToolTip("Brightness", "50%");
  }
  item->setToolTip("Brightness", "55%");
  // Signals and replies from one connection arrive in order: a call is a barrier.
  ASSERT_NE(host.properties(name), nullptr);
  EXPECT_EQ(host.peer().count("NewIcon"), 1);
  EXPECT_EQ(host.peer().count("NewTitle"), 1);
  EXPECT_EQ(host.peer().count("NewToolTip"), 2);
}

TEST_F(Tray, ScrollsOfEveryHostConventionArriveNormalised) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  Seen seen;
  item->setCallbacks(recordInto(seen));

  struct Event {
    gint32 delta;
    const char* orientation;
  };
  const Event events[] = {{120, "Vertical"}, {-1, "vertical"},      {1, "vertical"},
                          {0, "vertical"},   {3, "horizontal"},     {-120, "Horizontal"},
                          {1, "sideways"},   {INT_MAX, "vertical"}, {INT_MIN, "Vertical"}};
  for (const Event& e : events) {
    EXPECT_TRUE(host.item(name, "Scroll", g_variant_new("(is)", e.delta, e.orientation)).ok());
    loop.advance(1);
  }
  EXPECT_EQ(seen.scrolls, (std::vector<double>{-10, -10, 10, 20, 20}));

  // A touchpad burst on a host that makes every event a notch.
  seen.scrolls.clear();
  for (int i = 0; i < 6; ++i) host.item(name, "Scroll", g_variant_new("(is)", -1, "vertical"));
  loop.advance(1);
  EXPECT_EQ(seen.scrolls, (std::vector<double>{-10, -20}));
}

TEST_F(Tray, ClicksReachTheirCallbacksAndMayRemoveTheItem) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  // Before any callbacks are set every call is still answered.
  EXPECT_TRUE(host.item(name, "Activate", g_variant_new("(ii)", 5, 5)).ok());

  Seen seen;
  item->setCallbacks(recordInto(seen));
  EXPECT_TRUE(host.item(name, "Activate", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "XAyatanaSecondaryActivate", g_variant_new("(u)", 7u)).ok());
  EXPECT_TRUE(host.item(name, "ContextMenu", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "ProvideXdgActivationToken", g_variant_new("(s)", "t")).ok());
  EXPECT_EQ(seen.activate, 1);
  EXPECT_EQ(seen.secondary, 2);
  EXPECT_EQ(seen.context, 1);
  EXPECT_FALSE(host.item(name, "Scroll", g_variant_new("(ii)", 1, 2)).ok());  // wrong types

  // A middle click whose handler drops the item (as removing the volume item does).
  auto callbacks = recordInto(seen);
  callbacks.onSecondaryActivate = [&] { item.reset(); };
  item->setCallbacks(callbacks);
  EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 1, 1)).ok());
  EXPECT_EQ(item, nullptr);
  EXPECT_TRUE(pumpUntil([&] { return !nameOwned(host, name); }));
  EXPECT_FALSE(host.item(name, "Activate", g_variant_new("(ii)", 1, 1)).ok());
  EXPECT_FALSE(host.menu(name, "AboutToShow", g_variant_new("(i)", 0)).ok());
}

TEST_F(Tray, TheMenuIsRebuiltWhenOpenedWithTheModifierReadThen) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  Seen seen;
  auto callbacks = recordInto(seen);
  callbacks.menu = [&seen](bool alt) {
    seen.menus.push_back(alt);
    Menu menu{action("Deruzorar!"), MenuItem::separator()};
    if (alt) {
      MenuItem info = action("0 content buckets learned", nullptr);
      info.enabled = false;
      MenuItem calibration;
      calibration.kind = MenuItem::Kind::Submenu;
      calibration.label = "Calibration…";
      calibration.children = {info, action("Reset everything")};
      menu.push_back(action("Show Compensation Debug"));
      menu.push_back(calibration);
    }
    menu.push_back(action("Quit Nuvlet"));
    return menu;
  };
  item->setCallbacks(callbacks);

  // Hosts fetch the layout when the item registers, before anyone opens it.
  Layout first = layout(host, name);
  EXPECT_EQ(first.top, (std::vector<std::string>{"Deruzorar!", "-", "Quit Nuvlet"}));
  host.peer().clearSignals();

  alternate = true;
  EXPECT_TRUE(aboutToShow(host, name));
  Layout opened = layout(host, name);
  EXPECT_EQ(opened.revision, first.revision + 1);
  ASSERT_EQ(host.peer().count("LayoutUpdated"), 1);
  const auto& signal = host.peer().signals().back();
  guint32 revision = 0;
  gint32 parent = -1;
  g_variant_get(signal.parameters.get(), "(ui)", &revision, &parent);
  EXPECT_EQ(revision, opened.revision);
  EXPECT_EQ(parent, 0);
  EXPECT_EQ(opened.top, (std::vector<std::string>{"Deruzorar!", "-", "Show Compensation Debug",
                                                  "Calibration…", "Quit Nuvlet"}));
  EXPECT_EQ(opened.ids.at("Quit Nuvlet"), first.ids.at("Quit Nuvlet"));
  gboolean enabled = TRUE;
  EXPECT_TRUE(g_variant_lookup(opened.props.at("0 content buckets learned").get(), "enabled", "b",
                               &enabled));
  EXPECT_FALSE(enabled);
  const gchar* display = "";
  EXPECT_TRUE(
      g_variant_lookup(opened.props.at("Calibration…").get(), "children-display", "&s", &display));
  EXPECT_STREQ(display, "submenu");

  // Opened again with nothing changed: no update, no signal.
  EXPECT_FALSE(aboutToShow(host, name));
  // The group call, as the XFCE panel makes it, without the modifier.
  alternate = false;
  auto group = host.menu(name, "AboutToShowGroup", g_variant_new_parsed("([0, 4242],)"));
  ASSERT_TRUE(group.ok());
  EXPECT_EQ(printed(group.value.get()), std::string("([0], [4242])"));
  EXPECT_EQ(layout(host, name).top, first.top);
  EXPECT_EQ(host.peer().count("LayoutUpdated"), 2);
  EXPECT_EQ(seen.menus, (std::vector<bool>{false, true, true, false}));
}

TEST_F(Tray, EntriesAreClickedThroughEventAndEventGroup) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  bool muted = false;
  std::map<std::string, int> ran;
  int opened = 0;
  StatusItem::Callbacks callbacks;
  callbacks.menu = [&](bool) {
    ++opened;
    MenuItem mute = action("Mute", [&] {
      ++ran["Mute"];
      muted = !muted;
    });
    mute.toggle = MenuItem::Toggle::Check;
    mute.checked = muted;
    MenuItem info = action("Samples on-screen luminance", [&] { ++ran["info"]; });
    info.enabled = false;
    MenuItem style;
    style.kind = MenuItem::Kind::Submenu;
    style.label = "Icon Style";
    MenuItem pie = action("Pie", [&] { ++ran["Pie"]; });
    pie.toggle = MenuItem::Toggle::Radio;
    style.children = {pie};
    Menu menu{mute, MenuItem::separator(), info, style,
              action("Opened " + std::to_string(opened), [&] { ++ran["Opened"]; })};
    if (opened == 1) menu.push_back(action("Only once", [&] { ++ran["Only once"]; }));
    return menu;
  };
  item->setCallbacks(callbacks);
  Layout l = layout(host, name);
  ASSERT_EQ(l.ids.count("Mute"), 1u);
  EXPECT_EQ(printed(l.props["Pie"].get()),
            "{'label': <'Pie'>, 'toggle-state': <0>, 'toggle-type': <'radio'>}");

  EXPECT_TRUE(click(host, name, l.ids["Mute"]).ok());
  auto group = host.menu(name, "EventGroup",
                         g_variant_new_parsed("([(%i, 'clicked', <0>, uint32 0)],)", l.ids["Pie"]));
  ASSERT_TRUE(group.ok());
  EXPECT_EQ(printed(group.value.get()), std::string("([],)"));
  // Not clicks, or not clickable: nothing runs.
  EXPECT_TRUE(click(host, name, l.ids["Mute"], "hovered").ok());
  EXPECT_TRUE(click(host, name, l.ids["Icon Style"], "opened").ok());
  EXPECT_TRUE(click(host, name, l.ids["Samples on-screen luminance"]).ok());
  EXPECT_TRUE(click(host, name, l.ids["Icon Style"]).ok());
  EXPECT_TRUE(click(host, name, l.ids["-"]).ok());
  EXPECT_EQ(ran, (std::map<std::string, int>{{"Mute", 1}, {"Pie", 1}}));

  // Unknown ids: an error for Event, a list for EventGroup; the rest of the group runs.
  EXPECT_FALSE(click(host, name, 4242).ok());
  group = host.menu(name, "EventGroup",
                    g_variant_new_parsed("([(4242, 'clicked', <0>, uint32 0), (%i, 'clicked', "
                                         "<0>, uint32 0)],)",
                                         l.ids["Mute"]));
  ASSERT_TRUE(group.ok());
  EXPECT_EQ(printed(group.value.get()), std::string("([4242],)"));
  EXPECT_EQ(ran["Mute"], 2);

  // Reopened: the check mark and the count follow, announced as property changes; the
  // entry that has gone cannot be clicked any more.
  muted = true;
  host.peer().clearSignals();
  EXPECT_TRUE(aboutToShow(host, name));
  ASSERT_NE(host.properties(name), nullptr);  // barrier for the signals
  ASSERT_EQ(host.peer().count("ItemsPropertiesUpdated"), 1);
  std::string updated;
  for (const auto& s : host.peer().signals()) {
    if (s.member == "ItemsPropertiesUpdated") updated = printed(s.parameters.get());
  }
  EXPECT_NE(updated.find("(" + std::to_string(l.ids["Mute"]) +
                         ", {'label': <'Mute'>, "
                         "'toggle-state': <1>, 'toggle-type': <'checkmark'>})"),
            std::string::npos)
      << updated;
  EXPECT_NE(updated.find("'label': <'Opened 2'>"), std::string::npos) << updated;
  EXPECT_EQ(host.peer().count("LayoutUpdated"), 1);
  EXPECT_FALSE(click(host, name, l.ids["Only once"]).ok());
  EXPECT_EQ(ran.count("Only once"), 0u);
  Layout reopened = layout(host, name);
  EXPECT_EQ(reopened.ids["Mute"], l.ids["Mute"]);
  EXPECT_EQ(reopened.ids["Opened 2"], l.ids["Opened 1"]);
  EXPECT_TRUE(click(host, name, reopened.ids["Opened 2"]).ok());
  EXPECT_EQ(ran["Opened"], 1);
}

TEST_F(Tray, PropertiesCanBeAskedForOneByOneOrByGroup) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item);
  ASSERT_FALSE(name.empty());
  StatusItem::Callbacks callbacks;
  callbacks.menu = [](bool) {
    MenuItem tip = action("Start_at Login");
    tip.toolTip = "Starts with the session";
    return Menu{tip};
  };
  item->setCallbacks(callbacks);
  // The group call before any layout was asked for, as a host may make it.
  auto group = host.menu(name, "GetGroupProperties",
                         g_variant_new_parsed("(@ai [], ['label', 'accessible-desc'])"));
  ASSERT_TRUE(group.ok());
  EXPECT_EQ(printed(group.value.get()),
            std::string("([(0, {}), (1, {'accessible-desc': <'Starts with the session'>, "
                        "'label': <'Start__at Login'>})],)"));
  auto one = host.menu(name, "GetProperty", g_variant_new("(is)", 1, "label"));
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(printed(one.value.get()), std::string("(<'Start__at Login'>,)"));
  EXPECT_FALSE(host.menu(name, "GetProperty", g_variant_new("(is)", 1, "icon-name")).ok());
  EXPECT_FALSE(host.menu(name, "GetProperty", g_variant_new("(is)", 99, "label")).ok());
  EXPECT_FALSE(host.menu(name, "GetLayout", g_variant_new_parsed("(99, -1, @as [])")).ok());
  auto shallow = host.menu(name, "GetLayout", g_variant_new_parsed("(0, 0, ['type'])"));
  ASSERT_TRUE(shallow.ok());
  EXPECT_EQ(printed(shallow.value.get()), std::string("(1, (0, {}, []))"));
  auto version = host.peer().call(name, "/MenuBar", "org.freedesktop.DBus.Properties", "Get",
                                  g_variant_new("(ss)", "com.canonical.dbusmenu", "Version"));
  ASSERT_TRUE(version.ok());
  EXPECT_EQ(printed(version.value.get()), std::string("(<uint32 3>,)"));
}

TEST_F(Tray, AMenuActionMayRemoveItsOwnItem) {
  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  std::unique_ptr<StatusItem> item;
  auto name = registeredItem(host, item, "volume");
  ASSERT_FALSE(name.empty());
  StatusItem::Callbacks callbacks;
  callbacks.menu = [&](bool) {
    return Menu{action("Show Volume in Menu Bar", [&] { item.reset(); })};
  };
  item->setCallbacks(callbacks);
  Layout l = layout(host, name);
  EXPECT_TRUE(click(host, name, l.ids["Show Volume in Menu Bar"]).ok());
  EXPECT_EQ(item, nullptr);
  // The host opening the menu of the vanished item gets an error, nothing worse.
  EXPECT_TRUE(pumpUntil([&] { return !nameOwned(host, name); }));
  EXPECT_FALSE(host.menu(name, "AboutToShow", g_variant_new("(i)", 0)).ok());
  // A new item takes its place.
  std::unique_ptr<StatusItem> again;
  auto second = registeredItem(host, again, "volume");
  EXPECT_FALSE(second.empty());
  EXPECT_NE(second, name);
}

TEST_F(Tray, RegistrationSurvivesTheWatcherVanishingMidCall) {
  auto host = std::make_unique<TrayHost>(bus.address());
  host->holdRegistrations = true;
  ASSERT_TRUE(host->start());
  auto item = bar->addItem("brightness");
  ASSERT_TRUE(pumpUntil([&] { return host->held.size() == 1; }));
  host->stop();  // gone without answering
  host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  EXPECT_TRUE(host->waitForRegistrations(1));
}

TEST_F(Tray, WithoutATrayTheUserIsToldOnce) {
  NotificationServer notifications(bus.address());
  ASSERT_TRUE(notifications.start());
  auto item = bar->addItem("brightness");
  loop.advance(14);
  EXPECT_EQ(noticeLines(), 0);
  loop.advance(1.5);
  EXPECT_EQ(noticeLines(), 1);
  ASSERT_TRUE(pumpUntil([&] { return notifications.summaries.size() == 1; }));
  EXPECT_NE(notifications.summaries[0].find("no tray"), std::string::npos);

  // A tray that comes and goes later does not bring the notice back.
  auto host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  ASSERT_TRUE(host->waitForRegistrations(1));
  host.reset();
  EXPECT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  loop.advance(100);
  EXPECT_EQ(noticeLines(), 1);  // the notification is sent only with the line
}

TEST_F(Tray, ATrayThatComesInTimeOrRestartsQuicklyIsNoCauseForANotice) {
  NotificationServer notifications(bus.address());
  ASSERT_TRUE(notifications.start());
  auto item = bar->addItem("brightness");
  loop.advance(10);
  auto host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  ASSERT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
  loop.advance(10);
  host.reset();
  ASSERT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  loop.advance(5);
  host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  ASSERT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
  loop.advance(100);
  EXPECT_EQ(noticeLines(), 0);
  EXPECT_TRUE(notifications.summaries.empty());
}

TEST_F(Tray, AWatcherWithoutAHostIsNoTray) {
  // No notification server either: the line on stderr is all there is.
  TrayHost host(bus.address(), /*hostRegistered=*/false);
  ASSERT_TRUE(host.start());
  auto item = bar->addItem("brightness");
  ASSERT_TRUE(host.waitForRegistrations(1));
  ASSERT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  loop.advance(16);
  EXPECT_EQ(noticeLines(), 1);
  host.peer().emitSignal("/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                         "StatusNotifierHostRegistered", nullptr);
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
}

TEST(TrayBus, ItemsComeBackAfterTheBusRestarts) {
  LogCapture logged(/*verbose=*/true);
  RestartableDbusDaemon bus;
  ASSERT_TRUE(bus.start());
  sim::VirtualRunLoop loop;
  auto bar = makeStatusNotifierBar(loop, {bus.address(), {}, 15.0});
  auto host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  auto item = bar->addItem("brightness");
  ASSERT_TRUE(host->waitForRegistrations(1));
  ASSERT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));

  bus.stop();
  EXPECT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  host.reset();
  item->setTitle("Brightness");  // while there is no bus
  item->setIcon({Pixmap{1, 1, {0xFFFFFFFFu}}});
  loop.advance(1);  // reconnect attempts (bar and item) that find nothing
  EXPECT_TRUE(pumpUntil([&] { return logged.count("session bus: ") >= 2; }));
  EXPECT_FALSE(bar->hostAvailable());

  ASSERT_TRUE(bus.start());
  host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start());
  // The next attempts come after growing pauses; two minutes of them are plenty.
  for (int s = 0; s < 120 && host->registered.empty(); ++s) {
    loop.advance(1);
    pumpUntil([&] { return !host->registered.empty(); }, 0.05);
  }
  ASSERT_EQ(host->registered.size(), 1u);
  auto props = host->properties(host->registered[0]);
  ASSERT_NE(props, nullptr);
  auto title = lookup(props.get(), "Title");
  EXPECT_STREQ(g_variant_get_string(title.get(), nullptr), "Brightness");
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
}

}  // namespace
}  // namespace nuvlet::test
