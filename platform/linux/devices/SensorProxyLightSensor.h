#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/LightSensorDevice.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The light sensor as iio-sensor-proxy offers it on the system bus: the light is
// claimed whenever the service is there (also when it starts later or restarts), and
// the level arrives with its property changes. A sensor that reports vendor units
// (percent of its maximum) instead of lux counts as unavailable.
//
// The bus is spoken to from a thread of its own; the answers live on the main
// thread. bus: an address, or nothing for the system bus. The loop must outlive it.
std::unique_ptr<LightSensorDevice> makeSensorProxyLightSensor(
    RunLoop& loop, std::optional<std::string> bus = std::nullopt);

}  // namespace nuvlet::linux_platform
