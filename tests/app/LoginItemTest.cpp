#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nuvlet/app/LoginItem.h"
#include "nuvlet/platform/Log.h"
#include "platform/sim/MemoryLoginService.h"

namespace nuvlet {
namespace {

using Status = LoginService::Status;

class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::setSink([this](std::string_view line) { lines.emplace_back(line); });
  }
  void TearDown() override { log::setSink({}); }

  sim::MemoryLoginService service;
  MemoryDefaults defaults;
  LoginItem loginItem{service, defaults};
  std::vector<std::string> lines;
};

TEST_F(LoginItemTest, FirstLaunchRegistersOnceAndLogsTheStatus) {
  loginItem.configureAtLaunch();
  EXPECT_EQ(service.registerCalls, 1);
  EXPECT_TRUE(defaults.boolOr("didApplyLoginItemDefault", false));
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Nuvlet: first-run login-item default applied; status=enabled"});
  EXPECT_TRUE(loginItem.isEnabled());
}

TEST_F(LoginItemTest, FailedFirstRegistrationIsNotRetriedOnLaterLaunches) {
  service.failWith = "cannot find the Nuvlet executable";
  service.setStatus(Status::NotFound);
  loginItem.configureAtLaunch();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Nuvlet: login-item register failed: cannot find the Nuvlet executable",
                       "Nuvlet: first-run login-item default applied; status=notFound"}));
  EXPECT_TRUE(defaults.boolOr("didApplyLoginItemDefault", false));

  lines.clear();
  loginItem.configureAtLaunch();
  EXPECT_EQ(service.registerCalls, 1);
  EXPECT_TRUE(lines.empty());
}

TEST_F(LoginItemTest, LaterLaunchesRenewAnEnabledRegistrationOnly) {
  defaults.setValue("didApplyLoginItemDefault", true);
  const struct {
    Status status;
    const char* failure;  // nullptr: the platform succeeds
    int registerCalls;
    std::vector<std::string> lines;
  } cases[] = {
      {Status::NotRegistered, nullptr, 0, {}},  // the user switched it off
      {Status::NotFound, nullptr, 0, {}},
      {Status::Enabled, nullptr, 1, {}},
      {Status::Enabled,
       "Permission denied",
       1,
       {"Nuvlet: login-item register failed: Permission denied"}},
  };
  for (const auto& c : cases) {
    service = {};
    service.setStatus(c.status);
    service.failWith = c.failure ? c.failure : "";
    lines.clear();
    loginItem.configureAtLaunch();
    EXPECT_EQ(service.registerCalls, c.registerCalls) << static_cast<int>(c.status);
    EXPECT_EQ(service.unregisterCalls, 0);
    EXPECT_EQ(lines, c.lines) << static_cast<int>(c.status);
  }
}

TEST_F(LoginItemTest, SwitchingOffTouchesOnlyAnEnabledRegistration) {
  EXPECT_TRUE(loginItem.setEnabled(false));
  EXPECT_EQ(service.unregisterCalls, 0);

  service.setStatus(Status::Enabled);
  service.failWith = "Read-only file system";
  EXPECT_FALSE(loginItem.setEnabled(false));
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Nuvlet: login-item unregister failed: Read-only file system"});
  EXPECT_TRUE(loginItem.isEnabled());  // the check mark follows the real state

  service.failWith.clear();
  EXPECT_TRUE(loginItem.setEnabled(false));
  EXPECT_FALSE(loginItem.isEnabled());
}

TEST_F(LoginItemTest, ToggleFlipsTheRealState) {
  loginItem.toggle();
  EXPECT_TRUE(loginItem.isEnabled());
  loginItem.toggle();
  EXPECT_FALSE(loginItem.isEnabled());
  EXPECT_EQ(service.registerCalls, 1);
  EXPECT_EQ(service.unregisterCalls, 1);
  // A failing platform leaves the state and only logs.
  service.failWith = "No space left on device";
  loginItem.toggle();
  EXPECT_FALSE(loginItem.isEnabled());
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(LoginItemTest, StatusTexts) {
  EXPECT_EQ(LoginItem::statusDescription(Status::Enabled), "enabled");
  EXPECT_EQ(LoginItem::statusDescription(Status::NotRegistered), "notRegistered");
  EXPECT_EQ(LoginItem::statusDescription(Status::NotFound), "notFound");
  EXPECT_EQ(LoginItem::statusDescription(static_cast<Status>(7)), "unknown");
  service.setStatus(Status::NotFound);
  EXPECT_EQ(loginItem.statusDescription(), "notFound");
}

}  // namespace
}  // namespace nuvlet
