#pragma once

#include <memory>

#include "app/DeviceReport.h"
#include "nuvlet/platform/BacklightDevice.h"
#include "platform/linux/devices/SysfsBacklight.h"

namespace nuvlet::cli {

// The built-in backlight as every command and the app open it: under
// $NUVLET_SYSFS_ROOT (default /sys), the device named by the "backlightDevice"
// setting if there is one.
std::unique_ptr<BacklightDevice> openBuiltInBacklight(
    linux_platform::BacklightWriteChoice write = linux_platform::BacklightWriteChoice::Automatic);

// The "Backlight" part of `nuvlet devices`.
DeviceSection backlightSection();

}  // namespace nuvlet::cli
