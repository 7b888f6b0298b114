#include <gtest/gtest.h>
#include <poll.h>

#include "platform/linux/display/LinuxWorkspace.h"
#include "platform/linux/desktop/LogindSleepMonitor.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/FakeBusService.h"
#include "tests/harness/Servers.h"

namespace nuvlet::linux_platform {
namespace {

TEST(LogindSleep, HoldsSleepBackUntilWillSleepHasRunAndTellsOfTheWake) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  test::FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.own());
  auto count = [&] { return logind.inhibitors().size(); };
  // Whether the write end of the i-th inhibitor has been closed everywhere (waiting up to
  // `seconds` for it).
  auto released = [&](std::size_t i, double seconds = 0) {
    pollfd p{logind.inhibitors()[i], POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(seconds * 1000)) == 1 && (p.revents & POLLHUP) != 0;
  };

  sim::VirtualRunLoop loop;
  auto workspace = makeLinuxWorkspace(nullptr, makeLogindSleepMonitor(loop, bus.address()));
  int slept = 0, woke = 0;
  bool heldWhileSleeping = false;
  workspace->addWillSleepListener([&] {
    ++slept;
    heldWhileSleeping = !released(0);
  });
  workspace->addDidWakeListener([&] { ++woke; });
  ASSERT_TRUE(loop.runUntil([&] { return count() == 1; }, 10));

  logind.prepareForSleep(true);
  ASSERT_TRUE(loop.runUntil([&] { return slept == 1; }, 10));
  EXPECT_TRUE(heldWhileSleeping);
  EXPECT_TRUE(released(0, 5));

  logind.prepareForSleep(false);
  ASSERT_TRUE(loop.runUntil([&] { return woke == 1 && count() == 2; }, 10));
  EXPECT_FALSE(released(1));
  workspace.reset();
  EXPECT_TRUE(released(1, 5));
}

}  // namespace
}  // namespace nuvlet::linux_platform
