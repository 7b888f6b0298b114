#include <gtest/gtest.h>

#include "nuvlet/control/VolumeController.h"
#include "platform/linux/devices/PulseAudioMixer.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/PulseServer.h"

namespace nuvlet::linux_platform {
namespace {

constexpr double kNorm = 65536.0;

// Volumes in server units agree within rounding.
bool near(const std::vector<long>& got, const std::vector<double>& want, double tolerance = 2) {
  if (got.size() != want.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::abs(static_cast<double>(got[i]) - want[i]) > tolerance) return false;
  }
  return true;
}

class PulseAudioMixerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << "pulseaudio is required";
    mixer = makePulseAudioMixer(loop, server.address());
    ASSERT_TRUE(waitFor([&] { return mixer->defaultOutput() == "testsink"; }));
  }

  bool waitFor(const std::function<bool()>& done) { return loop.runUntil(done, 10); }

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
  ASSERT_TRUE(waitFor([&] {
    return near(server.sinkVolumes("testsink"), {0.7 * kNorm, 0.7 * kNorm}, 65);
  })) << server.pactl({"get-sink-volume", "testsink"}).out;
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
  ASSERT_TRUE(waitFor([&] {
    return near(server.sinkVolumes("testsink"), {0.3 * kNorm, 0.3 * kNorm});
  }));
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
