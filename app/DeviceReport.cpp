#include "app/DeviceReport.h"

#include "app/Backlight.h"

namespace nuvlet::cli {

std::vector<std::string> externalMonitorLines();

std::vector<DeviceSection> deviceSections() {
  std::vector<DeviceSection> sections;
  // Each adapter family adds its section here.
  sections.push_back(backlightSection());
  sections.push_back({"External monitors (DDC/CI)", externalMonitorLines});
  return sections;
}

}  // namespace nuvlet::cli
