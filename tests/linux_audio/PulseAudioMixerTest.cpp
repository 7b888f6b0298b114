#include <gtest/gtest.h>

#include <algorithm>

#include "nuvlet/control/VolumeController.h"
#include "platform/linux/devices/PulseAudioMixer.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/PulseServer.h"

namespace nuvlet::linux_platform {
namespace {

class PulseAudioMixerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << "pulseaudio is required";
    mixer = makePulseAudioMixer(loop, server.address());
    ASSERT_TRUE(waitFor([&] { return mixer->defaultOutput() == "testsink"; }));
  }

  bool waitFor(const std::function<bool()>& done) { return loop.runUntil(done, 10); }
  // Both channels of the test sink at `level`, within `tolerance` server units (rounding).
  bool sinkAt(double level, double tolerance = 2) {
    const std::vector<long> got = server.sinkVolumes("testsink");
    return got.size() == 2 && std::ranges::all_of(got, [&](long v) {
             return std::abs(static_cast<double>(v) - level * 65536.0) <= tolerance;
           });
  }

  test::PulseServer server;
  sim::VirtualRunLoop loop;
  std::unique_ptr<AudioMixer> mixer;
};

TEST_F(PulseAudioMixerTest, AFastScrollLosesNoSteps) {
  VolumeController volume(*mixer);
  volume.set(0.2);
  // Ten notches while the server's reports of the earlier ones arrive in between:
  // every step must build on the one before (a lost step would leave 0.65 or less).
  for (int i = 0; i < 10; ++i) {
    volume.adjust(0.05);
    loop.runPending();
  }
  EXPECT_NEAR(volume.get(), 0.7, 1e-3);
  ASSERT_TRUE(waitFor([&] { return sinkAt(0.7, 65); }))
      << server.pactl({"get-sink-volume", "testsink"}).out;
  ASSERT_TRUE(waitFor([&] { return std::abs(volume.get() - 0.7) < 1e-3; }));
}

TEST_F(PulseAudioMixerTest, ComesBackByItselfAfterTheServerRestarts) {
  server.stop();
  ASSERT_TRUE(waitFor([&] { return !mixer->defaultOutput(); }));
  EXPECT_FALSE(mixer->setVolume(0.3));
  EXPECT_NE(mixer->describe().find("no sound server"), std::string::npos) << mixer->describe();
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(waitFor([&] { return mixer->defaultOutput() == "testsink"; }));
  ASSERT_TRUE(mixer->setVolume(0.3));
  ASSERT_TRUE(waitFor([&] { return sinkAt(0.3); }));
}

TEST(PulseAudioMixer, DestroyedWhileRetryingLeavesNothingRunning) {
  sim::VirtualRunLoop loop;
  {
    auto mixer = makePulseAudioMixer(loop, "unix:/nonexistent/native");
    loop.runPending();
    EXPECT_FALSE(mixer->defaultOutput());
  }
  loop.runPending();  // messages posted before destruction must find nothing to change
}

}  // namespace
}  // namespace nuvlet::linux_platform
