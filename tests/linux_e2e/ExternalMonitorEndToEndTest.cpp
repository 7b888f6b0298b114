// Nuvlet, nuvlet-ddc and the real libddcutil together, against a simulated DDC/CI
// monitor on sway's second headless output.
#include <gmock/gmock.h>

#include <map>
#include <string>

#include "tests/harness/BacklightTree.h"
#include "tests/harness/SimulatedMonitors.h"
#include "tests/harness/SwayDesktop.h"
#include "tests/linux_e2e/RunningApp.h"

namespace nuvlet::test {
namespace {

using simddc::Fault;
using simddc::MonitorState;

TEST(ExternalMonitorEndToEnd, AWheelNotchMovesTheMonitorByOneNotchAndFaultsLeaveItAlone) {
  // First: the simulated /sys and /dev must be in place before any program starts.
  SimulatedMonitors sim;
  if (!sim.whyNot().empty()) GTEST_SKIP() << sim.whyNot();
  writeBacklight("/sys", 60);
  const MonitorState monitor = simddc::sampleMonitor(1);  // 120 of 200: 60 %
  sim.plug("HEADLESS-2", 3, monitor);
  // Two more on the desk: libddcutil probes every monitor on every run of the tool.
  sim.plug("DP-1", 4, simddc::sampleMonitor(2));
  sim.plug("DP-2", 5, simddc::sampleMonitor(3));
  const auto level = [&] { return sim.state(3).value_or(MonitorState{}).brightness; };

  SwayDesktop desktop;
  ASSERT_NO_FATAL_FAILURE(desktop.startDesktop());
  ASSERT_TRUE(desktop.addMonitor("1280x720"));
  TrayHost& host = desktop.host;
  auto env = desktop.environment("/sys");
  for (const auto& [name, value] : sim.environment()) env[name] = value;
  RunningApp app(env);
  std::string item;
  ASSERT_TRUE(app.waitFor([&] { return !(item = host.itemTitled("Brightness")).empty(); }));

  // The wheel goes to the monitor once it is chosen in the menu.
  std::map<std::string, int> ids;
  std::string entry;
  ASSERT_TRUE(app.waitFor([&] {
    ids = host.menuIds(item);
    for (const auto& [label, id] : ids) {
      if (label.find("(HEADLESS-2)") != std::string::npos) entry = label;
    }
    return !entry.empty();
  })) << app.output();
  ASSERT_TRUE(host.click(item, ids[entry]));
  ASSERT_TRUE(
      app.waitFor([&] { return settingsIn(desktop.home.path()).contains("scrollDisplay"); }));

  // One notch up: 60 % to 65 % of the monitor's 200.
  ASSERT_TRUE(host.scroll(item, -1));
  EXPECT_TRUE(app.waitFor([&] { return level() == 130; })) << level() << "\n" << app.output();
  EXPECT_EQ(sim.state(3)->sets, 1);

  // `nuvlet devices` shows it. Then a monitor that stops answering, and one unplugged
  // between two notches: nothing is written, the app goes on answering and does not
  // hammer the bus; plugged back, the next notch goes on from the level it holds.
  const auto devices = [&] {
    return ChildProcess::run({"/bin/sh", "-c", "exec \"$0\" devices 2>&1", NUVLET_PROGRAM}, env, 30)
        .out;
  };
  EXPECT_THAT(devices(),
              testing::HasSubstr("HEADLESS-2: NVL Sim Monitor on i2c-3, brightness 65%"));

  sim.change(3, [](MonitorState& s) { s.fault = Fault::NoReply, s.requests = 0, s.sets = 0; });
  ASSERT_TRUE(host.scroll(item, -1) && host.scroll(item, -1));
  EXPECT_TRUE(app.waitFor([&] { return sim.state(3)->requests >= 10; })) << app.output();
  EXPECT_EQ(host.menuIds(item).count("Deruzorar!"), 1u) << "the menu answers";
  EXPECT_THAT(devices(), testing::HasSubstr("HEADLESS-2: NVL Sim Monitor on i2c-3, the monitor on "
                                            "i2c-3 did not report its brightness"));
  EXPECT_LE(sim.state(3)->requests, 40) << "tries for two notches and the report";

  sim.unplug("HEADLESS-2", 3);
  ASSERT_TRUE(host.scroll(item, -1));
  EXPECT_EQ(host.menuIds(item).count("Deruzorar!"), 1u) << "the menu answers";
  EXPECT_THAT(devices(), testing::Not(testing::HasSubstr("i2c-3")));
  sim.plug("HEADLESS-2", 3, monitor);
  sim.change(3, [](MonitorState& s) { s.brightness = 130; });
  ASSERT_TRUE(host.scroll(item, -1));
  EXPECT_TRUE(app.waitFor([&] { return level() == 140; })) << level();
  EXPECT_EQ(sim.state(3)->sets, 1) << "the notches that failed wrote nothing";
  desktop.sway.kill();
  EXPECT_EQ(app.process().wait(10), 0);
}

}  // namespace
}  // namespace nuvlet::test
