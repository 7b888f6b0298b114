#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cmath>
#include <mutex>

#include "nuvlet/sensing/AmbientLightSensor.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/LogindSleepMonitor.h"
#include "platform/linux/SensorProxyLightSensor.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_bus/FakeBusService.h"
#include "tests/support/Servers.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kProxyXml = R"(<node>
  <interface name="net.hadess.SensorProxy">
    <method name="ClaimLight"/>
    <method name="ReleaseLight"/>
    <property name="HasAmbientLight" type="b" access="read"/>
    <property name="LightLevelUnit" type="s" access="read"/>
    <property name="LightLevel" type="d" access="read"/>
  </interface>
</node>)";

constexpr const char* kProxy = "net.hadess.SensorProxy";

class SensorProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
    ASSERT_TRUE(proxy.connected());
    proxy.setProperty(kProxy, "HasAmbientLight", g_variant_new_boolean(TRUE), false);
    proxy.setProperty(kProxy, "LightLevelUnit", g_variant_new_string("lux"), false);
    proxy.setProperty(kProxy, "LightLevel", g_variant_new_double(120.0), false);
  }

  bool waitFor(const std::function<bool()>& done) { return loop.runUntil(done, 10); }

  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  test::FakeBusService proxy{bus.address(), "/net/hadess/SensorProxy", kProxyXml};
  sim::VirtualRunLoop loop;
};

TEST_F(SensorProxyTest, ClaimsTheLightFollowsItsLevelAndClaimsAgainAfterARestart) {
  auto sensor = makeSensorProxyLightSensor(loop, bus.address());
  loop.runUntil([] { return false; }, 0.2);
  EXPECT_FALSE(sensor->isAvailable());
  EXPECT_NE(sensor->describe().find("not running"), std::string::npos) << sensor->describe();
  ASSERT_TRUE(proxy.own(kProxy));
  ASSERT_TRUE(waitFor([&] { return sensor->lux() == 120.0; })) << sensor->describe();
  EXPECT_TRUE(sensor->isAvailable());
  proxy.setProperty(kProxy, "LightLevel", g_variant_new_double(999.0));
  ASSERT_TRUE(waitFor([&] { return sensor->lux() == 999.0; }));
  EXPECT_EQ(AmbientLightSensor(*sensor).read(), 0.5);

  proxy.disown(kProxy);
  ASSERT_TRUE(waitFor([&] { return !sensor->isAvailable(); }));
  EXPECT_FALSE(sensor->lux());
  ASSERT_TRUE(proxy.own(kProxy));
  ASSERT_TRUE(waitFor([&] { return sensor->lux() == 999.0; }));
  auto calls = proxy.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "ClaimLight"), 2);
}

TEST_F(SensorProxyTest, VendorUnitsAndBrokenLevelsGiveNoLux) {
  ASSERT_TRUE(proxy.own(kProxy));
  auto sensor = makeSensorProxyLightSensor(loop, bus.address());
  ASSERT_TRUE(waitFor([&] { return sensor->lux().has_value(); }));
  proxy.setProperty(kProxy, "LightLevel", g_variant_new_double(-3));
  ASSERT_TRUE(waitFor([&] { return !sensor->lux(); }));
  proxy.setProperty(kProxy, "LightLevel", g_variant_new_double(NAN));
  proxy.setProperty(kProxy, "LightLevel", g_variant_new_string("bright"));  // wrong type
  proxy.setProperty(kProxy, "LightLevel", g_variant_new_double(50));
  ASSERT_TRUE(waitFor([&] { return sensor->lux() == 50.0; }));
  proxy.setProperty(kProxy, "LightLevelUnit", g_variant_new_string("vendor"));
  ASSERT_TRUE(waitFor([&] { return !sensor->isAvailable(); }));
  EXPECT_FALSE(sensor->lux());
  EXPECT_NE(sensor->describe().find("not lux"), std::string::npos) << sensor->describe();
}

TEST(SensorProxy, WithoutABusItIsUnavailableAndSaysWhy) {
  sim::VirtualRunLoop loop;
  auto sensor = makeSensorProxyLightSensor(loop, "unix:path=/nonexistent/bus");
  ASSERT_TRUE(loop.runUntil(
      [&] { return sensor->describe().find("no system bus") != std::string::npos; }, 10));
  EXPECT_FALSE(sensor->lux());
}

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

// Whether the write end of an inhibitor pipe has been closed everywhere (waiting up
// to `seconds` for it).
bool released(int readEnd, double seconds = 0) {
  pollfd p{readEnd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(seconds * 1000)) == 1 && (p.revents & POLLHUP) != 0;
}

TEST(LogindSleep, HoldsSleepBackUntilWillSleepHasRunAndTellsOfTheWake) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  test::FakeBusService logind(bus.address(), "/org/freedesktop/login1", kLogindXml);
  std::mutex mutex;
  std::vector<int> inhibitors;  // read ends, one per Inhibit call
  logind.onMethod([&](const std::string& method, GVariant*, GDBusMethodInvocation* invocation) {
    ASSERT_EQ(method, "Inhibit");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    GUnixFDList* list = g_unix_fd_list_new_from_array(&fds[1], 1);  // takes the write end
    {
      std::lock_guard lock(mutex);
      inhibitors.push_back(fds[0]);
    }
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0),
                                                            list);
    g_object_unref(list);
  });
  ASSERT_TRUE(logind.own("org.freedesktop.login1"));
  auto count = [&] {
    std::lock_guard lock(mutex);
    return inhibitors.size();
  };

  sim::VirtualRunLoop loop;
  auto workspace = makeLinuxWorkspace(nullptr, makeLogindSleepMonitor(loop, bus.address()));
  int slept = 0, woke = 0;
  bool heldWhileSleeping = false;
  workspace->addWillSleepListener([&] {
    ++slept;
    heldWhileSleeping = !released(inhibitors[0]);
  });
  workspace->addDidWakeListener([&] { ++woke; });
  ASSERT_TRUE(loop.runUntil([&] { return count() == 1; }, 10));

  logind.emit("org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", TRUE));
  ASSERT_TRUE(loop.runUntil([&] { return slept == 1; }, 10));
  EXPECT_TRUE(heldWhileSleeping);
  EXPECT_TRUE(released(inhibitors[0], 5));

  logind.emit("org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", FALSE));
  ASSERT_TRUE(loop.runUntil([&] { return woke == 1 && count() == 2; }, 10));
  EXPECT_FALSE(released(inhibitors[1]));
  workspace.reset();
  EXPECT_TRUE(released(inhibitors[1], 5));
  for (int fd : inhibitors) ::close(fd);
}

TEST(LogindSleep, WithoutLogindOrABusNothingIsReportedAndNothingBreaks) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  sim::VirtualRunLoop loop;
  int events = 0;
  for (const std::string& address : {bus.address(), std::string("unix:path=/nonexistent")}) {
    auto workspace = makeLinuxWorkspace(nullptr, makeLogindSleepMonitor(loop, address));
    workspace->addWillSleepListener([&] { ++events; });
    loop.runUntil([] { return false; }, 0.2);
  }
  EXPECT_EQ(events, 0);
}

}  // namespace
}  // namespace nuvlet::linux_platform
