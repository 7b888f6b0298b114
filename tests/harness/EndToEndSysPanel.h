#pragma once
// The built-in panel of the end-to-end runs whose /sys is the overlay SimulatedMonitors
// lays out: a raw backlight "panel" at `percent` of 100 beside the monitors.
#include <filesystem>
#include <fstream>

namespace nuvlet::test {

inline void addPanelToSimulatedSys(int percent) {
  const std::filesystem::path dir = "/sys/class/backlight/panel";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "type") << "raw\n";
  std::ofstream(dir / "max_brightness") << "100\n";
  std::ofstream(dir / "brightness") << percent << "\n";
}

}  // namespace nuvlet::test
