// nuvlet-ddc as built, with the real libddcutil, against simulated DDC/CI monitors.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "nuvlet/platform/Subprocess.h"
#include "platform/linux/display/DrmConnectors.h"
#include "tests/harness/SimulatedMonitors.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

using simddc::Fault;
using simddc::MonitorState;
using simddc::sampleMonitor;

struct Outcome {
  int status;
  std::string out, err;
  double seconds;
};

std::string bytes(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

class ToolWithMonitors : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sim.whyNot().empty()) GTEST_SKIP() << sim.whyNot();
  }

  Outcome tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{NUVLET_DDC_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = std::chrono::steady_clock::now();
    auto r = Subprocess::runAndWait(argv, {20.0, 0.5, 1 << 16});
    return {r.exitStatus, r.out, r.err,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
  }
  // The id the app gives the display on `connector` showing `state`'s EDID.
  static std::string id(const std::string& connector, const MonitorState& state) {
    return "id=" + std::to_string(linux_platform::waylandDisplayId(
                       connector, linux_platform::validEdid(bytes(state.edid))));
  }
  Outcome get(const std::string& connector, const MonitorState& m) {
    return tool({"display", id(connector, m), "get", "luminance"});
  }
  Outcome set(const std::string& connector, const MonitorState& m, int percent) {
    return tool({"display", id(connector, m), "set", "luminance", std::to_string(percent)});
  }
  int level(int bus) { return sim.state(bus).value_or(MonitorState{}).brightness; }
  long requests(int bus) { return sim.state(bus).value_or(MonitorState{}).requests; }

  SimulatedMonitors sim;
  TempDir cache;
  ScopedEnv cacheHome{"XDG_CACHE_HOME", cache.path().string()};
  ScopedEnv type{"XDG_SESSION_TYPE", "wayland"};
  ScopedEnv wayland{"WAYLAND_DISPLAY", "wayland-9"};
  ScopedEnv display{"DISPLAY", std::nullopt};
  ScopedEnv root{"NUVLET_SYSFS_ROOT", "/sys"};
  ScopedEnv preload{"LD_PRELOAD", SimulatedMonitors::shim().string()};
};

TEST_F(ToolWithMonitors, Explore) {
  const auto a = sampleMonitor(1);
  sim.plug("DP-1", 3, a);
  auto r = tool({"list"});
  std::printf("list: %d [%s] [%s] %.3f s, requests %ld\n", r.status, r.out.c_str(), r.err.c_str(), r.seconds, requests(3));
  r = get("DP-1", a);
  std::printf("get: %d [%s] [%s] %.3f s, requests %ld\n", r.status, r.out.c_str(), r.err.c_str(), r.seconds, requests(3));
  r = set("DP-1", a, 30);
  std::printf("set: %d [%s] [%s] %.3f s, requests %ld level %d\n", r.status, r.out.c_str(), r.err.c_str(), r.seconds, requests(3), level(3));
  for (auto f : {Fault::NoReply, Fault::Nak, Fault::BadChecksum, Fault::Late, Fault::IgnoreSet}) {
    sim.change(3, [&](MonitorState& s) { s.fault = f; s.lateMs = 3000; s.requests = 0; });
    r = get("DP-1", a);
    std::printf("%s get: %d [%s] [%s] %.3f s, requests %ld\n", simddc::faultName(f), r.status, r.out.c_str(), r.err.c_str(), r.seconds, requests(3));
    sim.change(3, [&](MonitorState& s) { s.requests = 0; });
    r = set("DP-1", a, 70);
    std::printf("%s set: %d [%s] [%s] %.3f s, requests %ld level %d\n", simddc::faultName(f), r.status, r.out.c_str(), r.err.c_str(), r.seconds, requests(3), level(3));
  }
}

}  // namespace
}  // namespace nuvlet::test
