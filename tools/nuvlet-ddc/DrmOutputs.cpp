#include "tools/nuvlet-ddc/DrmOutputs.h"

#include "platform/linux/display/DrmConnectors.h"

namespace nuvlet::ddc {
namespace {

std::optional<int> busNumber(const std::string& name) {
  if (name.size() < 5 || name.size() > 8 || name.rfind("i2c-", 0) != 0) return std::nullopt;
  int bus = 0;
  for (char c : name.substr(4)) {
    if (c < '0' || c > '9') return std::nullopt;
    bus = bus * 10 + (c - '0');
  }
  return bus;
}

// The connector's DDC bus: its "ddc" link (HDMI, DVI, VGA), else an I2C adapter of its
// own (a DisplayPort AUX channel).
std::optional<int> connectorBus(const std::filesystem::path& dir) {
  std::error_code ec;
  auto ddc = std::filesystem::read_symlink(dir / "ddc", ec);
  if (!ec) return busNumber(ddc.filename().string());
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (auto bus = busNumber(entry.path().filename().string())) return bus;
  }
  return std::nullopt;
}

}  // namespace

std::vector<RandrOutput> drmOutputs(const std::filesystem::path& sysfsRoot) {
  std::vector<RandrOutput> out;
  for (auto& c : linux_platform::readDrmConnectors(sysfsRoot)) {
    if (!c.connected) continue;
    RandrOutput o;
    o.id = linux_platform::waylandDisplayId(c.name, c.edid);
    o.builtIn = linux_platform::isPanelConnectorName(c.name);
    o.bus = connectorBus(sysfsRoot / "class/drm" / (c.card + "-" + c.name));
    o.name = std::move(c.name);
    o.edid = std::move(c.edid);
    out.push_back(std::move(o));
  }
  return out;
}

}  // namespace nuvlet::ddc
