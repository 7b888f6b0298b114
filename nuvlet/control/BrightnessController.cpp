#include "nuvlet/control/BrightnessController.h"

#include <algorithm>
#include <cmath>

namespace nuvlet {

double BrightnessController::get() const { return device_.read().value_or(0.0); }

double BrightnessController::set(double level) const {
  // NaN would survive both clamps below and reach the hardware as garbage.
  if (std::isnan(level)) return get();
  level = std::max(std::min(level, 1.0), 0.0);
  device_.write(level);
  return device_.nearestStep(level);
}

double BrightnessController::adjust(double delta) const { return set(get() + delta); }

}  // namespace nuvlet
