// The screencopy route against a real headless sway.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "platform/linux/capture/ScreencopyCapture.h"
#include "platform/linux/display/DrmConnectors.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/SwayServer.h"
#include "tests/linux_capture/SizedReducer.h"
#include "tests/support/PollUntil.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using test::pollUntil;
using test::SizedReducer;

using Result = ScreenCapture::Result;
using Steady = std::chrono::steady_clock;

class Screencopy : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sway.running()) << "sway is required";
    options.display = (sway.runtimeDir() / sway.socket()).string();
    options.sysfsRoot = sys.path();  // no DRM connectors: ids come from the names alone
    ASSERT_TRUE(paint("HEADLESS-1", "#ffffff"));
  }

  static DisplayID idOf(const std::string& output) { return waylandDisplayId(output, {}); }
  const DisplayID panel = idOf("HEADLESS-1");

  bool paint(const std::string& output, const std::string& colour) {
    return sway.command("output " + output + " bg " + colour + " solid_color");
  }

  test::SwayServer sway{"1920x1080"};
  test::TempDir sys;
  sim::VirtualRunLoop clock;
  ScreencopyOptions options;
  SizedReducer sink;
};

TEST_F(Screencopy, AStaticScreenCostsNoCopies) {
  auto capture = makeScreencopyCapture(clock, options);
  ASSERT_EQ(sink.settle(*capture, panel, 1.0), 1.0);
  // Until the background client has drawn its last: a quarter second without a frame.
  auto quietSince = Steady::now();
  ASSERT_TRUE(pollUntil([&] {
    if (capture->capture(panel, sink, true) == Result::Captured) {
      quietSince = Steady::now();
    }
    return Steady::now() - quietSince > std::chrono::milliseconds(250);
  }));
  const auto copies = capture->status().copies;
  int unchanged = 0;
  // About a second at the sampler's pace.
  for (int i = 0; i < 10; ++i) {
    const auto start = Steady::now();
    if (capture->capture(panel, sink, true) == Result::Unchanged) ++unchanged;
    EXPECT_LT(Steady::now() - start, std::chrono::milliseconds(50)) << "waited for a change";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(unchanged, 10);
  EXPECT_EQ(capture->status().copies, copies);

  // Without a frame of its own the caller gets one at once, static screen or not.
  EXPECT_EQ(capture->capture(panel, sink, false), Result::Captured);
  EXPECT_EQ(sink.luminance(), 1.0);
  // A change brings a new frame.
  ASSERT_TRUE(paint("HEADLESS-1", "#404040"));
  EXPECT_EQ(sink.settle(*capture, panel, 64.0 / 255), 64.0 / 255);
}

TEST_F(Screencopy, TheCompositorExitingGivesAFailedStateRetriedNowAndThen) {
  auto capture = makeScreencopyCapture(clock, options);
  ASSERT_EQ(sink.settle(*capture, panel, 1.0), 1.0);
  sway.kill();
  // The loss shows on the next capture that reads from the connection.
  ASSERT_TRUE(
      pollUntil([&] { return capture->capture(panel, sink, true) == Result::Unavailable; }));
  EXPECT_EQ(capture->status().state, ScreencopyState::Failed);
  EXPECT_EQ(capture->status().problem, "the compositor went away");
  // Not tried again before the retry interval...
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(capture->capture(panel, sink, false), Result::Unavailable);
  }
  EXPECT_EQ(capture->status().problem, "the compositor went away");
  // ...and then it is, and says why it still cannot.
  clock.advance(options.retrySeconds);
  EXPECT_EQ(capture->capture(panel, sink, false), Result::Unavailable);
  EXPECT_EQ(capture->status().problem, "no Wayland compositor answers");
}

// A compositor that stops answering (stuck in a loop, a driver call) while frames are
// read, and when a capture connects to it anew: no capture holds the sampler's thread
// for more than a fraction of a second, and reading resumes when it answers again.
TEST_F(Screencopy, AStuckCompositorHoldsNoCaptureForLong) {
  auto capture = makeScreencopyCapture(clock, options);
  ASSERT_EQ(sink.settle(*capture, panel, 1.0), 1.0);
  double longest = 0;
  const auto timed = [&](ScreenCapture& c, bool allowUnchanged) {
    const auto start = Steady::now();
    const auto result = c.capture(panel, sink, allowUnchanged);
    longest = std::max(longest, std::chrono::duration<double>(Steady::now() - start).count());
    return result;
  };
  sway.freeze(true);
  for (int i = 0; i < 6; ++i) {
    EXPECT_NE(timed(*capture, i % 2 == 0), Result::Captured);
    clock.advance(options.retrySeconds);
  }
  auto fresh = makeScreencopyCapture(clock, options);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(timed(*fresh, false), Result::Unavailable);
    clock.advance(options.retrySeconds);
  }
  EXPECT_EQ(fresh->status().state, ScreencopyState::Failed);
  sway.freeze(false);
  EXPECT_LT(longest, 0.6);
  clock.advance(options.retrySeconds);
  EXPECT_EQ(sink.settle(*capture, panel, 1.0), 1.0);
  clock.advance(options.retrySeconds);
  EXPECT_EQ(sink.settle(*fresh, panel, 1.0), 1.0);
}

TEST_F(Screencopy, ADisplayThatIsNotAnOutputGivesNoFrame) {
  auto capture = makeScreencopyCapture(clock, options);
  EXPECT_EQ(capture->capture(idOf("HEADLESS-9"), sink, false), Result::Unavailable);
  EXPECT_EQ(capture->status().state, ScreencopyState::Failed);
  EXPECT_NE(capture->status().problem.find("not among the compositor's outputs"),
            std::string::npos);
  // Once it exists it is read, whole, beside the first.
  ASSERT_TRUE(sway.command("create_output"));
  ASSERT_TRUE(sway.command("output HEADLESS-2 resolution 1280x720 position 1920 0"));
  ASSERT_TRUE(paint("HEADLESS-2", "#404040"));
  EXPECT_EQ(sink.settle(*capture, idOf("HEADLESS-2"), 64.0 / 255), 64.0 / 255);
  EXPECT_EQ(std::pair(sink.width(), sink.height()), std::pair(1280, 720));
  EXPECT_EQ(capture->status().state, ScreencopyState::Streaming);
  EXPECT_EQ(capture->status().outputName, "HEADLESS-2");
  EXPECT_EQ(sink.settle(*capture, panel, 1.0), 1.0);
  EXPECT_EQ(sink.width(), 1920);
}

}  // namespace
}  // namespace nuvlet::linux_platform
