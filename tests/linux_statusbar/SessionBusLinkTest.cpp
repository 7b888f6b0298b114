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
  auto says = [&](std::size_t i, const std::string& text) {
    return i < said.size() && said[i].find("session bus: " + text) != std::string::npos;
  };
  retries();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(says(0, "Could not connect")) << said[0];

  auto bus = std::make_unique<DbusDaemon>(DbusDaemon::Kind::Session, "", address);
  ASSERT_TRUE(bus->running());
  loop.advance(30);
  ASSERT_TRUE(pumpUntil([&] { return up == 3; }));
  ASSERT_EQ(said.size(), 2u);
  EXPECT_TRUE(says(1, "connected")) << said[1];

  bus.reset();
  ASSERT_TRUE(pumpUntil([&] { return down == 3; }));
  retries();
  ASSERT_EQ(said.size(), 4u) << said.back();
  EXPECT_TRUE(says(2, "the connection closed")) << said[2];
  EXPECT_TRUE(says(3, "Could not connect")) << said[3];
  links.clear();
  log::setSink({});
  log::setVerbose(false);
}

}  // namespace
}  // namespace nuvlet::test
