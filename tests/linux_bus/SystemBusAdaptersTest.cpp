#include <gtest/gtest.h>

#include "platform/linux/desktop/LogindSleepMonitor.h"
#include "platform/linux/display/LinuxWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/MockLogind.h"
#include "tests/harness/Servers.h"
#include "tests/support/PollUntil.h"

namespace nuvlet::linux_platform {
namespace {

TEST(LogindSleep, HoldsSleepBackUntilWillSleepHasRunAndTellsOfTheWake) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  auto logind = test::DbusMock::fromTemplate(bus.address(), true, "logind");
  ASSERT_TRUE(logind->running()) << "python3-dbusmock is required";
  auto held = [&] { return test::inhibitorsHeld(*logind); };

  sim::VirtualRunLoop loop;
  auto workspace = makeLinuxWorkspace(nullptr, makeLogindSleepMonitor(loop, bus.address()));
  int slept = 0, woke = 0;
  bool heldWhileSleeping = false;
  workspace->addWillSleepListener([&] {
    ++slept;
    heldWhileSleeping = held() == 1u;
  });
  workspace->addDidWakeListener([&] { ++woke; });
  ASSERT_TRUE(loop.runUntil([&] { return held() == 1u; }, 10));

  ASSERT_TRUE(test::prepareForSleep(*logind, true));
  ASSERT_TRUE(loop.runUntil([&] { return slept == 1; }, 10));
  EXPECT_TRUE(heldWhileSleeping);
  EXPECT_TRUE(test::pollUntil([&] { return held() == 0u; }, 5));

  ASSERT_TRUE(test::prepareForSleep(*logind, false));
  ASSERT_TRUE(loop.runUntil([&] { return woke == 1 && held() == 1u; }, 10));
  workspace.reset();
  EXPECT_TRUE(test::pollUntil([&] { return held() == 0u; }, 5));
}

}  // namespace
}  // namespace nuvlet::linux_platform
