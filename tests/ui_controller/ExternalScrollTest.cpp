#include "tests/harness/MonitorToolDir.h"
#include "tests/harness/ProcessCheck.h"
#include "tests/ui_controller/ControllerFixture.h"

namespace nuvlet::test {
namespace {

// Scrolls over an external main display, driven through the monitor tool as a child
// process. Virtual time stands still unless the test moves it; runUntil waits for the
// real child processes.
class ExternalScrollTest : public ControllerTest {
 protected:
  void SetUp() override {
    topology.main = 2;
    topology.online = {1, 2};
    external = std::make_unique<ExternalBrightnessController>(clock, monitor.tool());
    start();
    controller->enableFullFeatures(external.get(), nullptr, &volume, &compensation, &stats);
  }

  void TearDown() override {
    controller.reset();
    external.reset();
    EXPECT_TRUE(childProcesses().empty()) << "a monitor tool was left behind";
  }

  // Waits until the tool was run `count` times and nothing more is running.
  void waitForCommands(std::size_t count) {
    const auto done = [&] { return monitor.commands().size() >= count && !external->busy(); };
    EXPECT_TRUE(clock.runUntil(done)) << monitor.commands().size() << " commands";
  }

  MonitorToolDir monitor;
  std::unique_ptr<ExternalBrightnessController> external;
};

TEST_F(ExternalScrollTest, ScrollReadsTheMonitorWritesTheClampedSumAndLeavesTheLoopAlone) {
  monitor.setLevel("99");
  ASSERT_EQ(controller->displayKind(), DisplayKind::External);
  EXPECT_TRUE(brightnessItem().scroll(-4));
  EXPECT_EQ(controller->brightnessView().level(), 0.5) << "set before the monitor answered";
  waitForCommands(2);
  EXPECT_EQ(monitor.commands(), (std::vector<std::string>{"display id=2 get luminance",
                                                          "display id=2 set luminance 100"}));
  EXPECT_EQ(controller->brightnessView().level(), 1.0);
  EXPECT_EQ(brightnessItem().toolTip().text, "100%");
  EXPECT_EQ(controller->displayKind(), DisplayKind::External);

  EXPECT_TRUE(backlight.writes.empty());
  EXPECT_FALSE(compensation.manualOverrideUntil().has_value());
  EXPECT_EQ(stats.todayCount(), 0);
}

TEST_F(ExternalScrollTest, ReadAnsweredAfterTheControllerWentIsDropped) {
  monitor.setLevel("50");
  brightnessItem().scroll(-4);
  controller.reset();
  waitForCommands(1);
  EXPECT_EQ(monitor.commands(), std::vector<std::string>{"display id=2 get luminance"});
}

}  // namespace
}  // namespace nuvlet::test
