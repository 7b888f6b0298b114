#include "app/DeviceReport.h"
#include "platform/linux/desktop/DesktopServicesReport.h"

namespace nuvlet::cli {

DeviceSection desktopServicesSection() {
  return {"Desktop services (tray, notifications, colour scheme)",
          [] { return linux_platform::describeDesktopServices(); }};
}

}  // namespace nuvlet::cli
