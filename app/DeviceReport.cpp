#include "app/DeviceReport.h"

#include "app/Backlight.h"
#include "app/ScreenCaptureSection.h"
#include "app/SensingDevices.h"

namespace nuvlet::cli {

std::vector<std::string> externalMonitorLines();
std::vector<std::string> updateLines();

std::vector<DeviceSection> deviceSections() {
  std::vector<DeviceSection> sections;
  // Each adapter family adds its section here.
  sections.push_back(displaysSection());
  sections.push_back(screenCaptureSection());
  sections.push_back(backlightSection());
  sections.push_back({"External monitors (DDC/CI)", externalMonitorLines});
  sections.push_back(lightSensorSection());
  sections.push_back(audioSection());
  sections.push_back(desktopServicesSection());
  sections.push_back({"Updates", updateLines});
  return sections;
}

}  // namespace nuvlet::cli
