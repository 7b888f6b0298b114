#pragma once

#include "nuvlet/platform/AudioMixer.h"

namespace nuvlet {

// The volume and mute of the default sound output, for the volume item. Keeps no
// state: every call asks the mixer for the current default device, so a change of
// device is followed without notice.
//
// Main thread only. Failures are absorbed: reads give 0 or false, writes are skipped.
class VolumeController {
 public:
  // The mixer must outlive the controller.
  explicit VolumeController(AudioMixer& mixer);

  // The current volume, 0 to 1; 0 when there is no device or no master volume.
  double get() const;

  // Sets the volume clamped to 0 to 1 and returns that value, also when nothing
  // could be written, so that the item follows the user's scroll regardless.
  double set(double value);

  // set(get() + delta).
  double adjust(double delta);

  // Muted when the device's mute value is exactly 1.
  bool isMuted() const;
  void setMuted(bool muted);

  // Whether there is a default device whose master volume can be set.
  bool isVolumeControllable() const;

 private:
  AudioMixer& mixer_;
};

}  // namespace nuvlet
