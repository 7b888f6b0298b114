// What the system-bus adapters make of services that refuse, stay silent or report
// nonsense: the login manager's brightness write and the light-sensor proxy's readings.
#include <gtest/gtest.h>

#include <limits>

#include "platform/linux/devices/SensorProxyLightSensor.h"
#include "platform/linux/devices/SysfsBacklight.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/BacklightTree.h"
#include "tests/harness/BusSystemServices.h"
#include "tests/harness/Servers.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

TEST(LogindBrightness, AWriteTheLoginManagerRefusesOrNeverAnswersFailsAndSaysWhy) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  test::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  test::TempDir sysfs;
  test::writeBacklight(sysfs, 100, 200);
  auto logind = test::mockLogindSession(bus.address());
  ASSERT_TRUE(logind->running()) << "python3-dbusmock is required";

  struct Case {
    const char* name;
    const char* answer;  // the mock's Python for SetBrightness
    bool written;
    const char* problem;
  } cases[] = {
      {"accepted", "", true, ""},
      {"not this session's device",
       "raise dbus.exceptions.DBusException('not in control', "
       "name='org.freedesktop.login1.NotInControl')",
       false, "logind refused SetBrightness: org.freedesktop.login1.NotInControl: not in control"},
      {"access denied",
       "raise dbus.exceptions.DBusException('denied', "
       "name='org.freedesktop.DBus.Error.AccessDenied')",
       false, "logind refused SetBrightness: org.freedesktop.DBus.Error.AccessDenied: denied"},
      // Last: the mock stays busy not answering until the test ends.
      {"no answer", "time.sleep(60)", false, "logind did not answer SetBrightness within 200 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(
        logind->addMethod("org.freedesktop.login1.Session", "SetBrightness", "ssu", "", c.answer));
    auto backlight =
        makeSysfsBacklight({sysfs.path(), "", BacklightWriteChoice::Logind, /*busTimeoutMs=*/200});
    ASSERT_EQ(backlight->info().writePath, BacklightWritePath::Logind);
    EXPECT_EQ(backlight->write(0.3), c.written);
    EXPECT_EQ(backlight->info().problem, c.problem);
    EXPECT_EQ(logind->nextCall("SetBrightness"), "SetBrightness \"backlight\" \"panel\" 60");
  }
}

TEST(SensorProxyLight, ReadingsThatAreNotLuxOrNotANumberOrGoneReadAsNothing) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  auto proxy = test::mockSensorProxy(bus.address(), 120.0);
  ASSERT_TRUE(proxy->running()) << "python3-dbusmock is required";

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
    ASSERT_TRUE(test::sensorProxyReads(*proxy, 50.0, "lux", true));
    ASSERT_TRUE(loop.runUntil([&] { return sensor->lux() == 50.0; }, 10));
    ASSERT_TRUE(test::sensorProxyReads(*proxy, c.level, c.unit, c.hasLight));
    EXPECT_TRUE(loop.runUntil([&] { return !sensor->lux().has_value(); }, 10))
        << "still reads " << sensor->lux().value_or(-1);
  }

  ASSERT_TRUE(test::sensorProxyReads(*proxy, 50.0, "lux", true));
  ASSERT_TRUE(loop.runUntil([&] { return sensor->lux() == 50.0; }, 10));
  proxy.reset();  // the service leaves the bus
  EXPECT_TRUE(loop.runUntil([&] { return !sensor->lux().has_value(); }, 10));
}

}  // namespace
}  // namespace nuvlet::linux_platform
