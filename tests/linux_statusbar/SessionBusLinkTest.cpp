#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nuvlet/platform/Log.h"
#include "platform/linux/session/SessionBusLink.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

// Three links to one bus, as the app holds them: however often they retry, --verbose
// says once that the bus is away, once that it is back, once that it went again.
TEST(SessionBusLink, EachChangeOfTheBussStateIsSaidOnce) {
  std::vector<std::string> said;
  log::setSink([&](std::string_view line) { said.emplace_back(line); });
  log::setVerbose(true);
  TempDir dir;
  const std::string address = "unix:path=" + (dir / "bus").string();
  sim::VirtualRunLoop loop;
  int up = 0, down = 0;
  std::vector<std::unique_ptr<linux_platform::SessionBusLink>> links;
  for (int i = 0; i < 3; ++i) {
    links.push_back(std::make_unique<linux_platform::SessionBusLink>(
        loop, address, [&](GDBusConnection*) { ++up; }, [&] { ++down; }));
    links.back()->start();
  }
  // Three rounds of retries, each one ending when every link has failed again.
  auto retries = [&] {
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(pumpUntil([&] { return loop.activeTimers() == 3; }));
      loop.advance(30);
    }
    ASSERT_TRUE(pumpUntil([&] { return loop.activeTimers() == 3; }));
  };
  const auto away = testing::HasSubstr("session bus: Could not connect");
  retries();
  EXPECT_THAT(said, testing::ElementsAre(away));

  auto bus = std::make_unique<DbusDaemon>(DbusDaemon::Kind::Session, "", address);
  ASSERT_TRUE(bus->running());
  loop.advance(30);
  ASSERT_TRUE(pumpUntil([&] { return up == 3; }));
  const auto back = testing::HasSubstr("session bus: connected");
  EXPECT_THAT(said, testing::ElementsAre(away, back));

  bus.reset();
  ASSERT_TRUE(pumpUntil([&] { return down == 3; }));
  retries();
  EXPECT_THAT(said,
              testing::ElementsAre(away, back,
                                   testing::HasSubstr("session bus: the connection closed"), away));
  links.clear();
  log::setSink({});
  log::setVerbose(false);
}

}  // namespace
}  // namespace nuvlet::test
