#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nuvlet/records/AdjustmentLogger.h"
#include "tests/linux_bus/FakeBusService.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PulseServer.h"
#include "tests/support/Servers.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLogindXml = R"(<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
  </interface>
</node>)";

constexpr const char* kProxyXml = R"(<node>
  <interface name="net.hadess.SensorProxy">
    <method name="ClaimLight"/>
    <method name="ReleaseLight"/>
    <property name="HasAmbientLight" type="b" access="read"/>
    <property name="LightLevelUnit" type="s" access="read"/>
    <property name="LightLevel" type="d" access="read"/>
  </interface>
</node>)";

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> fileLines(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::optional<int> readInt(const fs::path& file) {
  std::ifstream in(file);
  int value = 0;
  if (in >> value) return value;
  return std::nullopt;
}

// label -> id of every entry in a dbusmenu GetLayout tree.
void menuIds(GVariant* node, std::map<std::string, int>& ids) {
  gint32 id = 0;
  GVariant* props = nullptr;
  GVariant* children = nullptr;
  g_variant_get(node, "(i@a{sv}@av)", &id, &props, &children);
  const gchar* label = nullptr;
  if (g_variant_lookup(props, "label", "&s", &label)) ids[label] = id;
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    GVariant* child = g_variant_get_child_value(children, i);
    GVariant* inner = g_variant_get_variant(child);
    menuIds(inner, ids);
    g_variant_unref(inner);
    g_variant_unref(child);
  }
  g_variant_unref(props);
  g_variant_unref(children);
}

// Marks the Xvfb output as a laptop's built-in panel, as a kernel driver would.
bool markOutputAsPanel(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return false;
  }
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  auto* resources = xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, root), nullptr);
  bool done = false;
  if (resources != nullptr &&
      xcb_randr_get_screen_resources_current_outputs_length(resources) > 0) {
    xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
    auto atomOf = [&](const char* name) {
      auto* r = xcb_intern_atom_reply(
          c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
      xcb_atom_t atom = XCB_ATOM_NONE;
      if (r != nullptr) atom = r->atom;
      std::free(r);
      return atom;
    };
    xcb_atom_t panel = atomOf("Panel");
    auto cookie = xcb_randr_change_output_property_checked(
        c, output, atomOf("ConnectorType"), XCB_ATOM_ATOM, 32, XCB_PROP_MODE_REPLACE, 1, &panel);
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    done = error == nullptr;
    std::free(error);
  }
  std::free(resources);
  xcb_disconnect(c);
  return done;
}

// Everything around a running Nuvlet, started by the test: an X server whose output is
// a built-in panel, a session bus with a tray host, a system bus with a login manager
// and a light sensor service, a sound server with a null sink, and a sysfs tree with
// a backlight. The test talks to Nuvlet only through these.
class AppEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    ASSERT_TRUE(sessionBus.running() && systemBus.running()) << "dbus-daemon is required";
    ASSERT_TRUE(markOutputAsPanel(xvfb.display()));
    ASSERT_TRUE(x({"xsetroot", "-solid", "#808080"}));

    sysfs.write("class/backlight/panel_test/type", "raw\n");
    sysfs.write("class/backlight/panel_test/max_brightness", "100\n");
    sysfs.write("class/backlight/panel_test/brightness", "80\n");

    logind.onMethod([this](const std::string& method, GVariant*, GDBusMethodInvocation* call) {
      if (method != "Inhibit") {
        g_dbus_method_invocation_return_value(call, nullptr);
        return;
      }
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        g_dbus_method_invocation_return_dbus_error(call, "org.test.Failed", "pipe");
        return;
      }
      GUnixFDList* list = g_unix_fd_list_new_from_array(&fds[1], 1);
      {
        std::lock_guard lock(mutex);
        inhibitors.push_back(fds[0]);
      }
      g_dbus_method_invocation_return_value_with_unix_fd_list(call, g_variant_new("(h)", 0), list);
      g_object_unref(list);
    });
    ASSERT_TRUE(logind.own("org.freedesktop.login1"));
    proxy.setProperty("net.hadess.SensorProxy", "HasAmbientLight", g_variant_new_boolean(TRUE),
                      false);
    proxy.setProperty("net.hadess.SensorProxy", "LightLevelUnit", g_variant_new_string("lux"),
                      false);
    proxy.setProperty("net.hadess.SensorProxy", "LightLevel", g_variant_new_double(120.0), false);
    ASSERT_TRUE(proxy.own("net.hadess.SensorProxy"));

    ASSERT_TRUE(pulse.start()) << "pulseaudio is required";
    ASSERT_EQ(pulse.pactl({"set-sink-volume", "@DEFAULT_SINK@", "40%"}).status, 0);
    ASSERT_TRUE(host.start());
  }

  void TearDown() override {
    std::lock_guard lock(mutex);
    for (int fd : inhibitors) ::close(fd);
  }

  std::map<std::string, std::string> environment() const {
    const fs::path& h = home.path();
    return {{"DISPLAY", xvfb.display()},
            {"WAYLAND_DISPLAY", ""},
            {"XDG_SESSION_TYPE", "x11"},
            {"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()},
            {"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()},
            {"PULSE_SERVER", pulse.address()},
            {"NUVLET_SYSFS_ROOT", sysfs.path().string()},
            {"HOME", h.string()},
            {"XDG_CONFIG_HOME", (h / "config").string()},
            {"XDG_DATA_HOME", (h / "data").string()},
            {"XDG_STATE_HOME", (h / "state").string()},
            {"XDG_CACHE_HOME", (h / "cache").string()}};
  }

  // Nuvlet with its diagnostics, stdout and stderr both on the pipe the test reads.
  std::unique_ptr<ChildProcess> startNuvlet() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" --verbose 2>&1", NUVLET_PROGRAM},
        environment());
  }

  bool x(std::vector<std::string> argv) {
    return ChildProcess::run(std::move(argv), {{"DISPLAY", xvfb.display()}}).status == 0;
  }

  // Keeps the test's side of the buses answering, reads what Nuvlet prints, and checks
  // `done` every few milliseconds until it holds or the time is up.
  bool waitFor(const std::function<bool()>& done, double timeoutSeconds = 10) {
    GSource* tick = g_timeout_source_new(5);
    g_source_set_callback(
        tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(tick, nullptr);
    const bool ok = pumpUntil(
        [&] {
          drainOutput();
          return done();
        },
        timeoutSeconds);
    g_source_destroy(tick);
    g_source_unref(tick);
    return ok;
  }

  void drainOutput() {
    if (!app) return;
    while (auto line = app->readLine(0.001)) output.push_back(*line);
  }

  bool printed(const std::string& text, std::size_t from = 0) const {
    for (std::size_t i = from; i < output.size(); ++i) {
      if (output[i].find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::string itemNamed(const std::string& title) {
    for (const auto& name : host.registered) {
      auto props = host.properties(name);
      auto value = props ? lookup(props.get(), "Title") : nullptr;
      if (value && g_variant_get_string(value.get(), nullptr) == title) return name;
    }
    return "";
  }

  std::string toolTipText(const std::string& item) {
    auto props = host.properties(item);
    auto tip = props ? lookup(props.get(), "ToolTip") : nullptr;
    if (!tip) return "";
    const gchar* text = nullptr;
    g_variant_get(tip.get(), "(&sa(iiay)&s&s)", nullptr, nullptr, nullptr, &text);
    return text;
  }

  // Opens the item's menu as a panel does and clicks the entry with this label.
  bool clickMenuEntry(const std::string& item, const std::string& label) {
    host.menu(item, "AboutToShowGroup", g_variant_new_parsed("([0],)"));
    auto layout = host.menu(item, "GetLayout", g_variant_new_parsed("(0, -1, @as [])"));
    if (!layout.ok()) return false;
    GVariant* tree = nullptr;
    g_variant_get(layout.value.get(), "(u@(ia{sv}av))", nullptr, &tree);
    std::map<std::string, int> ids;
    menuIds(tree, ids);
    g_variant_unref(tree);
    auto it = ids.find(label);
    if (it == ids.end()) return false;
    return host
        .menu(item, "Event",
              g_variant_new("(isvu)", it->second, "clicked", g_variant_new_int32(0), 0u))
        .ok();
  }

  std::optional<int> backlight() const {
    return readInt(sysfs.path() / "class/backlight/panel_test/brightness");
  }

  std::vector<std::string> adjustments(const std::string& event) const {
    std::vector<std::string> found;
    for (const auto& line : fileLines(home.path() / "state/nuvlet/adjustments.csv")) {
      if (line.find("," + event + ",") != std::string::npos) found.push_back(line);
    }
    return found;
  }

  nlohmann::json settings() const {
    std::ifstream in(home.path() / "config/nuvlet/settings.json");
    return nlohmann::json::parse(in, nullptr, false);
  }

  std::vector<fs::path> telemetryFiles() const {
    std::vector<fs::path> files;
    const fs::path dir = home.path() / "state/nuvlet/telemetry";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) files.push_back(entry.path());
    return files;
  }

  XvfbServer xvfb{"1920x1080x24"};
  DbusDaemon sessionBus;
  DbusDaemon systemBus{DbusDaemon::Kind::System};
  FakeBusService logind{systemBus.address(), "/org/freedesktop/login1", kLogindXml};
  FakeBusService proxy{systemBus.address(), "/net/hadess/SensorProxy", kProxyXml};
  PulseServer pulse;
  TrayHost host{sessionBus.address()};
  TempDir sysfs;
  TempDir home;
  std::mutex mutex;
  std::vector<int> inhibitors;
  std::unique_ptr<ChildProcess> app;
  std::vector<std::string> output;
};

TEST_F(AppEndToEnd, TheTrayAppFollowsTheUserTheScreenAndTheMachine) {
  const auto started = std::chrono::steady_clock::now();
  app = startNuvlet();
  ASSERT_TRUE(app->started());

  // Both items appear with the current levels.
  ASSERT_TRUE(waitFor([&] { return host.registered.size() >= 2; }));
  std::printf("[ figure ] start to both tray items registered: %.0f ms\n",
              secondsSince(started) * 1000);
  const std::string brightness = itemNamed("Brightness");
  const std::string volume = itemNamed("Volume");
  ASSERT_FALSE(brightness.empty());
  ASSERT_FALSE(volume.empty());
  EXPECT_EQ(toolTipText(brightness), "80%");
  EXPECT_TRUE(waitFor([&] { return toolTipText(volume) == "40%"; }));

  // A second instance tells the user and leaves.
  auto second =
      ChildProcess::run({"/bin/sh", "-c", "exec \"$0\" 2>&1", NUVLET_PROGRAM}, environment(), 10);
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.out.find("already running"), std::string::npos) << second.out;

  // A wheel notch down over the brightness item, as XFCE's panel sends it.
  ASSERT_TRUE(host.item(brightness, "Scroll", g_variant_new("(is)", 1, "vertical")).ok());
  EXPECT_TRUE(waitFor([&] { return backlight() == 75; })) << backlight().value_or(-1);
  EXPECT_TRUE(waitFor([&] { return adjustments("scroll").size() == 1; }));

  // A change behind Nuvlet's back (a brightness key handled by the firmware). Made while
  // compensation is off: a loop writing its next step could overwrite it before a poll.
  sysfs.write("class/backlight/panel_test/brightness", "90\n");
  EXPECT_TRUE(waitFor([&] { return adjustments("system_key").size() == 1; }));
  EXPECT_TRUE(waitFor([&] { return toolTipText(brightness) == "90%"; }));

  // Compensation on through the menu: stored, sampling starts.
  const std::size_t beforeAuto = output.size();
  ASSERT_TRUE(clickMenuEntry(brightness, "Deruzorar!"));
  EXPECT_TRUE(waitFor([&] { return settings().value("autoAdjustEnabled", false); }));
  EXPECT_TRUE(waitFor([&] { return printed("sampling on", beforeAuto); }));

  // A white screen dims the panel, a dark one brightens it, inside the band around the
  // level last set (0.9: 0.36 to 1.0).
  int lowest = 100;
  int highest = 0;
  auto track = [&] {
    if (auto level = backlight()) {
      lowest = std::min(lowest, *level);
      highest = std::max(highest, *level);
    }
  };
  ASSERT_TRUE(x({"xsetroot", "-solid", "#ffffff"}));
  EXPECT_TRUE(waitFor(
      [&] {
        track();
        return backlight() && *backlight() <= 55;
      },
      30))
      << backlight().value_or(-1);
  const int dimmed = lowest;
  ASSERT_TRUE(x({"xsetroot", "-solid", "#101010"}));
  EXPECT_TRUE(waitFor(
      [&] {
        track();
        return backlight() && *backlight() >= dimmed + 15;
      },
      30))
      << backlight().value_or(-1);
  std::printf("[ info ] backlight went from %d down to %d and up to %d\n", 90, dimmed,
              *backlight());
  EXPECT_GE(lowest, 36);
  EXPECT_LE(highest, 100);

  // Sleep stops sampling, the wake resumes it.
  std::size_t mark = output.size();
  logind.emit("org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", TRUE));
  EXPECT_TRUE(waitFor([&] { return printed("will sleep: sampling off", mark); }));
  mark = output.size();
  logind.emit("org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", FALSE));
  EXPECT_TRUE(waitFor([&] { return printed("woke", mark) && printed("sampling on", mark); }));

  // Recording on from the menu opened with Shift held.
  ASSERT_TRUE(x({"xdotool", "keydown", "shift"}));
  const bool clicked = clickMenuEntry(brightness, "Record Brightness Data");
  ASSERT_TRUE(x({"xdotool", "keyup", "shift"}));
  ASSERT_TRUE(clicked);
  ASSERT_TRUE(waitFor([&] { return !telemetryFiles().empty(); }));
  ASSERT_TRUE(waitFor([&] { return fileLines(telemetryFiles()[0]).size() >= 2; }));
  const auto first = nlohmann::json::parse(fileLines(telemetryFiles()[0])[0]);
  EXPECT_EQ(first["trigger"], "start");
  EXPECT_EQ(first["builtin"], true) << "the panel's connector type reached the row";
  EXPECT_EQ(first.value("amb_lux", 0.0), 120.0) << "the sensor service reached the row";
  EXPECT_TRUE(settings().value("telemetryRecording", false));

  if (std::ifstream status("/proc/" + std::to_string(app->pid()) + "/status"); status) {
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) {
        std::printf("[ figure ] resident memory at 1080p, compensation and recording on: %s\n",
                    line.substr(6).c_str());
      }
    }
  }

  // SIGTERM: an orderly end within a second, every record whole.
  const auto csvBefore = fileLines(home.path() / "state/nuvlet/adjustments.csv");
  const auto stopping = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(app->pid(), SIGTERM), 0);
  EXPECT_EQ(app->wait(1.0), 0);
  std::printf("[ figure ] SIGTERM to exit: %.0f ms\n", secondsSince(stopping) * 1000);
  drainOutput();
  EXPECT_TRUE(printed("terminating"));

  const auto csv = fileLines(home.path() / "state/nuvlet/adjustments.csv");
  ASSERT_FALSE(csv.empty());
  EXPECT_EQ(csv[0] + "\n", AdjustmentLogger::kHeader);
  EXPECT_GE(csv.size(), csvBefore.size());
  for (const auto& line : csv) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 11) << line;
  }
  for (const auto& file : telemetryFiles()) {
    for (const auto& line : fileLines(file)) {
      EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
    }
  }
  EXPECT_TRUE(settings().is_object());
  EXPECT_TRUE(fs::exists(home.path() / "config/autostart/nuvlet.desktop"));
}

// Firmware backlights often have a handful of steps: the panel keeps the step nearest
// each level the loop writes, and reading that step back is no key press.
TEST_F(AppEndToEnd, CompensationOnACoarseBacklightLogsNoPhantomKeyPresses) {
  sysfs.write("class/backlight/panel_test/max_brightness", "15\n");
  sysfs.write("class/backlight/panel_test/brightness", "12\n");
  fs::create_directories(home.path() / "config/nuvlet");
  std::ofstream(home.path() / "config/nuvlet/settings.json") << R"({"autoAdjustEnabled": true})";
  ASSERT_TRUE(x({"xsetroot", "-solid", "#ffffff"}));
  app = startNuvlet();
  ASSERT_TRUE(app->started());
  ASSERT_TRUE(waitFor([&] { return printed("sampling on"); }));

  EXPECT_TRUE(waitFor([&] { return backlight() && *backlight() <= 8; }, 30))
      << backlight().value_or(-1);
  const int dimmed = backlight().value_or(0);
  ASSERT_TRUE(x({"xsetroot", "-solid", "#101010"}));
  EXPECT_TRUE(waitFor([&] { return backlight() && *backlight() >= dimmed + 3; }, 30))
      << backlight().value_or(-1);
  waitFor([] { return false; }, 1.0);  // a few more polls after the last step
  EXPECT_TRUE(adjustments("system_key").empty()) << adjustments("system_key").front();

  ASSERT_EQ(::kill(app->pid(), SIGTERM), 0);
  EXPECT_EQ(app->wait(1.0), 0);
}

}  // namespace
}  // namespace nuvlet::test
