#include "nuvlet/control/VolumeController.h"

#include <algorithm>
#include <cmath>

namespace nuvlet {

VolumeController::VolumeController(AudioMixer& mixer) : mixer_(mixer) {}

double VolumeController::get() const {
  if (!mixer_.defaultOutput()) return 0.0;
  auto v = mixer_.volume();
  if (!v || std::isnan(*v)) return 0.0;
  return std::clamp(static_cast<double>(static_cast<float>(*v)), 0.0, 1.0);
}

double VolumeController::set(double value) {
  // NaN is no level at all: leave the device alone rather than guess one.
  if (std::isnan(value)) return get();
  // The device holds a 32-bit float; answer with what it will hold.
  float level = static_cast<float>(std::clamp(value, 0.0, 1.0));
  if (mixer_.defaultOutput() && mixer_.isVolumeSettable().value_or(false)) {
    mixer_.setVolume(level);
  }
  return level;
}

double VolumeController::adjust(double delta) { return set(get() + delta); }

bool VolumeController::isMuted() const {
  if (!mixer_.defaultOutput()) return false;
  return mixer_.mute() == 1u;
}

void VolumeController::setMuted(bool muted) {
  if (!mixer_.defaultOutput() || !mixer_.isMuteSettable().value_or(false)) return;
  mixer_.setMute(muted ? 1 : 0);
}

bool VolumeController::isVolumeControllable() const {
  return mixer_.defaultOutput() && mixer_.isVolumeSettable().value_or(false);
}

}  // namespace nuvlet
