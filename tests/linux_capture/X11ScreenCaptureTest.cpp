#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/CaptureRoute.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/Servers.h"
#include "tests/harness/XPainter.h"
#include "tests/support/PollUntil.h"
#include "tests/support/ScopedEnv.h"

namespace nuvlet::linux_platform {
namespace {

using Result = ScreenCapture::Result;

class X11Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    ASSERT_TRUE(painter.ok());
    output = x11MainOutput(xvfb.display());
    ASSERT_TRUE(output);
  }
  test::XvfbServer xvfb{"320x240x24"};
  test::XPainter painter{xvfb.display()};
  std::optional<DisplayID> output;
  sim::VirtualRunLoop clock;
  FrameReducer got;  // a sink; these tests look only at the result
};

TEST_F(X11Capture, UnknownOutputsAndMissingServersGiveNoFrame) {
  auto nowhere = makeX11ScreenCapture(clock, {":65000"});
  EXPECT_EQ(nowhere->capture(1, got, false), Result::Unavailable);
  auto capture = makeX11ScreenCapture(clock, {xvfb.display()});
  EXPECT_EQ(capture->capture(*output + 1000, got, false), Result::Unavailable);
  EXPECT_EQ(capture->capture(*output, got, false), Result::Captured);

  xvfb = test::XvfbServer("16x16x24");  // replaces, and so stops, the server under the capture
  EXPECT_EQ(capture->capture(*output, got, false), Result::Unavailable);
  EXPECT_EQ(capture->capture(*output, got, true), Result::Unavailable);
}

// A server that stops answering while the screen is read: no capture waits more than
// its reply time, nothing piles up, and the picture comes again once it answers.
TEST_F(X11Capture, AStuckServerHoldsACaptureForItsReplyTimeAtMost) {
  X11CaptureOptions options{xvfb.display()};
  options.replyWaitSeconds = 0.3;
  options.stripBytes = 320 * 4 * 16;  // several strips in flight
  auto capture = makeX11ScreenCapture(clock, options);
  ASSERT_EQ(capture->capture(*output, got, false), Result::Captured);
  xvfb.freeze(true);
  double longest = 0;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(capture->capture(*output, got, false), Result::Unavailable);
    longest = std::max(
        longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  xvfb.freeze(false);
  EXPECT_LT(longest, 0.6);
  painter.background(0xffffff);
  ASSERT_TRUE(test::pollUntil(
      [&] { return capture->capture(*output, got, false) == Result::Captured; }, 5));
  EXPECT_EQ(got.finish()->luminance, 1.0);
}

TEST_F(X11Capture, RefusesToStandInOnAWaylandSession) {
  test::ScopedEnv display("DISPLAY", xvfb.display());
  const struct {
    std::optional<std::string> wayland, type;
    bool isWayland;
  } cases[] = {
      {std::nullopt, "x11", false}, {"wayland-0", std::nullopt, true}, {"", "wayland", true}};
  for (const auto& c : cases) {
    test::ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland), type("XDG_SESSION_TYPE", c.type);
    for (auto method : {CaptureMethod::Auto, CaptureMethod::X11}) {
      EXPECT_EQ(makeScreenCapture(clock, method, {})->capture(*output, got, false),
                c.isWayland ? Result::Unavailable : Result::Captured);
    }
  }
}

TEST_F(X11Capture, FeedsTheSamplerFromAWorkerThread) {
  painter.background(0xffffff);
  painter.window(0, 0, 320, 120, 0x000000);
  ThreadWorkQueue queue;
  ContentSampler sampler(*output, makeX11ScreenCapture(clock, {xvfb.display()}), clock, queue);
  sampler.setCaptureGrid(true);
  sampler.start();
  ASSERT_TRUE(clock.runUntil([&] { return sampler.hasRealSample(); }, 10));
  EXPECT_EQ(sampler.L_raw(), 0.5);
  EXPECT_EQ(sampler.smoothedSignature(), (ContentSignature{0.5, 0.5, 0.5, 0, 0}));
  EXPECT_EQ(sampler.L_grid(),
            (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}));
}

}  // namespace
}  // namespace nuvlet::linux_platform
