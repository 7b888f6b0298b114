#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nuvlet/app/LoginItem.h"
#include "nuvlet/platform/Log.h"
#include "platform/sim/MemoryLoginService.h"

namespace nuvlet {
namespace {

using Status = LoginService::Status;
using Lines = std::vector<std::string>;

class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::setSink([this](std::string_view line) { lines.emplace_back(line); });
  }
  void TearDown() override { log::setSink({}); }

  sim::MemoryLoginService service;
  MemoryDefaults defaults;
  LoginItem loginItem{service, defaults};
  Lines lines;
};

TEST_F(LoginItemTest, FirstLaunchRegistersOnceAndLogsTheStatus) {
  loginItem.configureAtLaunch();
  EXPECT_EQ(service.registerCalls, 1);
  EXPECT_TRUE(defaults.boolOr("didApplyLoginItemDefault", false));
  EXPECT_EQ(lines, Lines{"Nuvlet: first-run login-item default applied; status=enabled"});
}

TEST_F(LoginItemTest, FailedFirstRegistrationIsNotRetriedOnLaterLaunches) {
  service.failWith = "cannot find the Nuvlet executable";
  service.setStatus(Status::NotFound);
  loginItem.configureAtLaunch();
  EXPECT_EQ(lines, (Lines{"Nuvlet: login-item register failed: cannot find the Nuvlet executable",
                          "Nuvlet: first-run login-item default applied; status=notFound"}));
  lines.clear();
  loginItem.configureAtLaunch();
  EXPECT_EQ(service.registerCalls, 1);
  EXPECT_TRUE(lines.empty());
}

TEST_F(LoginItemTest, LaterLaunchesRenewAnEnabledRegistrationOnly) {
  defaults.setValue("didApplyLoginItemDefault", true);
  const struct {
    Status status;
    const char* failure;
    int registerCalls;
    Lines lines;
  } cases[] = {
      {Status::NotRegistered, "", 0, {}},  // the user switched it off
      {Status::NotFound, "", 0, {}},
      {Status::Enabled, "", 1, {}},
      {Status::Enabled,
       "Permission denied",
       1,
       {"Nuvlet: login-item register failed: Permission denied"}},
  };
  for (const auto& c : cases) {
    service = {};
    service.setStatus(c.status);
    service.failWith = c.failure;
    lines.clear();
    loginItem.configureAtLaunch();
    EXPECT_EQ(service.registerCalls, c.registerCalls) << static_cast<int>(c.status);
    EXPECT_EQ(lines, c.lines) << static_cast<int>(c.status);
  }
}

TEST_F(LoginItemTest, SwitchingOffTouchesOnlyAnEnabledRegistration) {
  EXPECT_TRUE(loginItem.setEnabled(false));
  EXPECT_EQ(service.unregisterCalls, 0);
  loginItem.toggle();
  EXPECT_TRUE(loginItem.isEnabled());

  service.failWith = "Read-only file system";
  EXPECT_FALSE(loginItem.setEnabled(false));
  EXPECT_EQ(lines, Lines{"Nuvlet: login-item unregister failed: Read-only file system"});
  EXPECT_TRUE(loginItem.isEnabled());  // the check mark follows the real state

  service.failWith.clear();
  loginItem.toggle();
  EXPECT_FALSE(loginItem.isEnabled());
  EXPECT_EQ(service.unregisterCalls, 2);
}
}  // namespace
}  // namespace nuvlet
