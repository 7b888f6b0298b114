#include <gtest/gtest.h>

#include "platform/linux/desktop/LogindSleepMonitor.h"
#include "platform/linux/display/LinuxWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/DbusMock.h"
#include "tests/harness/Servers.h"
#include "tests/support/PollUntil.h"

namespace nuvlet::linux_platform {
namespace {

TEST(LogindSleep, HoldsSleepBackUntilWillSleepHasRunAndTellsOfTheWake) {
  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
  auto logind = test::DbusMock::fromTemplate(bus.address(), true, "logind");
  ASSERT_TRUE(logind->running()) << "python3-dbusmock is required";
  // The inhibitors logind holds: one leaves the list once its descriptor is closed everywhere.
  auto held = [&] {
    GVariant* reply = logind->call("ListInhibitors", nullptr, "org.freedesktop.login1.Manager");
    if (!reply) return std::size_t{99};
    GVariant* list = g_variant_get_child_value(reply, 0);
    const std::size_t n = g_variant_n_children(list);
    g_variant_unref(list);
    g_variant_unref(reply);
    return n;
  };
  auto sleep = [&](bool sleeping) {
    return logind->emit("org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                        g_variant_new("(b)", sleeping));
  };

  sim::VirtualRunLoop loop;
  auto workspace = makeLinuxWorkspace(nullptr, makeLogindSleepMonitor(loop, bus.address()));
  int slept = 0, woke = 0;
  bool heldWhileSleeping = false;
  workspace->addWillSleepListener([&] {
    ++slept;
    heldWhileSleeping = held() == 1;
  });
  workspace->addDidWakeListener([&] { ++woke; });
  ASSERT_TRUE(loop.runUntil([&] { return held() == 1; }, 10));

  ASSERT_TRUE(sleep(true));
  ASSERT_TRUE(loop.runUntil([&] { return slept == 1; }, 10));
  EXPECT_TRUE(heldWhileSleeping);
  EXPECT_TRUE(test::pollUntil([&] { return held() == 0; }, 5));

  ASSERT_TRUE(sleep(false));
  ASSERT_TRUE(loop.runUntil([&] { return woke == 1 && held() == 1; }, 10));
  workspace.reset();
  EXPECT_TRUE(test::pollUntil([&] { return held() == 0; }, 5));
}

}  // namespace
}  // namespace nuvlet::linux_platform
