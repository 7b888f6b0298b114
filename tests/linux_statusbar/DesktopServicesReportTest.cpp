#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/DesktopServicesReport.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/Servers.h"

namespace nuvlet::test {
namespace {

// The report blocks, and the services answer on this thread's main context.
std::vector<std::string> report(const std::string& address) {
  std::vector<std::string> lines;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    lines = linux_platform::describeDesktopServices(address);
    done = true;
    g_main_context_wakeup(nullptr);  // the pump sleeps until something happens
  });
  pumpUntil([&] { return done.load(); }, 20);
  worker.join();
  return lines;
}

TEST(DesktopServicesReport, SaysWhatTheTrayItemsWillFind) {
  DbusDaemon bus;
  ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
  auto bare = report(bus.address());
  ASSERT_EQ(bare.size(), 3u);
  EXPECT_EQ(bare[0], "tray: none (no StatusNotifierItem watcher; the items cannot be shown)");
  EXPECT_EQ(bare[1], "notifications: none");
  EXPECT_EQ(bare[2].rfind("colour scheme: no preference (settings portal: ", 0), 0u) << bare[2];

  TrayHost host(bus.address(), /*hostRegistered=*/false);
  ASSERT_TRUE(host.start());
  NotificationServer notifications(bus.address());
  ASSERT_TRUE(notifications.start());
  auto lines = report(bus.address());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "tray: StatusNotifierItem watcher present, no host registered (nothing is drawn), 0 "
            "items");
  EXPECT_EQ(lines[1], "notifications: server running");

  EXPECT_EQ(linux_platform::describeDesktopServices("unix:path=/nonexistent/bus")
                .at(0)
                .rfind("session bus unreachable: ", 0),
            0u);
}

}  // namespace
}  // namespace nuvlet::test
