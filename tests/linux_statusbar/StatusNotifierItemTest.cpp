#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

using linux_platform::makeStatusNotifierBar;

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
    bar = makeStatusNotifierBar(
        loop, {bus.address(), [this] { return alternate; }, 15.0, themeDir.path().string()});
  }

  // An item registered with a running host; its bus name.
  std::string registeredItem(TrayHost& host, std::unique_ptr<StatusItem>& item,
                             const std::string& id = "brightness") {
    std::size_t before = host.registered.size();
    item = bar->addItem(id);
    return host.waitForRegistrations(before + 1) ? host.registered.back() : "";
  }

  DbusDaemon bus;
  sim::VirtualRunLoop loop;
  test::TempDir themeDir;  // holds one installed symbolic icon
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
  // One of the item's properties as the host reads it, in GVariant's text form.
  std::string property(const char* key) {
    auto props = host.properties(name);
    return props ? printed(lookup(props.get(), key).get()) : "<no properties>";
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

  host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start() && host->waitForRegistrations(1));
  const std::string name = host->registered[0];
  EXPECT_EQ(name.rfind(':', 0), 0u) << "registered by its unique name: " << name;
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
  host->stop();
  EXPECT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
  host = std::make_unique<TrayHost>(bus.address());
  ASSERT_TRUE(host->start() && host->waitForRegistrations(1));
  EXPECT_EQ(host->registered[0], name);
  EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
}

TEST_F(TrayItem, TheHostReadsTheMenuFlagAndAnIconInNetworkByteOrder) {
  item->setIcon({Pixmap{2, 1, {0x80FF4020u, 0x01020304u}},
                 Pixmap{2, 2, {0xFFFFFFFFu}},  // fewer words than pixels: dropped
                 Pixmap{1, 1, {0xFF000000u}}});
  EXPECT_EQ(property("IconPixmap"),
            "[(2, 1, [0x80, 0xff, 0x40, 0x20, 0x01, 0x02, 0x03, 0x04]), (1, 1, [0xff, 0x00, 0x00, "
            "0x00])]");
  EXPECT_EQ(property("ItemIsMenu"), "true");
}

// A name is published only when its icon is installed: a host asked for a missing icon
// could draw nothing instead of the pixmap.
TEST_F(TrayItem, AnInstalledSymbolicIconIsNamedWithItsThemePathAndAMissingOneIsNot) {
  themeDir.write("hicolor/scalable/status/nuvlet-volume-pie-050-symbolic.svg", "<svg/>");
  struct Case {
    const char* name;
    const char* iconName;
    std::string themePath;
  };
  const std::string path = "'" + themeDir.path().string() + "'";
  const Case cases[] = {
      {"nuvlet-volume-pie-050-symbolic", "'nuvlet-volume-pie-050-symbolic'", path},
      {"nuvlet-volume-pie-055-symbolic", "''", "''"},
      {"../../../../etc/passwd", "''", "''"},
      {"", "''", "''"}};
  for (const auto& c : cases) {
    item->setIconName(c.name);
    EXPECT_EQ(property("IconName"), c.iconName) << c.name;
    EXPECT_EQ(property("IconThemePath"), c.themePath) << c.name;
  }
  // The set taken away while the item shows one of its icons.
  item->setIconName("nuvlet-volume-pie-050-symbolic");
  std::filesystem::remove_all(themeDir.path() / "hicolor");
  EXPECT_EQ(property("IconName"), "''");
  EXPECT_EQ(property("IconThemePath"), "''");
}

TEST_F(TrayItem, ScrollsAndClicksReachTheirCallbacks) {
  // Before any callbacks are set every call is still answered; a left click with nothing
  // to do is refused, so that a host asking first opens the menu instead.
  EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 5, 5)).ok());
  EXPECT_FALSE(host.item(name, "Activate", g_variant_new("(ii)", 5, 5)).ok());

  std::vector<double> scrolls;
  std::string calls;  // a letter a call: Activate, Secondary activate, Context menu
  StatusItem::Callbacks c;
  c.onScroll = [&](double d) { scrolls.push_back(d); };
  bool acts = false;
  c.onActivate = [&] {
    calls += 'a';
    return acts;
  };
  c.onSecondaryActivate = [&] { calls += 's'; };
  c.onContextMenu = [&] { calls += 'c'; };
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

  EXPECT_FALSE(host.item(name, "Activate", g_variant_new("(ii)", 10, 20)).ok());
  acts = true;
  EXPECT_TRUE(host.item(name, "Activate", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "XAyatanaSecondaryActivate", g_variant_new("(u)", 7u)).ok());
  EXPECT_TRUE(host.item(name, "ContextMenu", g_variant_new("(ii)", 10, 20)).ok());
  EXPECT_TRUE(host.item(name, "ProvideXdgActivationToken", g_variant_new("(s)", "t")).ok());
  EXPECT_EQ(calls, "aassc");
}

TEST_F(TrayItem, AMiddleClickOrAMenuEntryMayRemoveItsOwnItem) {
  for (bool fromMenu : {false, true}) {
    SCOPED_TRACE(fromMenu ? "menu entry" : "middle click");
    StatusItem::Callbacks callbacks;
    callbacks.onSecondaryActivate = [&] { item.reset(); };
    MenuItem hide;
    hide.label = "Hide";
    hide.activate = [&] { item.reset(); };
    callbacks.menu = [hide](bool) { return Menu{hide}; };
    item->setCallbacks(callbacks);
    if (fromMenu) {
      EXPECT_TRUE(host.click(name, "Hide"));
    } else {
      EXPECT_TRUE(host.item(name, "SecondaryActivate", g_variant_new("(ii)", 1, 1)).ok());
    }
    EXPECT_EQ(item, nullptr);
    // The host calling the vanished item gets an error, nothing worse.
    EXPECT_TRUE(pumpUntil([&] { return !host.peer().hasOwner(name).value_or(true); }));
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
