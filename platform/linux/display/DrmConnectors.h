#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "nuvlet/platform/DisplayTopology.h"

namespace nuvlet::linux_platform {

// A connector the kernel lists under class/drm ("card0-eDP-1" is "eDP-1" of card0):
// the name Wayland compositors give their outputs.
struct DrmConnector {
  std::string name;
  std::string card;
  bool connected = false;
  // Empty when the file is missing, unreadable, empty or not whole EDID blocks.
  std::vector<std::uint8_t> edid;
};

// Every connector under <sysfsRoot>/class/drm, sorted by name. Nothing fails: an
// unreadable tree gives no connectors.
std::vector<DrmConnector> readDrmConnectors(const std::filesystem::path& sysfsRoot);

// Whether <sysfsRoot>/class/backlight lists any device.
bool hasBacklightDevice(const std::filesystem::path& sysfsRoot);

// The EDID in `bytes` when it is whole 128-byte blocks starting with the EDID header;
// empty otherwise (a truncated read must not pass for another monitor).
std::vector<std::uint8_t> validEdid(std::string_view bytes);

// The display id of a Wayland output: FNV-1a over the connector name and the EDID,
// never 0. Two identical monitors differ by connector; a monitor keeps its id across
// restarts as long as it stays on the same connector.
DisplayID waylandDisplayId(std::string_view connector, const std::vector<std::uint8_t>& edid);

// Whether an output name is a built-in panel's connector (eDP, LVDS, DSI).
bool isPanelConnectorName(std::string_view name);

}  // namespace nuvlet::linux_platform
