#pragma once
// nuvlet-ddc run as the app runs it, in a session of the test's own: a Wayland session's
// environment and a bus cache no one else reads; with ToolDdcMonitors, the simulated
// DDC/CI monitors it reaches through the preloaded shim. Header only: the suite that
// includes it names the built tool (NUVLET_DDC_TOOL).
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/Subprocess.h"
#include "tests/harness/SimulatedMonitors.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

inline SubprocessResult runDdcTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NUVLET_DDC_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return Subprocess::runAndWait(argv, {20.0, 0.5, 1 << 16});
}

struct ToolDdcSession {
  TempDir cache;
  ScopedEnv cacheHome{"XDG_CACHE_HOME", cache.path().string()};
  ScopedEnv type{"XDG_SESSION_TYPE", "wayland"};
  ScopedEnv wayland{"WAYLAND_DISPLAY", "wayland-9"};
  ScopedEnv display{"DISPLAY", std::nullopt};
};

struct ToolDdcMonitors {
  // What the monitor on /dev/i2c-`bus` holds now.
  simddc::MonitorState on(int bus) const { return sim.state(bus).value_or(simddc::MonitorState{}); }

  SimulatedMonitors sim;
  ScopedEnv root{"NUVLET_SYSFS_ROOT", "/sys"};
  ScopedEnv preload{"LD_PRELOAD", SimulatedMonitors::shim().string()};
};

}  // namespace nuvlet::test
