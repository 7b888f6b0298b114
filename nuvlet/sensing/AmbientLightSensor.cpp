#include "nuvlet/sensing/AmbientLightSensor.h"

#include <algorithm>
#include <cmath>

namespace nuvlet {

AmbientLightSensor::AmbientLightSensor(const LightSensorDevice& device) : device_(device) {}

double AmbientLightSensor::normalise(double lux) {
  return std::clamp(std::log10(lux + 1.0) / 6.0, 0.0, 1.0);
}

std::optional<AmbientLightSensor::Sample> AmbientLightSensor::reading() {
  auto lux = device_.lux();
  // A negative or non-finite value is a broken reading, not darkness: it must not
  // pull the slow filter (a NaN would poison it for good).
  if (!lux || !std::isfinite(*lux) || *lux < 0) return std::nullopt;
  Sample sample{*lux, normalise(*lux)};
  lastRawLux_ = sample.lux;
  lastInstantNorm_ = sample.norm;
  return sample;
}

std::optional<double> AmbientLightSensor::read() {
  auto sample = reading();
  if (!sample) return std::nullopt;
  filtered_ = filtered_ ? sample->norm * alpha + *filtered_ * (1 - alpha) : sample->norm;
  return filtered_;
}

std::optional<AmbientLightSensor::Sample> AmbientLightSensor::sampleRaw() { return reading(); }

}  // namespace nuvlet
