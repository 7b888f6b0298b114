#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <mutex>

#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/LogindSleepMonitor.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_bus/FakeBusService.h"
#include "tests/support/Servers.h"

namespace nuvlet::linux_platform {
namespace {

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

}  // namespace
}  // namespace nuvlet::linux_platform
