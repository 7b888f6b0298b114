#include <gtest/gtest.h>

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

}  // namespace
}  // namespace nuvlet
