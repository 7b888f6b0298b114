#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "platform/linux/SysfsBacklight.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_backlight/BacklightTree.h"
#include "tests/linux_backlight/FakeLogind.h"
#include "tests/support/Servers.h"

namespace nuvlet::test {
namespace {

using linux_platform::BacklightWriteChoice;

// A private system bus for each test, a fake sysfs tree and, unless a test says
// otherwise, a fake logind writing into that tree.
class LogindBacklight : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon is needed for these tests";
    tree.add("intel_backlight", "raw", "120000", "60000\n");
  }

  void startLogind() {
    logind = std::make_unique<FakeLogind>(bus.address(), tree.root());
    ASSERT_TRUE(logind->running());
  }

  std::unique_ptr<BacklightDevice> open(BacklightWriteChoice write = BacklightWriteChoice::Logind,
                                        int timeoutMs = 2000) {
    linux_platform::SysfsBacklightOptions options;
    options.sysfsRoot = tree.root();
    options.write = write;
    options.busTimeoutMs = timeoutMs;
    return linux_platform::makeSysfsBacklight(std::move(options));
  }

  DbusDaemon bus{DbusDaemon::Kind::System};
  ScopedEnv systemBus{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()};
  BacklightTree tree;
  std::unique_ptr<FakeLogind> logind;
};

TEST_F(LogindBacklight, RefusalsAreKeptAsOneLineAndTheNextWriteStillGoesOut) {
  startLogind();
  auto device = open();
  const std::pair<FakeLogind::Answer, const char*> cases[] = {
      {FakeLogind::Answer::NotYourDevice, "org.freedesktop.login1.NotYourDevice"},
      {FakeLogind::Answer::AccessDenied, "org.freedesktop.DBus.Error.AccessDenied"}};
  for (const auto& [answer, error] : cases) {
    logind->setAnswer(answer);
    EXPECT_FALSE(device->write(0.9));
    EXPECT_EQ(tree.read("intel_backlight"), "60000\n");
    const auto problem = device->info().problem;
    EXPECT_NE(problem.find(error), std::string::npos) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos);
    EXPECT_DOUBLE_EQ(device->read().value_or(-1), 0.5) << "reads are unaffected";

    logind->setAnswer(FakeLogind::Answer::Write);
    EXPECT_TRUE(device->write(0.75));
    EXPECT_EQ(device->info().problem, "");
    tree.set("intel_backlight", "brightness", "60000\n");
  }
}

TEST_F(LogindBacklight, ALogindThatNeverAnswersCostsOnlyTheTimeout) {
  startLogind();
  logind->setAnswer(FakeLogind::Answer::Silent);
  auto device = open(BacklightWriteChoice::Logind, /*timeoutMs=*/150);
  EXPECT_FALSE(device->write(0.3));
  EXPECT_NE(device->info().problem.find("did not answer"), std::string::npos)
      << device->info().problem;
}

TEST_F(LogindBacklight, WithoutLogindThereIsNoWritePathAndSaysWhy) {
  const struct {
    const char* what;
    std::string address;
    const char* problem;
  } cases[] = {
      {"bus without logind", bus.address(), "not on the system bus"},
      {"no system bus", "unix:path=" + (tree.root() / "nothing-here").string(), "no system bus"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv address("DBUS_SYSTEM_BUS_ADDRESS", c.address);
    auto device = open();
    EXPECT_EQ(device->info().writePath, BacklightWritePath::None);
    EXPECT_NE(device->info().problem.find(c.problem), std::string::npos) << device->info().problem;
    EXPECT_FALSE(device->write(0.3));
    EXPECT_EQ(tree.read("intel_backlight"), "60000\n");
    EXPECT_DOUBLE_EQ(device->read().value_or(-1), 0.5);
  }
}

// The loop over the real adapter: it writes through the session, reads back from sysfs,
// shrugs off a refusal and keeps going.
TEST_F(LogindBacklight, TheLoopDrivesTheBacklightThroughLogindAndSurvivesRefusals) {
  startLogind();
  auto device = open();
  EXPECT_EQ(device->info().writePath, BacklightWritePath::Logind);
  EXPECT_EQ(device->info().problem, "");
  BrightnessController brightness(*device);
  sim::VirtualRunLoop clock;
  sim::ScriptedWorkspace workspace;
  sim::ScriptedDisplayTopology topology;
  MemoryDefaults defaults(nlohmann::json{{"autoAdjustEnabled", true}});
  const auto paths = Paths::under(tree.root() / "home");
  AdjustmentLogger logger(paths, clock, workspace);
  DailyStats stats(paths, clock);
  CompensationLoop loop(brightness, stats, logger, defaults, topology, clock);
  BrightnessModel model = BrightnessModel::empty();
  model.prior.bByLumBin.assign(1, 0.7);
  loop.setModel(model);

  loop.onLuminanceUpdate(0.5, 0.5);  // fresh start: anchors at 0.5, writes nothing
  EXPECT_TRUE(logind->calls().empty());
  loop.onLuminanceUpdate(0.5, 0.5);
  ASSERT_EQ(logind->calls().size(), 1u);
  const auto written = std::to_string(std::llround(loop.B_current() * 120000));
  EXPECT_EQ(tree.read("intel_backlight"), written + "\n");
  const auto call = logind->calls()[0];
  EXPECT_EQ(call.subsystem + " " + call.name + " " + std::to_string(call.value),
            "backlight intel_backlight " + written);

  logind->setAnswer(FakeLogind::Answer::NotYourDevice);
  const std::string before = tree.read("intel_backlight");
  loop.onLuminanceUpdate(0.5, 0.5);
  EXPECT_EQ(logind->calls().size(), 2u);
  EXPECT_EQ(tree.read("intel_backlight"), before);

  logind->setAnswer(FakeLogind::Answer::Write);
  loop.onLuminanceUpdate(0.5, 0.5);
  EXPECT_EQ(logind->calls().size(), 3u);
  EXPECT_EQ(tree.read("intel_backlight"),
            std::to_string(std::llround(loop.B_current() * 120000)) + "\n");
}

}  // namespace
}  // namespace nuvlet::test
