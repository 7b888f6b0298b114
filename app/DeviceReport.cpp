#include "app/DeviceReport.h"

#include "app/Backlight.h"

namespace nuvlet::cli {

std::vector<DeviceSection> deviceSections() {
  std::vector<DeviceSection> sections;
  // Each adapter family adds its section here.
  sections.push_back(backlightSection());
  return sections;
}

}  // namespace nuvlet::cli
