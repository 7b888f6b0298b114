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
#include "tests/support/RestartableDbusDaemon.h"
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
  EXPECT_EQ(name.rfind("org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-", 0), 0u);
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

TEST_F(TrayItem, ChangesAreAnnouncedOnlyWhenSomethingChanged) {
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

TEST_F(TrayItem, TheMenuIsRebuiltWhenOpenedWithTheModifierReadThen) {
  std::vector<bool> built;  // `alternate` of each build
  StatusItem::Callbacks callbacks;
  callbacks.menu = [&](bool alt) {
    built.push_back(alt);
    Menu menu{action("Deruzorar!"), MenuItem::separator()};
    if (alt) {
      MenuItem info = action("0 content buckets learned", nullptr);
      info.enabled = false;
      MenuItem calibration;
      calibration.kind = MenuItem::Kind::Submenu;
      calibration.label = "Calibration…";
      calibration.children = {info, action("Reset everything")};
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
  EXPECT_EQ(printed(host.peer().signals().back().parameters.get()),
            "(" + std::to_string(opened.revision) + ", 0)");
  EXPECT_EQ(opened.top,
            (std::vector<std::string>{"Deruzorar!", "-", "Calibration…", "Quit Nuvlet"}));
  EXPECT_EQ(opened.ids.at("Quit Nuvlet"), first.ids.at("Quit Nuvlet"));
  EXPECT_EQ(printed(lookup(opened.props.at("0 content buckets learned").get(), "enabled").get()),
            "false");
  EXPECT_EQ(printed(lookup(opened.props.at("Calibration…").get(), "children-display").get()),
            "'submenu'");

  EXPECT_FALSE(aboutToShow(host, name));  // nothing changed: no update, no signal
  EXPECT_EQ(host.peer().count("LayoutUpdated"), 1);
  EXPECT_EQ(built, (std::vector<bool>{false, true, true}));
}

TEST_F(TrayItem, EntriesAreClickedThroughEventAndEventGroupAndFollowReopening) {
  bool muted = false;
  std::map<std::string, int> ran;
  int opened = 0;
  StatusItem::Callbacks callbacks;
  callbacks.menu = [&](bool) {
    ++opened;
    MenuItem mute = action("Mute", [&] { ++ran["Mute"]; });
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
    return Menu{
        mute, MenuItem::separator(), info, style,
        action("Opened " + std::to_string(opened), [&, opened] { ran["Opened"] = opened; })};
  };
  item->setCallbacks(callbacks);
  Layout l = layout(host, name);
  ASSERT_EQ(l.ids.count("Mute"), 1u);
  EXPECT_EQ(printed(l.props["Pie"].get()),
            "{'label': <'Pie'>, 'toggle-state': <0>, 'toggle-type': <'radio'>}");

  EXPECT_TRUE(click(host, name, l.ids["Mute"]).ok());
  // Not clicks, or not clickable: nothing runs.
  EXPECT_TRUE(click(host, name, l.ids["Mute"], "hovered").ok());
  EXPECT_TRUE(click(host, name, l.ids["Samples on-screen luminance"]).ok());
  EXPECT_TRUE(click(host, name, l.ids["Icon Style"]).ok());
  EXPECT_TRUE(click(host, name, l.ids["-"]).ok());
  // Unknown ids: an error for Event, a list for EventGroup; the rest of the group runs.
  EXPECT_FALSE(click(host, name, 4242).ok());
  auto group = host.menu(name, "EventGroup",
                         g_variant_new_parsed("([(4242, 'clicked', <0>, uint32 0), (%i, 'clicked', "
                                              "<0>, uint32 0)],)",
                                              l.ids["Pie"]));
  ASSERT_TRUE(group.ok());
  EXPECT_EQ(printed(group.value.get()), "([4242],)");
  EXPECT_EQ(ran, (std::map<std::string, int>{{"Mute", 1}, {"Pie", 1}}));

  // Reopened: the check mark and the label follow as property changes, and the relabelled
  // entry runs its new action.
  muted = true;
  host.peer().clearSignals();
  EXPECT_TRUE(aboutToShow(host, name));
  ASSERT_NE(host.properties(name), nullptr);  // barrier for the signals
  ASSERT_EQ(host.peer().count("ItemsPropertiesUpdated"), 1);
  EXPECT_EQ(host.peer().count("LayoutUpdated"), 0);
  std::string updated;
  for (const auto& s : host.peer().signals()) {
    if (s.member == "ItemsPropertiesUpdated") updated = printed(s.parameters.get());
  }
  EXPECT_NE(
      updated.find("(" + std::to_string(l.ids["Mute"]) +
                   ", {'label': <'Mute'>, 'toggle-state': <1>, 'toggle-type': <'checkmark'>})"),
      std::string::npos)
      << updated;
  EXPECT_NE(updated.find("'label': <'Opened 2'>"), std::string::npos) << updated;
  EXPECT_TRUE(click(host, name, l.ids["Opened 1"]).ok());
  EXPECT_EQ(ran["Opened"], 2);
}

TEST_F(TrayItem, PropertiesCanBeAskedForOneByOneOrByGroup) {
  StatusItem::Callbacks callbacks;
  callbacks.menu = [](bool) {
    MenuItem tip = action("Start_at Login");
    tip.toolTip = "Starts with the session";
    MenuItem quit = action("Quit");
    quit.shortcut = "q";
    return Menu{tip, quit};
  };
  item->setCallbacks(callbacks);
  auto menu = [&](const char* method, GVariant* parameters) {
    auto r = host.menu(name, method, parameters);
    return r.ok() ? printed(r.value.get()) : "<error>";
  };
  // The group call before any layout was asked for, as a host may make it.
  EXPECT_EQ(
      menu("GetGroupProperties", g_variant_new_parsed("(@ai [], ['label', 'accessible-desc'])")),
      "([(0, {}), (1, {'accessible-desc': <'Starts with the session'>, "
      "'label': <'Start__at Login'>}), (2, {'label': <'Quit'>})],)");
  EXPECT_EQ(menu("GetProperty", g_variant_new("(is)", 1, "label")), "(<'Start__at Login'>,)");
  EXPECT_EQ(menu("GetProperty", g_variant_new("(is)", 2, "shortcut")), "(<[['Control', 'q']]>,)");
  EXPECT_EQ(menu("GetProperty", g_variant_new("(is)", 1, "icon-name")), "<error>");
  EXPECT_EQ(menu("GetProperty", g_variant_new("(is)", 99, "label")), "<error>");
  EXPECT_EQ(menu("GetLayout", g_variant_new_parsed("(99, -1, @as [])")), "<error>");
  EXPECT_EQ(menu("GetLayout", g_variant_new_parsed("(0, 0, ['type'])")), "(1, (0, {}, []))");
  auto version = host.peer().call(name, "/MenuBar", "org.freedesktop.DBus.Properties", "Get",
                                  g_variant_new("(ss)", "com.canonical.dbusmenu", "Version"));
  ASSERT_TRUE(version.ok());
  EXPECT_EQ(printed(version.value.get()), "(<uint32 3>,)");
}

TEST_F(Tray, WithoutATrayTheUserIsToldOnceAfterTheGracePeriod) {
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
  auto host = startHost();
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
  auto host = startHost();
  ASSERT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
  loop.advance(10);
  host.reset();
  ASSERT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  loop.advance(5);
  host = startHost();
  ASSERT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
  loop.advance(100);
  EXPECT_EQ(noticeLines(), 0);
  EXPECT_TRUE(notifications.summaries.empty());
}

TEST_F(Tray, AWatcherWithoutAHostIsNoTray) {
  auto host = startHost(/*hostRegistered=*/false);
  auto item = bar->addItem("brightness");
  ASSERT_TRUE(host->waitForRegistrations(1));
  ASSERT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  loop.advance(16);
  EXPECT_EQ(noticeLines(), 1);  // without a notification server the line is all there is
  host->peer().emitSignal("/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
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
  // Reconnect attempts (bar and item) that find nothing. Each link schedules its attempt
  // when it notices the loss, which may be after a first advance.
  auto failedAttempts = [&] { return logged.count("session bus: ") >= 2; };
  for (int s = 0; s < 60 && !failedAttempts(); ++s) {
    loop.advance(1);
    pumpUntil(failedAttempts, 0.1);
  }
  EXPECT_TRUE(failedAttempts());
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
  EXPECT_EQ(printed(lookup(props.get(), "Title").get()), "'Brightness'");
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
}

}  // namespace
}  // namespace nuvlet::test
