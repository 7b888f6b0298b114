#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/CaptureRoute.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/Servers.h"
#include "tests/support/PollUntil.h"
#include "tests/support/ScopedEnv.h"

namespace nuvlet::linux_platform {
namespace {

using Result = ScreenCapture::Result;

// Paints known colours: the root background and override-redirect windows (no WM under Xvfb).
class Painter {
 public:
  explicit Painter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    if (!xcb_connection_has_error(c_)) screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~Painter() { xcb_disconnect(c_); }
  bool ok() const { return screen_ != nullptr; }

  void background(std::uint32_t rgb) {
    xcb_change_window_attributes(c_, screen_->root, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(c_, 0, screen_->root, 0, 0, 0, 0);
    sync();
  }
  void window(int x, int y, int w, int h, std::uint32_t rgb) {
    const xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                      static_cast<std::uint16_t>(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, id);
    sync();
  }
  // A round trip: everything sent before it has been drawn.
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

class X11Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    ASSERT_TRUE(painter.ok());
    output = x11MainOutput(xvfb.display());
    ASSERT_TRUE(output);
  }
  test::XvfbServer xvfb{"320x240x24"};
  Painter painter{xvfb.display()};
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
  std::printf("[ figure ] longest X11 capture with the server stopped: %.0f ms\n", longest * 1000);
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
    EXPECT_EQ(isWaylandSession(), c.isWayland);
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
