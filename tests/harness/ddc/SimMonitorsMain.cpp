// nuvlet-sim-monitors: runs a command among simulated DDC/CI monitors, for debugging
// by hand. As root:
//
//   nuvlet-sim-monitors [CONNECTOR=BUS ...] -- COMMAND [ARG ...]
//
// lays out one monitor per CONNECTOR=BUS (DP-1=3 when none is given; monitors of the
// same model, serials 1, 2, ...) and runs COMMAND in that namespace with the shim
// preloaded. Each monitor's state is the text file /dev/i2c-BUS there: edit it (from
// a shell run as COMMAND) to change its level, maximum or fault.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/harness/SimulatedMonitors.h"

int main(int argc, char** argv) {
  using namespace nuvlet::test;
  std::vector<std::pair<std::string, int>> monitors;
  int i = 1;
  for (; i < argc && std::string(argv[i]) != "--"; ++i) {
    std::string arg = argv[i];
    auto eq = arg.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "usage: nuvlet-sim-monitors [CONNECTOR=BUS ...] -- COMMAND...\n");
      return 2;
    }
    monitors.emplace_back(arg.substr(0, eq), std::atoi(arg.c_str() + eq + 1));
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usage: nuvlet-sim-monitors [CONNECTOR=BUS ...] -- COMMAND...\n");
    return 2;
  }
  if (monitors.empty()) monitors.emplace_back("DP-1", 3);
  SimulatedMonitors sim;
  if (!sim.whyNot().empty()) {
    std::fprintf(stderr, "nuvlet-sim-monitors: %s\n", sim.whyNot().c_str());
    return 1;
  }
  std::uint32_t serial = 1;
  for (const auto& [connector, bus] : monitors) {
    sim.plug(connector, bus, simddc::sampleMonitor(serial++));
  }
  for (const auto& [name, value] : sim.environment()) ::setenv(name.c_str(), value.c_str(), 1);
  ::execvp(argv[i + 1], argv + i + 1);
  std::perror(argv[i + 1]);
  return 127;
}
