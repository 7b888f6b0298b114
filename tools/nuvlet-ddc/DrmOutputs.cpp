#include "tools/nuvlet-ddc/DrmOutputs.h"

#include "platform/linux/display/DrmConnectors.h"

namespace nuvlet::ddc {

std::vector<RandrOutput> drmOutputs(const std::filesystem::path& sysfsRoot) {
  std::vector<RandrOutput> out;
  for (auto& c : linux_platform::readDrmConnectors(sysfsRoot)) {
    if (!c.connected) continue;
    RandrOutput o;
    o.id = linux_platform::waylandDisplayId(c.name, c.edid);
    o.builtIn = linux_platform::isPanelConnectorName(c.name);
    o.name = std::move(c.name);
    o.edid = std::move(c.edid);
    out.push_back(std::move(o));
  }
  return out;
}

}  // namespace nuvlet::ddc
