#pragma once

#include <optional>
#include <string>

#include "nuvlet/platform/LightSensorDevice.h"

namespace nuvlet::sim {

// A light sensor whose reading the test sets.
class ScriptedLightSensor final : public LightSensorDevice {
 public:
  bool isAvailable() const override { return available; }
  std::optional<double> lux() const override { return available ? reading : std::nullopt; }
  std::string describe() const override {
    return available ? "scripted light sensor" : "no light sensor (scripted)";
  }

  bool available = true;
  std::optional<double> reading;
};

}  // namespace nuvlet::sim
