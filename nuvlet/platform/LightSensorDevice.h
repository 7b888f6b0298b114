#pragma once

#include <optional>
#include <string>

namespace nuvlet {

// The machine's ambient light sensor, reading in lux.
//
// Thread: main thread only. lux() answers from the newest reading the adapter keeps
// (slow sensors are read in the background) and never blocks. Failures yield nothing.
class LightSensorDevice {
 public:
  virtual ~LightSensorDevice() = default;

  // Whether a sensor in lux is there now.
  virtual bool isAvailable() const = 0;

  // The newest reading in lux, or nothing when there is no sensor or its last
  // reading failed or was not a usable number.
  virtual std::optional<double> lux() const = 0;

  // For people: which sensor this is, or why there is none.
  virtual std::string describe() const = 0;
};

}  // namespace nuvlet
