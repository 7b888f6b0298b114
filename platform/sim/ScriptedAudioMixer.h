#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/AudioMixer.h"

namespace nuvlet::sim {

// A sound output held in memory; records every write the mixer was asked to make.
class ScriptedAudioMixer final : public AudioMixer {
 public:
  std::optional<std::string> defaultOutput() const override { return device; }
  std::optional<double> volume() const override { return device ? level : std::nullopt; }
  std::optional<bool> isVolumeSettable() const override {
    return device ? volumeSettable : std::nullopt;
  }
  bool setVolume(double value) override {
    volumeWrites.push_back(value);
    if (!device || volumeSettable != true) return false;
    level = value;
    return true;
  }
  std::optional<std::uint32_t> mute() const override { return device ? muteValue : std::nullopt; }
  std::optional<bool> isMuteSettable() const override {
    return device ? muteSettable : std::nullopt;
  }
  bool setMute(std::uint32_t value) override {
    muteWrites.push_back(value);
    if (!device || muteSettable != true) return false;
    muteValue = value;
    return true;
  }
  std::string describe() const override {
    return device ? "scripted output " + *device : "no output device (scripted)";
  }

  std::optional<std::string> device = "speakers";
  std::optional<double> level = 0.5;
  std::optional<bool> volumeSettable = true;
  std::optional<std::uint32_t> muteValue = 0;
  std::optional<bool> muteSettable = true;
  std::vector<double> volumeWrites;
  std::vector<std::uint32_t> muteWrites;
};

}  // namespace nuvlet::sim
