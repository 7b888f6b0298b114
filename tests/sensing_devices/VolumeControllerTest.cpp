#include <gtest/gtest.h>

#include <cmath>

#include "nuvlet/control/VolumeController.h"
#include "platform/sim/ScriptedAudioMixer.h"

namespace nuvlet {
namespace {

double asFloat(double v) { return static_cast<float>(v); }

TEST(VolumeController, WithoutAWritableOutputNothingIsWritten) {
  const struct {
    const char* what;
    void (*setup)(sim::ScriptedAudioMixer&);
    double level;
  } cases[] = {
      {"no output device", [](sim::ScriptedAudioMixer& m) { m.device.reset(); }, 0.0},
      {"no master volume",
       [](sim::ScriptedAudioMixer& m) {
         m.level.reset();
         m.volumeSettable = false;
         m.muteSettable = false;
       },
       0.0},
      {"settable query fails",
       [](sim::ScriptedAudioMixer& m) {
         m.volumeSettable.reset();
         m.muteSettable.reset();
       },
       0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::ScriptedAudioMixer mixer;
    c.setup(mixer);
    VolumeController volume(mixer);
    EXPECT_EQ(volume.get(), c.level);
    EXPECT_FALSE(volume.isMuted());
    EXPECT_FALSE(volume.isVolumeControllable());
    EXPECT_EQ(volume.set(0.7), asFloat(0.7));
    volume.setMuted(true);
    EXPECT_TRUE(mixer.volumeWrites.empty());
    EXPECT_TRUE(mixer.muteWrites.empty());
  }
}

TEST(VolumeController, SetClampsWritesAndReturnsTheClampedLevel) {
  struct Case {
    double asked, written;
  };
  for (auto c : {Case{1.3, 1.0}, Case{-0.2, 0.0}, Case{0.25, 0.25}, Case{0.7, asFloat(0.7)}}) {
    sim::ScriptedAudioMixer mixer;
    VolumeController volume(mixer);
    EXPECT_EQ(volume.set(c.asked), c.written) << c.asked;
    ASSERT_EQ(mixer.volumeWrites.size(), 1u) << c.asked;
    EXPECT_EQ(mixer.volumeWrites[0], c.written);
    EXPECT_EQ(volume.get(), c.written);
  }
  sim::ScriptedAudioMixer mixer;
  VolumeController volume(mixer);
  EXPECT_EQ(volume.set(std::nan("")), 0.5) << "NaN writes nothing";
  EXPECT_TRUE(mixer.volumeWrites.empty());
}

TEST(VolumeController, AdjustPastTheTopSetsFullAndAboveFullReadsAsFull) {
  sim::ScriptedAudioMixer mixer;
  mixer.level = 0.98;
  VolumeController volume(mixer);
  EXPECT_EQ(volume.adjust(0.05), 1.0);
  EXPECT_EQ(mixer.level, 1.0);
  mixer.level = 1.5;
  EXPECT_EQ(volume.get(), 1.0);
}

TEST(VolumeController, OnlyMuteValueOneIsMutedAndMutingWritesOneOrZero) {
  struct Case {
    std::optional<std::uint32_t> value;
    bool muted;
  };
  for (auto c : {Case{1, true}, Case{0, false}, Case{2, false}, Case{std::nullopt, false}}) {
    sim::ScriptedAudioMixer mixer;
    mixer.muteValue = c.value;
    EXPECT_EQ(VolumeController(mixer).isMuted(), c.muted);
  }
  sim::ScriptedAudioMixer mixer;
  VolumeController volume(mixer);
  volume.setMuted(true);
  volume.setMuted(false);
  EXPECT_EQ(mixer.muteWrites, (std::vector<std::uint32_t>{1, 0}));
}

}  // namespace
}  // namespace nuvlet
