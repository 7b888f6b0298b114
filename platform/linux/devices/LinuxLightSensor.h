#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/LightSensorDevice.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/WorkQueue.h"

namespace nuvlet::linux_platform {

// The machine's light sensor: iio-sensor-proxy while it offers lux (it owns the sensor
// when it runs), else the IIO sysfs device. The loop and worker must outlive it.
std::unique_ptr<LightSensorDevice> makeLinuxLightSensor(
    RunLoop& loop, WorkQueue& worker, const std::filesystem::path& iioRoot = "/sys/bus/iio/devices",
    std::optional<std::string> systemBus = std::nullopt);

// Either of two sensors, the first while it is available.
std::unique_ptr<LightSensorDevice> firstAvailable(std::unique_ptr<LightSensorDevice> preferred,
                                                  std::unique_ptr<LightSensorDevice> fallback);

}  // namespace nuvlet::linux_platform
