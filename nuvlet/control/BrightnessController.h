#pragma once

#include <optional>

#include "nuvlet/platform/BacklightDevice.h"

namespace nuvlet {

// The built-in display's backlight as the rest of the system sees it: levels from 0
// to 1, reads that never fail and writes whose failure nobody waits for.
//
// Main thread only; blocks as long as the device does (see BacklightDevice). Holds
// no state of its own, so every caller shares one instance.
class BrightnessController {
 public:
  explicit BrightnessController(BacklightDevice& device) : device_(device) {}

  // The present level; 0.0 when it cannot be read.
  double get() const;

  // The present level, or nothing when it cannot be read. For callers that must not
  // mistake a failed read for a dark screen.
  std::optional<double> read() const { return device_.read(); }

  // Clamps the level to [0, 1], writes it and returns the level the device holds
  // after it (its nearest step). A failed write goes unnoticed. A request that is not
  // a number writes nothing and returns the present level.
  double set(double level) const;

  // Reads, adds delta, clamps and writes; returns the level the device holds.
  double adjust(double delta) const;

  const BacklightDevice& device() const { return device_; }

 private:
  BacklightDevice& device_;
};

}  // namespace nuvlet
