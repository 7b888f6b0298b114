// nuvlet-ddc as built, with the real libddcutil: against simulated DDC/CI monitors, and
// without any. The displays are the DRM connectors (as in a Wayland session) unless a
// test says X11.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/linux/display/DrmConnectors.h"
#include "tests/harness/DisplaysDrmTree.h"
#include "tests/harness/ProcessCheck.h"
#include "tests/harness/RandrEdid.h"
#include "tests/harness/Servers.h"
#include "tests/harness/ToolDdcSession.h"
#include "tools/nuvlet-ddc/Edid.h"

namespace nuvlet::test {
namespace {

using simddc::Fault;
using simddc::MonitorState;
using simddc::sampleMonitor;

std::string bytes(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

// The id the app gives the display on `connector` showing `edid`.
std::string id(const std::string& connector, const std::vector<std::uint8_t>& edid) {
  return "id=" + std::to_string(linux_platform::waylandDisplayId(
                     connector, linux_platform::validEdid(bytes(edid))));
}

bool oneLine(const std::string& s) {
  return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

// How the tool says no: exit status 1, nothing on stdout (libddcutil's chatter included),
// and one line on stderr that gives `reason`.
void expectRefusal(const SubprocessResult& r, const std::string& reason) {
  SCOPED_TRACE("refused for \"" + reason + "\"");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(oneLine(r.err) && r.err.find(reason) != std::string::npos) << r.err;
}

// Nothing the tool starts outlives it.
class ToolProgram : public ::testing::Test, protected ToolDdcSession {
 protected:
  void TearDown() override { EXPECT_TRUE(childProcesses().empty()); }
};

class ToolWithMonitors : public ToolProgram, protected ToolDdcMonitors {
 protected:
  void SetUp() override {
    if (!sim.whyNot().empty()) GTEST_SKIP() << sim.whyNot();
  }

  SubprocessResult get(const std::string& connector, const MonitorState& m) {
    return runDdcTool({"display", id(connector, m.edid), "get", "luminance"});
  }
  SubprocessResult set(const std::string& connector, const MonitorState& m, int percent) {
    return runDdcTool(
        {"display", id(connector, m.edid), "set", "luminance", std::to_string(percent)});
  }
  nlohmann::json cacheFile() {
    return nlohmann::json::parse(readText(cache / "nuvlet/ddc-buses.json"), nullptr, false);
  }
};

TEST_F(ToolWithMonitors, ListsEveryMonitorOnItsBusWithItsLevelTwoOfAModelApart) {
  auto a = sampleMonitor(1), b = sampleMonitor(2);
  b.brightness = 50;
  sim.plug("DP-1", 3, a);
  sim.plug("HDMI-A-1", 5, b);
  auto list = runDdcTool({"list"});
  EXPECT_EQ(list.exitStatus, 0) << list.err;
  EXPECT_EQ(list.out, id("DP-1", a.edid) + " DP-1: NVL Sim Monitor on i2c-3, brightness 60%\n" +
                          id("HDMI-A-1", b.edid) +
                          " HDMI-A-1: NVL Sim Monitor on i2c-5, brightness 25%\n");
  EXPECT_EQ(list.err, "");
}

// VCP 0x10 counts from 0 to the monitor's own maximum; percentages are of that.
TEST_F(ToolWithMonitors, GetAndSetScaleByTheMonitorsMaximum) {
  struct Case {
    int maximum, holds;
    std::string reads;
    int setTo, writes;
  } cases[] = {
      {200, 120, "60\n", 25, 50}, {37, 37, "100\n", 50, 19}, {255, 0, "0\n", 100, 255},
      {200, 250, "100\n", 0, 0},  // a level above the maximum reads as full
      {1, 1, "100\n", 49, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("maximum " + std::to_string(c.maximum) + ", " + std::to_string(c.setTo) + "%");
    auto m = sampleMonitor(7);
    m.maximum = c.maximum;
    m.brightness = c.holds;
    sim.plug("DP-1", 3, m);
    auto read = get("DP-1", m);
    EXPECT_EQ(std::tuple(read.exitStatus, read.out), std::tuple(0, c.reads)) << read.err;
    auto write = set("DP-1", m, c.setTo);
    EXPECT_EQ(std::tuple(write.exitStatus, write.out), std::tuple(0, "")) << write.err;
    EXPECT_EQ(on(3).brightness, c.writes);
    EXPECT_EQ(on(3).sets, 1);
  }
}

// Where the kernel does not link a connector to its bus (X11 drivers, some GPUs), the
// cache names it; a cache that names another monitor's bus, a bus no longer there or
// one that carries no display sends nothing there.
TEST_F(ToolWithMonitors, TheBusCacheIsWrittenUsedAndCorrectedWhenBusesMove) {
  auto a = sampleMonitor(1), b = sampleMonitor(2);
  sim.plug("DP-1", 3, a, std::nullopt, false);
  sim.plug("HDMI-A-1", 5, b, std::nullopt, false);
  ASSERT_EQ(get("DP-1", a).out, "60\n");
  auto entries = cacheFile()["buses"];
  ASSERT_EQ(entries.size(), 1u) << entries;
  EXPECT_EQ(entries[0]["bus"], 3);

  // libddcutil 1.4 still probes every bus first: its display references come from a
  // full detection.
  ASSERT_EQ(set("DP-1", a, 40).exitStatus, 0);
  EXPECT_EQ(on(3).brightness, 80);
  EXPECT_EQ(on(5).sets, 0);

  // After a restart the buses are numbered anew: DP-1's is 7, and 3 is HDMI-A-1's.
  sim.unplug("DP-1", 3);
  sim.plug("HDMI-A-1", 3, b, std::nullopt, false);
  sim.plug("DP-1", 7, a, std::nullopt, false);
  auto moved = set("DP-1", a, 10);
  EXPECT_EQ(moved.exitStatus, 0) << moved.err;
  EXPECT_EQ(on(7).brightness, 20);
  EXPECT_EQ(on(3).brightness, 120) << "the monitor the stale entry named";
  EXPECT_EQ(on(3).sets, 0);
  EXPECT_EQ(cacheFile()["buses"][0]["bus"], 7);

  MonitorState smbus;
  smbus.fault = Fault::Nak;
  sim.addBus(8, "SMBus I801 adapter", smbus);
  const std::string key = "DP-1 " + ddc::edidKey(a.edid);
  for (int bus : {9, 8}) {
    cache.write("nuvlet/ddc-buses.json",
                nlohmann::json{{"version", 1}, {"buses", {{{"edid", key}, {"bus", bus}}}}}.dump());
    auto r = get("DP-1", a);
    EXPECT_EQ(r.out, "10\n") << "bus " << bus << ": " << r.err;
    EXPECT_EQ(cacheFile()["buses"][0]["bus"], 7);
  }
}

// Two monitors alike to the last byte of their EDIDs: the connectors' own buses tell them
// apart; without those the tool refuses rather than dim the wrong one.
TEST_F(ToolWithMonitors, TwinsAreToldApartByTheirConnectorsOrNotAtAll) {
  auto twin = sampleMonitor(0);
  sim.plug("DP-1", 3, twin);
  sim.plug("DP-2", 4, twin);
  ASSERT_EQ(set("DP-2", twin, 30).exitStatus, 0);
  EXPECT_EQ(on(4).brightness, 60);
  EXPECT_EQ(on(3).brightness, 120);
  ASSERT_EQ(set("DP-1", twin, 10).exitStatus, 0);
  EXPECT_EQ(on(3).brightness, 20);

  sim.plug("DP-1", 3, twin, std::nullopt, false);
  sim.plug("DP-2", 4, twin, std::nullopt, false);
  for (int round = 0; round < 2; ++round)
    expectRefusal(set("DP-2", twin, 90), "2 monitors have the EDID");
  EXPECT_EQ(on(3).sets + on(4).sets, 0);
}

// Each fault, met after the monitor answered once: one clear line, the level unchanged,
// a bounded number of tries.
TEST_F(ToolWithMonitors, AMonitorsFaultsGetAClearAnswerAndNoStormOfTries) {
  struct Case {
    const char* what;
    std::function<void(MonitorState&)> fault;
    std::string reason;      // in the get's and the set's answer
    std::string readAnswer;  // when Get still works, its answer
  } cases[] = {
      {"no reply", [](MonitorState& s) { s.fault = Fault::NoReply; },
       "did not report its brightness", ""},
      {"NAK", [](MonitorState& s) { s.fault = Fault::Nak; }, "does not answer DDC/CI", ""},
      {"bad checksum", [](MonitorState& s) { s.fault = Fault::BadChecksum; },
       "does not answer DDC/CI", ""},
      {"late reply", [](MonitorState& s) { s.fault = Fault::Late, s.lateMs = 3000; },
       "did not report its brightness", ""},
      {"maximum 0", [](MonitorState& s) { s.maximum = 0; }, "maximum brightness of 0", ""},
      {"ignores Set", [](MonitorState& s) { s.fault = Fault::IgnoreSet; },
       "ignores brightness changes", "60\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto a = sampleMonitor(1);
    sim.plug("DP-1", 3, a);
    ASSERT_EQ(get("DP-1", a).out, "60\n");
    sim.change(3, [&](MonitorState& s) {
      c.fault(s);
      s.requests = 0;
    });
    auto read = get("DP-1", a);
    auto write = set("DP-1", a, 30);
    expectRefusal(write, c.reason);
    if (c.readAnswer.empty()) expectRefusal(read, c.reason);
    EXPECT_EQ(read.out, c.readAnswer);
    EXPECT_EQ(on(3).brightness, 120);
    EXPECT_LE(on(3).requests, 30) << "tries for one get and one set";
  }
}

// EDIDs of odd lengths, in sysfs and on the bus, and capabilities strings that the tool
// has no need to read.
TEST_F(ToolWithMonitors, OddEdidsAndCapabilitiesGetADefinedAnswer) {
  struct Case {
    const char* what;
    std::function<void(MonitorState&)> change;
    bool sysfsToo;       // the kernel's copy is changed alike
    std::string reason;  // "" when get must answer 60
  } cases[] = {
      {"no EDID", [](MonitorState& s) { s.edid.clear(); }, true, "has no usable EDID"},
      {"127 bytes", [](MonitorState& s) { s.edid.resize(127); }, true, "has no usable EDID"},
      {"129 bytes", [](MonitorState& s) { s.edid.push_back(0); }, true, "has no usable EDID"},
      {"256 bytes", [](MonitorState& s) { s = sampleMonitor(1, "Sim Monitor", 1); }, true, ""},
      {"no EEPROM on the bus", [](MonitorState& s) { s.edid.clear(); }, false,
       "no monitor on an I2C bus has the EDID"},
      {"127 bytes on the bus", [](MonitorState& s) { s.edid.resize(127); }, false,
       "no monitor on an I2C bus has the EDID"},
      {"capabilities cut", [](MonitorState& s) { s.capabilities.resize(20); }, true, ""},
      {"64 KiB of capabilities", [](MonitorState& s) { s.capabilities.resize(64 << 10, 'x'); },
       true, ""},
  };
  for (const auto& c : cases) {
    const auto good = sampleMonitor(1);
    auto m = good;
    c.change(m);
    sim.plug("DP-1", 3, m, c.sysfsToo ? std::nullopt : std::optional(bytes(good.edid)));
    const auto& shown = c.sysfsToo ? m : good;
    auto r = get("DP-1", shown);
    if (c.reason.empty()) {
      EXPECT_EQ(r.out, "60\n") << c.what << ": " << r.err;
    } else {
      SCOPED_TRACE(c.what);
      expectRefusal(r, c.reason);
    }
    auto list = runDdcTool({"list"});
    EXPECT_EQ(list.exitStatus, 0) << c.what;
    EXPECT_TRUE(oneLine(list.out)) << c.what << ": " << list.out;
  }
}

// In an X11 session the display is a RandR output, its EDID the output's property.
TEST_F(ToolWithMonitors, InAnX11SessionTheRandrOutputLeadsToItsMonitor) {
  XvfbServer xvfb;
  ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
  auto a = sampleMonitor(1, "Sim Monitor", 1);
  sim.plug("DP-1", 3, a, std::nullopt, false);
  const auto output = giveFirstOutputEdid(xvfb.display(), a.edid);
  ASSERT_NE(output, 0u);

  ScopedEnv x11("XDG_SESSION_TYPE", "x11");
  ScopedEnv xdisplay("DISPLAY", xvfb.display());
  const std::string randrId = "id=" + std::to_string(output);
  auto list = runDdcTool({"list"});
  EXPECT_NE(list.out.find(randrId + " screen: NVL Sim Monitor on i2c-3, brightness 60%"),
            std::string::npos)
      << list.out << list.err;
  EXPECT_EQ(runDdcTool({"display", randrId, "set", "luminance", "45"}).exitStatus, 0);
  EXPECT_EQ(on(3).brightness, 90);
  EXPECT_EQ(runDdcTool({"display", randrId, "get", "luminance"}).out, "45\n");
  expectRefusal(runDdcTool({"display", "id=4242", "get", "luminance"}),
                "RandR output 4242 is not a connected output");
}

TEST_F(ToolProgram, WithoutAnXServerItFailsFastWithAReason) {
  ScopedEnv x("DISPLAY", ":9999");
  ScopedEnv noWayland("WAYLAND_DISPLAY", std::nullopt);
  ScopedEnv x11("XDG_SESSION_TYPE", "x11");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"display", "id=1", "get", "luminance"},
                                             {"display", "id=1", "set", "luminance", "50"},
                                             {"list"}}) {
    const auto start = std::chrono::steady_clock::now();
    auto run = runDdcTool(args);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << "waited for something that is not there";
    expectRefusal(run, "X server");
  }
}

// Without X the displays are the DRM connectors, numbered as the app numbers them in
// a Wayland session; whatever DDC/CI then says, the answer names the display.
TEST_F(ToolProgram, InAWaylandSessionDisplaysComeFromTheDrmConnectors) {
  TempDir sys;
  auto edid = [](std::uint32_t serial) { return bytes(simddc::makeEdid(serial)); };
  layDrmConnectors(sys, {{"card0-eDP-1", edid(1)},
                         {"card0-DP-1", edid(2)},
                         {"card0-DP-2", edid(3).substr(0, 100)},
                         {"card0-HDMI-A-1", "", false}});
  ScopedEnv root("NUVLET_SYSFS_ROOT", sys.path().string());

  const std::string dp1 = id("DP-1", simddc::makeEdid(2)), dp2 = id("DP-2", {});
  auto list = runDdcTool({"list"});
  EXPECT_EQ(list.exitStatus, 0) << list.err;
  ASSERT_EQ(list.out.rfind(dp1 + " DP-1: ", 0), 0u) << list.out;
  EXPECT_NE(list.out.find("\n" + dp2 + " DP-2: no usable EDID\n"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("eDP-1"), std::string::npos) << "the panel is not external";
  EXPECT_EQ(list.out.find("HDMI"), std::string::npos) << "a disconnected connector";

  // Each a part of the one line on stderr.
  expectRefusal(runDdcTool({"display", dp2, "get", "luminance"}), "no usable EDID");
  expectRefusal(runDdcTool({"display", "id=12345", "set", "luminance", "40"}),
                "no connected display has id 12345");
  // The monitor with a good EDID gets as far as DDC/CI: no X server is asked.
  auto get = runDdcTool({"display", dp1, "get", "luminance"});
  EXPECT_EQ(get.err.find("X server"), std::string::npos) << get.err;
}

}  // namespace
}  // namespace nuvlet::test
