#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/LightSensorDevice.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/WorkQueue.h"

namespace nuvlet::linux_platform {

// Where an IIO device keeps its illuminance, found once at start.
struct IioIlluminance {
  std::filesystem::path device;  // .../iio:deviceN
  std::string name;              // the driver's name for it
  // Either a reading in lux, or raw counts with an optional offset and scale.
  std::filesystem::path input;
  std::filesystem::path raw;
  std::filesystem::path offset;
  std::filesystem::path scale;
};

// The first device under root (sorted by name) with an illuminance channel, plain or
// indexed (in_illuminance_input, in_illuminance0_raw, ...). Nothing when there is none;
// why goes to *why (a device with intensity channels only has no lux).
std::optional<IioIlluminance> findIioIlluminance(const std::filesystem::path& root,
                                                 std::string* why = nullptr);

// One reading in lux: the input file, else (raw + offset) × scale with a missing
// offset taken as 0 and a missing scale as 1. Nothing when a file cannot be read or
// does not hold one finite number, or the result is negative. Blocks on sysfs (a
// HID sensor may take long): call it off the main thread.
std::optional<double> readIioLux(const IioIlluminance& channel);

// The light sensor from IIO sysfs. The files are read on `worker` every `interval`
// seconds, never on the main thread, and lux() answers from the newest reading.
// The loop and the worker must outlive the sensor.
std::unique_ptr<LightSensorDevice> makeIioLightSensor(
    RunLoop& loop, WorkQueue& worker, const std::filesystem::path& root = "/sys/bus/iio/devices",
    double interval = 0.5);

}  // namespace nuvlet::linux_platform
