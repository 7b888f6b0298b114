#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "tests/harness/ddc/MonitorState.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// DDC/CI monitors for the real libddcutil on a machine without I2C. The calling
// process moves into a private mount namespace where /sys and /dev are overlays: a
// graphics card's connectors with their EDIDs, I2C buses linked to them as the kernel
// links them, and each bus a plain /dev/i2c-N file holding the monitor's state (see
// MonitorState), which the preloaded shim plays. Programs started afterwards with
// environment() see the monitors; the rest of the machine sees nothing. Needs root.
class SimulatedMonitors {
 public:
  SimulatedMonitors();
  ~SimulatedMonitors();
  SimulatedMonitors(const SimulatedMonitors&) = delete;
  SimulatedMonitors& operator=(const SimulatedMonitors&) = delete;

  // "" when the monitors can be laid out, else why not.
  const std::string& whyNot() const { return whyNot_; }

  // A monitor on `connector` (as "DP-1") reached over /dev/i2c-`bus`, its EDID in sysfs
  // (`sysfsEdid` when given, else the one the monitor serves). `linked`: the connector
  // names its bus (a "ddc" link), as most kernel drivers do.
  void plug(const std::string& connector, int bus, const simddc::MonitorState& state,
            std::optional<std::string> sysfsEdid = std::nullopt, bool linked = true);
  // The connector reads disconnected and nothing answers on its bus any more.
  void unplug(const std::string& connector, int bus);
  // An I2C bus with no connector (an SMBus, a sensor): `name` as the kernel gives it.
  void addBus(int bus, const std::string& name, const simddc::MonitorState& state);

  std::optional<simddc::MonitorState> state(int bus) const;
  void setState(int bus, const simddc::MonitorState& state);
  void change(int bus, const std::function<void(simddc::MonitorState&)>& fn);

  // For the programs that speak to the monitors: the shim preloaded, sysfs at /sys.
  std::map<std::string, std::string> environment() const;
  static std::filesystem::path shim();

 private:
  std::filesystem::path busDir(int bus) const;
  void layBus(int bus, const std::string& name);

  std::string whyNot_;
  TempDir staging_;
  bool mountedSys_ = false;
  bool mountedDev_ = false;
};

}  // namespace nuvlet::test
