#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nuvlet {

// The default sound output, its master volume and its mute switch.
//
// Thread: main thread only. Reads answer from a cache the adapter keeps fresh from
// the sound server's events and never block; writes are sent without waiting for the
// server, and the cache shows them at once. Every failure yields nothing or false, and
// a failed write changes nothing.
class AudioMixer {
 public:
  virtual ~AudioMixer() = default;

  // The current default output device, or nothing when there is none (or no server).
  virtual std::optional<std::string> defaultOutput() const = 0;

  // The device's master volume from 0 (silent) upwards; 1 is full scale and a server
  // may allow more. Nothing when the device has no master volume or cannot be read.
  virtual std::optional<double> volume() const = 0;

  // Whether the master volume can be set; nothing when the device cannot say.
  virtual std::optional<bool> isVolumeSettable() const = 0;

  // Sets the master volume; false when nothing was sent.
  virtual bool setVolume(double value) = 0;

  // The raw mute state: 1 muted, 0 not; other values are the device's own.
  // Nothing when the device has no mute switch.
  virtual std::optional<std::uint32_t> mute() const = 0;

  // Whether the mute switch can be set; nothing when the device cannot say.
  virtual std::optional<bool> isMuteSettable() const = 0;

  // Sets the mute switch (1 mutes, 0 unmutes); false when nothing was sent.
  virtual bool setMute(std::uint32_t value) = 0;

  // For people: the server and device, or why there is none.
  virtual std::string describe() const = 0;
};

}  // namespace nuvlet
