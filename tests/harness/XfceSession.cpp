#include "tests/harness/XfceSession.h"

#include <gio/gio.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/tray/DesktopTheme.h"
#include "platform/linux/tray/TrayHostProcess.h"
#include "tests/harness/TrayHost.h"

namespace nuvlet::test {
namespace {

std::string panelXml(int size) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value=")" +
         std::to_string(size) + R"("/>
      <property name="icon-size" type="uint" value="0"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray">
      <property name="icon-size" type="int" value="0"/>
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
)";
}

std::string xsettingsXml(const std::string& theme, int scale) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xsettings" version="1.0">
  <property name="Net" type="empty">
    <property name="ThemeName" type="string" value=")" +
         theme + R"("/>
  </property>
  <property name="Gdk" type="empty">
    <property name="WindowScalingFactor" type="int" value=")" +
         std::to_string(scale) + R"("/>
  </property>
</channel>
)";
}

}  // namespace

void XfceSession::startBus(const std::string& theme, int panelSize, int scale) {
  for (const char* program : {"xfce4-panel", "xfsettingsd", "xdotool", "dbus-daemon"}) {
    ASSERT_TRUE(findProgram(program)) << program << " is needed (scripts/packages-test.txt)";
  }
  ASSERT_TRUE(xvfb.running());
  ::chmod(runtime.path().c_str(), 0700);
  // The bus starts xfconfd with the bus's own environment: set it all first.
  for (const auto& [name, value] : homeEnvironment(home.path())) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
  }
  env_.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", runtime.path().string()));
  env_.push_back(std::make_unique<ScopedEnv>("DISPLAY", xvfb.display()));
  env_.push_back(std::make_unique<ScopedEnv>("NO_AT_BRIDGE", "1"));
  env_.push_back(std::make_unique<ScopedEnv>("GSETTINGS_BACKEND", "memory"));
  const std::string xml = "config/xfce4/xfconf/xfce-perchannel-xml/";
  home.write(xml + "xfce4-panel.xml", panelXml(panelSize));
  home.write(xml + "xsettings.xml", xsettingsXml(theme, scale));
  const auto conf =
      home.write("bus.conf", testBusConfig("session", "unix:dir=" + runtime.path().string(),
                                           /*serviceDirs=*/true));
  bus_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--config-file=" + conf.string(), "--print-address=1",
                               "--nofork", "--nopidfile"});
  auto address = bus_->readLine(20);
  ASSERT_TRUE(address && !address->empty());
  busAddress = *address;
  env_.push_back(std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", busAddress));
  x = xcb_connect(xvfb.display().c_str(), nullptr);
  ASSERT_EQ(xcb_connection_has_error(x), 0);
}

bool XfceSession::startPanel(sim::VirtualRunLoop& loop) {
  // No settings manager yet: no theme, and no X error either.
  if (linux_platform::readXSettingsThemeName(x, 0).has_value()) return false;
  settingsDaemon_ =
      std::make_unique<ChildProcess>(std::vector<std::string>{"xfsettingsd", "--disable-wm-check"});
  if (!pumpUntil(loop, [&] { return linux_platform::readXSettingsThemeName(x, 0).has_value(); }))
    return false;
  panel_ =
      std::make_unique<ChildProcess>(std::vector<std::string>{"xfce4-panel", "--disable-wm-check"});
  return true;
}

PanelUser XfceSession::user(sim::VirtualRunLoop& loop, int panelPixels, const std::string& name) {
  return PanelUser([display = xvfb.display()] { return screenshotOfX(display); },
                   PanelUser::turning(loop), {0, 0, kWidth - 1, panelPixels - 1},
                   {0, 0, kWidth - 1, kHeight - 1},
                   {[](int px, int py) {
                      return xdotool({"mousemove", std::to_string(px), std::to_string(py)});
                    },
                    [](int number) {
                      return xdotool({"click", std::to_string(number)});
                    },
                    [](const std::string& key) {
                      return xdotool({"key", key});
                    }},
                   name);
}

bool XfceSession::xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  return ChildProcess::run(args, {}).status == 0;
}

void XfceSession::stop() {
  if (!busAddress.empty()) stopBusClients();
  panel_.reset();
  settingsDaemon_.reset();
  bus_.reset();
  if (x) xcb_disconnect(x);
  x = nullptr;
}

void XfceSession::stopBusClients() {
  GDBusConnection* c = g_dbus_connection_new_for_address_sync(
      busAddress.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (!c) return;
  GVariant* names = g_dbus_connection_call_sync(
      c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames",
      nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (names) {
    GVariantIter* it = nullptr;
    const gchar* name = nullptr;
    g_variant_get(names, "(as)", &it);
    while (g_variant_iter_next(it, "&s", &name)) {
      if (name[0] != ':') continue;
      auto pid = linux_platform::busPeerPid(c, name);
      if (pid && *pid != static_cast<std::uint32_t>(::getpid()))
        ::kill(static_cast<pid_t>(*pid), SIGTERM);
    }
    g_variant_iter_free(it);
    g_variant_unref(names);
  }
  g_object_unref(c);
}

}  // namespace nuvlet::test
