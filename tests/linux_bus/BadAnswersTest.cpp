// What the system-bus adapters make of services that refuse, stay silent or report
// nonsense: the login manager's brightness write and the light-sensor proxy's readings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/linux/devices/SensorProxyLightSensor.h"
#include "platform/linux/devices/SysfsBacklight.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/FakeBusService.h"
#include "tests/support/ScopedEnv.h"
#include "tests/harness/Servers.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kSessionXml = R"(<node>
  <interface name="org.freedesktop.login1.Session">
    <method name="SetBrightness">
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="u" direction="in"/>
    </method>
  </interface>
</node>)";

TEST(LogindBrightness, AWriteTheLoginManagerRefusesOrNeverAnswersFailsAndSaysWhy) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  test::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  test::TempDir sysfs;
  sysfs.write("class/backlight/panel/type", "raw\n");
  sysfs.write("class/backlight/panel/max_brightness", "200\n");
  sysfs.write("class/backlight/panel/brightness", "100\n");

  enum class Answer { Accept, NotYourDevice, AccessDenied, Silence };
  struct Case {
    const char* name;
    Answer answer;
    bool written;
    const char* problem;
  } cases[] = {
      {"accepted", Answer::Accept, true, ""},
      {"not this session's device", Answer::NotYourDevice, false,
       "logind refused SetBrightness: org.freedesktop.login1.NotInControl: not in control"},
      {"access denied", Answer::AccessDenied, false,
       "logind refused SetBrightness: org.freedesktop.DBus.Error.AccessDenied: denied"},
      {"no answer", Answer::Silence, false, "logind did not answer SetBrightness within 200 ms"},
  };

  test::FakeBusService logind(bus.address(), "/org/freedesktop/login1/session/auto", kSessionXml);
  std::mutex mutex;
  Answer answer = Answer::Accept;
  std::vector<std::string> calls;
  std::vector<GDBusMethodInvocation*> unanswered;
  logind.onMethod([&](const std::string& method, GVariant* args, GDBusMethodInvocation* call) {
    std::lock_guard lock(mutex);
    const gchar *subsystem = nullptr, *device = nullptr;
    guint32 raw = 0;
    g_variant_get(args, "(&s&su)", &subsystem, &device, &raw);
    calls.push_back(method + " " + subsystem + " " + device + " " + std::to_string(raw));
    switch (answer) {
      case Answer::Accept:
        return g_dbus_method_invocation_return_value(call, nullptr);
      case Answer::NotYourDevice:
        return g_dbus_method_invocation_return_dbus_error(
            call, "org.freedesktop.login1.NotInControl", "not in control");
      case Answer::AccessDenied:
        return g_dbus_method_invocation_return_dbus_error(
            call, "org.freedesktop.DBus.Error.AccessDenied", "denied");
      case Answer::Silence:
        unanswered.push_back(call);  // answered after the test, too late
        return;
    }
  });
  ASSERT_TRUE(logind.own("org.freedesktop.login1"));

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex);
      answer = c.answer;
      calls.clear();
    }
    auto backlight =
        makeSysfsBacklight({sysfs.path(), "", BacklightWriteChoice::Logind, /*busTimeoutMs=*/200});
    ASSERT_EQ(backlight->info().writePath, BacklightWritePath::Logind);
    EXPECT_EQ(backlight->write(0.3), c.written);
    EXPECT_EQ(backlight->info().problem, c.problem);
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, std::vector<std::string>{"SetBrightness backlight panel 60"});
  }
  std::lock_guard lock(mutex);
  for (auto* call : unanswered) g_dbus_method_invocation_return_value(call, nullptr);
}

TEST(SensorProxyLight, ReadingsThatAreNotLuxOrNotANumberReadAsNothing) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  test::FakeSensorProxy proxy(bus.address(), 120.0);
  ASSERT_TRUE(proxy.own());
  const char* iface = test::FakeSensorProxy::kInterface;

  sim::VirtualRunLoop loop;
  auto sensor = makeSensorProxyLightSensor(loop, bus.address());
  ASSERT_TRUE(loop.runUntil([&] { return sensor->lux() == 120.0; }, 10));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double level;
    const char* unit;
    bool hasLight;
  } bad[] = {
      {"not a number", nan, "lux", true},
      {"infinite", inf, "lux", true},
      {"negative", -3.0, "lux", true},
      {"vendor units", 40.0, "vendor", true},
      {"no light sensor any more", 80.0, "lux", false},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    // Back to a good reading first, so that each bad one is seen to arrive.
    proxy.setProperty(iface, "LightLevelUnit", g_variant_new_string("lux"));
    proxy.setProperty(iface, "HasAmbientLight", g_variant_new_boolean(TRUE));
    proxy.setProperty(iface, "LightLevel", g_variant_new_double(50.0));
    ASSERT_TRUE(loop.runUntil([&] { return sensor->lux() == 50.0; }, 10));

    proxy.setProperty(iface, "LightLevelUnit", g_variant_new_string(c.unit));
    proxy.setProperty(iface, "HasAmbientLight", g_variant_new_boolean(c.hasLight));
    proxy.setProperty(iface, "LightLevel", g_variant_new_double(c.level));
    EXPECT_TRUE(loop.runUntil([&] { return !sensor->lux().has_value(); }, 10))
        << "still reads " << sensor->lux().value_or(-1);
  }
}

}  // namespace
}  // namespace nuvlet::linux_platform
