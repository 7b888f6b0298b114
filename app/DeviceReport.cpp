#include "app/DeviceReport.h"

#include "app/ScreenCaptureSection.h"

namespace nuvlet::cli {

std::vector<DeviceSection> deviceSections() {
  std::vector<DeviceSection> sections;
  // Each adapter family adds its section here.
  sections.push_back(screenCaptureSection());
  return sections;
}

}  // namespace nuvlet::cli
