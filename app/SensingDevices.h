#pragma once

#include "app/DeviceReport.h"

namespace nuvlet::cli {

// `nuvlet devices` sections for the displays and pointer, the ambient light sensor
// and the sound output.
DeviceSection displaysSection();
DeviceSection lightSensorSection();
DeviceSection audioSection();

}  // namespace nuvlet::cli
