#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "nuvlet/platform/BacklightDevice.h"

namespace nuvlet::sim {

// A backlight held in memory: the test sets the level, makes reads or writes fail,
// and reads back every write.
class MemoryBacklight final : public BacklightDevice {
 public:
  explicit MemoryBacklight(double initial = 0.5) : level(initial) { writes.reserve(64); }

  std::optional<double> read() override {
    ++reads;
    if (failReads) return std::nullopt;
    return level;
  }

  bool write(double value) override {
    if (failWrites || !(value >= 0 && value <= 1)) return false;
    level = nearestStep(value);
    ++writeCount;
    if (recordWrites) writes.push_back(value);
    return true;
  }

  double nearestStep(double value) const override {
    if (steps <= 0 || !(value >= 0 && value <= 1)) return value;
    return std::round(value * steps) / steps;
  }

  BacklightInfo info() const override {
    return BacklightInfo{"memory", "raw", steps, BacklightWritePath::Memory, {}};
  }

  double level;
  // Levels the hardware can hold are multiples of 1/steps; 0 for any level.
  int steps = 0;
  bool failReads = false;
  bool failWrites = false;
  // Off for measurements that must not allocate.
  bool recordWrites = true;
  std::vector<double> writes;
  std::size_t reads = 0;
  std::size_t writeCount = 0;
};

}  // namespace nuvlet::sim
