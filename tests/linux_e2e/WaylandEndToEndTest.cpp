#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/linux/DrmConnectors.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Servers.h"
#include "tests/support/SwayServer.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

// label -> id of every entry in a dbusmenu GetLayout tree, submenus included.
void collectMenuIds(GVariant* node, std::map<std::string, int>& ids) {
  gint32 id = 0;
  GVariant* props = nullptr;
  GVariant* children = nullptr;
  g_variant_get(node, "(i@a{sv}@av)", &id, &props, &children);
  const gchar* label = nullptr;
  if (g_variant_lookup(props, "label", "&s", &label)) ids[label] = id;
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    GVariant* child = g_variant_get_child_value(children, i);
    GVariant* inner = g_variant_get_variant(child);
    collectMenuIds(inner, ids);
    g_variant_unref(inner);
    g_variant_unref(child);
  }
  g_variant_unref(props);
  g_variant_unref(children);
}

// Nuvlet in a Wayland session: a headless sway whose virtual output stands for the
// panel (the machine has a backlight), a tray host on a private session bus, no X.
class WaylandEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sway.running()) << "headless sway is required";
    ASSERT_TRUE(sessionBus.running() && systemBus.running()) << "dbus-daemon is required";
    sysfs.write("class/backlight/panel_test/type", "raw\n");
    sysfs.write("class/backlight/panel_test/max_brightness", "100\n");
    sysfs.write("class/backlight/panel_test/brightness", "60\n");
    // A monitor tool that logs its command lines and answers 50%.
    const auto tool = home.write("monitor-tool",
                                 "#!/bin/sh\necho \"$*\" >> \"$0.log\"\n"
                                 "[ \"$3\" = get ] && echo 50\nexit 0\n");
    ::chmod(tool.c_str(), 0755);
    home.write("config/nuvlet/settings.json",
               nlohmann::json{{"monitorToolPath", tool.string()}}.dump());
    runtime = home.write("run/.keep", "").parent_path();
    ::chmod(runtime.c_str(), 0700);
    ASSERT_TRUE(host.start());
  }

  std::map<std::string, std::string> environment() const {
    const fs::path& h = home.path();
    std::map<std::string, std::string> env = {
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", (sway.runtimeDir() / sway.socket()).string()},
        {"XDG_SESSION_TYPE", "wayland"},
        {"XDG_CURRENT_DESKTOP", "sway"},
        // As root the compositor's runtime directory is another uid's.
        {"XDG_RUNTIME_DIR", runtime.string()},
        {"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()},
        {"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()},
        {"PULSE_SERVER", "unix:" + (h / "no-pulse").string()},
        {"NUVLET_SYSFS_ROOT", sysfs.path().string()}};
    env.merge(homeEnvironment(h));
    return env;
  }

  bool waitFor(const std::function<bool()>& done, double seconds = 10) {
    return pumpUntil(
        [&] {
          while (app && app->readLine(0.001)) {
          }
          return done();
        },
        seconds);
  }

  std::string brightnessItem() {
    // A copy: asking an item for its properties lets the next one register meanwhile.
    const std::vector<std::string> names = host.registered;
    for (const auto& name : names) {
      auto props = host.properties(name);
      auto title = props ? lookup(props.get(), "Title") : nullptr;
      if (title && std::string(g_variant_get_string(title.get(), nullptr)) == "Brightness") {
        return name;
      }
    }
    return "";
  }

  std::map<std::string, int> menuIds() {
    host.menu(item, "AboutToShowGroup", g_variant_new_parsed("([0],)"));
    auto layout = host.menu(item, "GetLayout", g_variant_new_parsed("(0, -1, @as [])"));
    std::map<std::string, int> ids;
    if (!layout.ok()) return ids;
    GVariant* tree = nullptr;
    g_variant_get(layout.value.get(), "(u@(ia{sv}av))", nullptr, &tree);
    collectMenuIds(tree, ids);
    g_variant_unref(tree);
    return ids;
  }

  bool scroll(int notches) {
    // As GNOME's extension and waybar send it: + is down.
    return host.item(item, "Scroll", g_variant_new("(is)", notches, "vertical")).ok();
  }

  std::optional<int> backlight() const {
    std::ifstream in(sysfs.path() / "class/backlight/panel_test/brightness");
    int value = 0;
    if (in >> value) return value;
    return std::nullopt;
  }

  SwayServer sway{"1920x1080"};
  DbusDaemon sessionBus;
  DbusDaemon systemBus{DbusDaemon::Kind::System};
  TrayHost host{sessionBus.address()};
  TempDir sysfs;
  TempDir home;
  fs::path runtime;
  std::unique_ptr<ChildProcess> app;
  std::string item;
};

TEST_F(WaylandEndToEnd, TheWheelMovesThePanelUntilAMonitorIsChosenAndTheAppEndsWithSway) {
  app = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" --verbose 2>&1", NUVLET_PROGRAM},
      environment());
  ASSERT_TRUE(waitFor([&] { return !(item = brightnessItem()).empty(); }));

  // One display, and it is the panel: the wheel moves the backlight both ways.
  for (int expected : {65, 70}) {
    ASSERT_TRUE(scroll(-1));
    EXPECT_TRUE(waitFor([&] { return backlight() == expected; })) << backlight().value_or(-1);
  }
  ASSERT_TRUE(scroll(1));
  EXPECT_TRUE(waitFor([&] { return backlight() == 65; })) << backlight().value_or(-1);
  EXPECT_EQ(menuIds().count("Scroll Adjusts"), 0u) << "one display needs no choice";

  // A monitor comes: the menu offers it, and once chosen the wheel goes to it, by the
  // id the app gives it in a Wayland session.
  ASSERT_TRUE(sway.command("create_output"));
  ASSERT_TRUE(sway.command("output HEADLESS-2 resolution 1280x720 position 1920 0"));
  const std::string monitor = "Headless output 2 (HEADLESS-2)";
  const std::string panel = "Built-in Display (HEADLESS-1)";
  std::map<std::string, int> ids;
  ASSERT_TRUE(waitFor([&] { return (ids = menuIds()).count(monitor) == 1; }));
  EXPECT_EQ(ids.count("Scroll Adjusts"), 1u);
  EXPECT_EQ(ids.count(panel), 1u);
  auto click = [&](int id) {
    return host
        .menu(item, "Event", g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u))
        .ok();
  };
  ASSERT_TRUE(click(ids[monitor]));
  auto settings = [&] {
    std::ifstream in(home.path() / "config/nuvlet/settings.json");
    return nlohmann::json::parse(in, nullptr, false);
  };
  EXPECT_TRUE(waitFor([&] {
    auto s = settings();
    return s.is_object() && s.contains("scrollDisplay") &&
           s["scrollDisplay"].value("connector", "") == "HEADLESS-2";
  }));
  ASSERT_TRUE(scroll(-1));
  const std::string id = std::to_string(linux_platform::waylandDisplayId("HEADLESS-2", {}));
  const std::string toolLog = (home.path() / "monitor-tool.log").string();
  EXPECT_TRUE(waitFor([&] {
    return readText(toolLog).find("display id=" + id + " set luminance 55") != std::string::npos;
  })) << readText(toolLog);

  // The panel chosen again: the wheel is back on the backlight, which the monitor's
  // notch did not touch.
  ASSERT_TRUE(click(ids[panel]));
  ASSERT_TRUE(scroll(-1));
  EXPECT_TRUE(waitFor([&] { return backlight() == 70; })) << backlight().value_or(-1);

  // The compositor goes away: Nuvlet ends in order, as with a lost X server.
  sway.kill();
  EXPECT_EQ(app->wait(10), 0);
}

// Compensation in a Wayland session: the screen is read through screencopy, so a white
// background dims the panel and a dark one brightens it, inside the band around the
// level last set (0.9: 0.36 to 1.0), as in an X session.
TEST_F(WaylandEndToEnd, CompensationFollowsTheScreenThroughScreencopy) {
  sysfs.write("class/backlight/panel_test/brightness", "90\n");
  home.write("config/nuvlet/settings.json", R"({"autoAdjustEnabled": true})");
  ASSERT_TRUE(sway.command("output HEADLESS-1 bg #808080 solid_color"));
  app = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" --verbose 2>&1", NUVLET_PROGRAM},
      environment());
  std::string output;
  auto printed = [&](const std::string& text) {
    while (app) {
      auto line = app->readLine(0.001);
      if (!line) break;
      output += *line + "\n";
    }
    return output.find(text) != std::string::npos;
  };
  ASSERT_TRUE(pumpUntil([&] { return printed("screen capture (screencopy): streaming"); }, 20))
      << output;
  EXPECT_NE(output.find("screen capture: wlroots screencopy"), std::string::npos) << output;

  int lowest = 100, highest = 0;
  auto track = [&] {
    printed("");
    if (auto level = backlight()) {
      lowest = std::min(lowest, *level);
      highest = std::max(highest, *level);
    }
  };
  ASSERT_TRUE(sway.command("output HEADLESS-1 bg #ffffff solid_color"));
  EXPECT_TRUE(pumpUntil(
      [&] {
        track();
        return backlight() && *backlight() <= 55;
      },
      30))
      << backlight().value_or(-1);
  const int dimmed = lowest;
  ASSERT_TRUE(sway.command("output HEADLESS-1 bg #101010 solid_color"));
  EXPECT_TRUE(pumpUntil(
      [&] {
        track();
        return backlight() && *backlight() >= dimmed + 15;
      },
      30))
      << backlight().value_or(-1);
  std::printf("[ info ] backlight went from 90 down to %d and up to %d\n", dimmed,
              backlight().value_or(-1));
  EXPECT_GE(lowest, 36);
  EXPECT_LE(highest, 100);
}

}  // namespace
}  // namespace nuvlet::test
