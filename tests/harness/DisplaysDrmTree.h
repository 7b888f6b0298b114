#pragma once
// Plays the kernel's DRM connectors in a temporary sysfs tree: each one's status and
// edid files, the EDID a simulated monitor's (tests/harness/ddc).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/harness/ddc/MonitorState.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A monitor's EDID as the kernel's edid file holds it, cut to `size` bytes (or padded
// with zeros).
inline std::string edidFile(std::uint8_t serial, std::size_t size = 128) {
  auto e = simddc::makeEdid(serial, 1);
  e.resize(size);
  return {e.begin(), e.end()};
}

// A graphics card's connector as the kernel shows it in sysfs, named as there
// ("card0-eDP-1"); a disconnected one has no edid file.
struct DrmConnector {
  std::string name, edid;
  bool connected = true;
};

inline void layDrmConnectors(const TempDir& sys, const std::vector<DrmConnector>& connectors) {
  for (const auto& c : connectors) {
    const std::string dir = "class/drm/" + c.name;
    sys.write(dir + "/status", c.connected ? "connected\n" : "disconnected\n");
    if (c.connected) sys.write(dir + "/edid", c.edid);
  }
}

}  // namespace nuvlet::test
