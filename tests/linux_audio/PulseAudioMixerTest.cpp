#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "nuvlet/control/VolumeController.h"
#include "platform/linux/PulseAudioMixer.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/PulseServer.h"

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

bool near(std::optional<double> got, double want) {
  return got && std::abs(*got - want) <= 2 / kNorm;
}

class PulseAudioMixerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << "pulseaudio is required";
    mixer = makePulseAudioMixer(loop, server.address());
    ASSERT_TRUE(waitFor([&] { return mixer->defaultOutput() == "testsink"; }));
  }

  bool waitFor(const std::function<bool()>& done) { return loop.runUntil(done, 10); }

  void pactl(std::vector<std::string> args) {
    auto result = server.pactl(args);
    ASSERT_EQ(result.status, 0) << result.out;
  }

  // The raw volume of each channel, as an independent client sees it.
  std::vector<long> channels(const std::string& sink) {
    auto out = server.pactl({"get-sink-volume", sink}).out;
    std::vector<long> values;
    std::regex channel(R"([\w-]+: (\d+) /)");
    for (std::sregex_iterator it(out.begin(), out.end(), channel), end; it != end; ++it) {
      values.push_back(std::stol((*it)[1]));
    }
    return values;
  }

  bool serverMuted(const std::string& sink) {
    return server.pactl({"get-sink-mute", sink}).out.find("yes") != std::string::npos;
  }

  test::PulseServer server;
  sim::VirtualRunLoop loop;
  std::unique_ptr<AudioMixer> mixer;
};

TEST_F(PulseAudioMixerTest, FollowsChangesMadeByAnotherClient) {
  pactl({"set-sink-volume", "testsink", "40%"});
  ASSERT_TRUE(waitFor([&] { return near(mixer->volume(), 0.4); }));
  pactl({"set-sink-mute", "testsink", "1"});
  ASSERT_TRUE(waitFor([&] { return mixer->mute() == 1u; }));
  EXPECT_EQ(mixer->isVolumeSettable(), true);
  EXPECT_EQ(mixer->isMuteSettable(), true);
  EXPECT_NE(mixer->describe().find("testsink"), std::string::npos) << mixer->describe();
}

TEST_F(PulseAudioMixerTest, TheMasterVolumeIsTheLoudestChannelAndSettingItKeepsTheBalance) {
  pactl({"set-sink-volume", "testsink", "40%", "20%"});
  ASSERT_TRUE(waitFor([&] { return near(mixer->volume(), 0.4); }));
  ASSERT_TRUE(mixer->setVolume(0.5));
  EXPECT_EQ(mixer->volume(), 0.5);  // at once, from the cache
  ASSERT_TRUE(waitFor([&] {
    return near(channels("testsink"), {32768, 16384});
  })) << server.pactl({"get-sink-volume", "testsink"}).out;
}

TEST_F(PulseAudioMixerTest, TheVolumeControllerClampsAndMutesThroughTheServer) {
  VolumeController volume(*mixer);
  EXPECT_TRUE(volume.isVolumeControllable());
  EXPECT_EQ(volume.set(1.3), 1.0);
  ASSERT_TRUE(waitFor([&] { return near(channels("testsink"), {kNorm, kNorm}); }));
  volume.setMuted(true);
  EXPECT_TRUE(volume.isMuted());
  ASSERT_TRUE(waitFor([&] { return serverMuted("testsink"); }));
  volume.setMuted(false);
  ASSERT_TRUE(waitFor([&] { return !serverMuted("testsink"); }));
}

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
    return near(channels("testsink"), {0.7 * kNorm, 0.7 * kNorm}, 65);
  })) << server.pactl({"get-sink-volume", "testsink"}).out;
  ASSERT_TRUE(waitFor([&] { return std::abs(volume.get() - 0.7) < 1e-3; }));
}

TEST_F(PulseAudioMixerTest, FollowsTheDefaultSinkToAnEightChannelDevice) {
  pactl({"load-module", "module-null-sink", "sink_name=eight", "channels=8"});
  pactl({"set-sink-volume", "eight", "80%", "80%", "40%", "40%", "20%", "20%", "10%", "10%"});
  pactl({"set-default-sink", "eight"});
  ASSERT_TRUE(waitFor([&] { return mixer->defaultOutput() == "eight"; }));
  ASSERT_TRUE(waitFor([&] { return near(mixer->volume(), 0.8); }));
  ASSERT_TRUE(mixer->setVolume(0.4));
  ASSERT_TRUE(waitFor([&] {
    double t = 0.4 * kNorm;
    return near(channels("eight"), {t, t, t / 2, t / 2, t / 4, t / 4, t / 8, t / 8});
  })) << server.pactl({"get-sink-volume", "eight"}).out;
  // The old default is left alone.
  EXPECT_TRUE(near(channels("testsink"), {kNorm, kNorm}));
}

TEST_F(PulseAudioMixerTest, WithoutAnOutputDeviceThereIsNothingToReadOrWrite) {
  auto modules = server.pactl({"list", "short", "modules"}).out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(modules, m, std::regex(R"((\d+)\s+module-null-sink)")));
  pactl({"unload-module", m[1]});
  ASSERT_TRUE(waitFor([&] { return !mixer->defaultOutput(); }));
  VolumeController volume(*mixer);
  EXPECT_EQ(volume.get(), 0.0);
  EXPECT_FALSE(volume.isMuted());
  EXPECT_EQ(volume.set(0.7), static_cast<float>(0.7));
  EXPECT_FALSE(mixer->setVolume(0.7));
  EXPECT_NE(mixer->describe().find("no output device"), std::string::npos) << mixer->describe();
}

TEST_F(PulseAudioMixerTest, ComesBackByItselfAfterTheServerRestarts) {
  server.stop();
  ASSERT_TRUE(waitFor([&] { return !mixer->defaultOutput(); }));
  EXPECT_FALSE(mixer->setVolume(0.3));
  EXPECT_NE(mixer->describe().find("no sound server"), std::string::npos) << mixer->describe();
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(waitFor([&] { return mixer->defaultOutput() == "testsink"; }));
  ASSERT_TRUE(mixer->setVolume(0.3));
  ASSERT_TRUE(waitFor([&] { return near(channels("testsink"), {0.3 * kNorm, 0.3 * kNorm}); }));
}

TEST(PulseAudioMixer, AServerAbsentAtStartIsPickedUpWhenItAppears) {
  test::PulseServer server;
  server.stop();
  sim::VirtualRunLoop loop;
  auto mixer = makePulseAudioMixer(loop, server.address());
  loop.runPending();
  EXPECT_FALSE(mixer->defaultOutput());
  EXPECT_FALSE(mixer->volume());
  ASSERT_TRUE(server.start());
  EXPECT_TRUE(loop.runUntil([&] { return mixer->defaultOutput() == "testsink"; }, 10));
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
