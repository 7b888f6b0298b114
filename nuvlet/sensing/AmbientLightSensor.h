#pragma once

#include <optional>

#include "nuvlet/platform/LightSensorDevice.h"

namespace nuvlet {

// The ambient light as the model's input: a reading in lux turned into a level from
// 0 to 1 on a logarithmic scale (a million lux and more is 1), smoothed very slowly.
//
// Main thread only. Without a sensor every read yields nothing.
class AmbientLightSensor {
 public:
  // Weight of a new reading: at ten reads a second, a time constant of about 30 s.
  static constexpr double alpha = 0.0033;

  struct Sample {
    double lux;
    double norm;
  };

  // The device must outlive the sensor.
  explicit AmbientLightSensor(const LightSensorDevice& device);

  // The smoothed level, or nothing when there is no usable reading now (the smoothed
  // value is then left as it was).
  std::optional<double> read();

  // One reading without smoothing; changes lastRawLux and lastInstantNorm only.
  std::optional<Sample> sampleRaw();

  // Asks the device each time: a sensor service that starts after us is still used.
  bool isAvailable() const { return device_.isAvailable(); }

  std::optional<double> filtered() const { return filtered_; }
  double lastRawLux() const { return lastRawLux_; }
  double lastInstantNorm() const { return lastInstantNorm_; }

  // log10(lux + 1) / 6, clamped to [0, 1].
  static double normalise(double lux);

 private:
  std::optional<Sample> reading();

  const LightSensorDevice& device_;
  std::optional<double> filtered_;
  double lastRawLux_ = -1.0;
  double lastInstantNorm_ = -1.0;
};

}  // namespace nuvlet
