#include "app/DeviceReport.h"

namespace nuvlet::cli {

std::vector<DeviceSection> deviceSections() {
  std::vector<DeviceSection> sections;
  // Each adapter family adds its section here.
  sections.push_back(desktopServicesSection());
  return sections;
}

}  // namespace nuvlet::cli
