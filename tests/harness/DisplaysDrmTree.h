#pragma once
// Plays the kernel's DRM connectors in a temporary sysfs tree: each one's status and
// edid files, the EDID a simulated monitor's (tests/harness/ddc).
#include <cstddef>
#include <cstdint>
#include <string>

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

// The connector `name` ("card0-eDP-1") below `sys`, "connected" or "disconnected".
inline void writeDrmConnector(const TempDir& sys, const std::string& name,
                              const std::string& status, const std::string& edid) {
  sys.write("class/drm/" + name + "/status", status + "\n");
  sys.write("class/drm/" + name + "/edid", edid);
}

}  // namespace nuvlet::test
