#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "nuvlet/sensing/LuminanceReducer.h"
#include "platform/linux/X11ScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/Servers.h"

namespace nuvlet::linux_platform {
namespace {

using Result = ScreenCapture::Result;

// A client that paints known colours: the root background and override-redirect
// windows (no window manager runs under Xvfb).
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
  xcb_window_t window(int x, int y, int w, int h, std::uint32_t rgb) {
    const xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                      static_cast<std::uint16_t>(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, id);
    sync();
    return id;
  }
  void destroy(xcb_window_t id) {
    xcb_destroy_window(c_, id);
    sync();
  }
  // A round trip: everything sent before it has been drawn.
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

// Keeps the frame a capture hands over and checks the bands arrive in order.
class Collector final : public FrameSink {
 public:
  void begin(int width, int height) override {
    frame = Frame(width, height);
    next = 0;
    bands = 0;
  }
  void rows(const FrameView& band) override {
    ASSERT_EQ(band.width, frame.width());
    ASSERT_LE(next + band.height, frame.height());
    for (int y = 0; y < band.height; ++y) {
      std::memcpy(frame.row(next + y), band.row(y), 4 * static_cast<std::size_t>(band.width));
    }
    next += band.height;
    ++bands;
  }
  bool whole() const { return !frame.empty() && next == frame.height(); }
  Rgb8 at(int x, int y) {
    const std::uint8_t* p = frame.row(y) + 4 * x;
    return {p[2], p[1], p[0]};
  }

  Frame frame;
  int next = 0;
  int bands = 0;
};

// Captures until one answers Captured: the damage notice for drawing another client did
// is on its way to the capture's connection. Real time, bounded.
bool captureOnceDamaged(ScreenCapture& capture, DisplayID output, FrameSink& sink) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (capture.capture(output, sink, true) == Result::Captured) return true;
  }
  return false;
}

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
  Collector got;
};

TEST_F(X11Capture, CapturesWhatIsOnScreenWithAndWithoutSharedMemory) {
  painter.background(0x336699);
  painter.window(0, 0, 160, 240, 0xff0000);
  painter.window(300, 230, 20, 10, 0xffffff);
  for (bool shm : {true, false}) {
    SCOPED_TRACE(shm ? "MIT-SHM" : "plain GetImage");
    // Strips of 7 rows: many bands and a short last one.
    auto capture = makeX11ScreenCapture(clock, {xvfb.display(), shm, 320 * 4 * 7});
    ASSERT_EQ(capture->capture(*output, got, false), Result::Captured);
    ASSERT_TRUE(got.whole());
    EXPECT_EQ(got.frame.width(), 320);
    EXPECT_EQ(got.frame.height(), 240);
    EXPECT_EQ(got.bands, (240 + 6) / 7);
    EXPECT_EQ(got.at(10, 10), (Rgb8{0xff, 0, 0}));
    EXPECT_EQ(got.at(200, 100), (Rgb8{0x33, 0x66, 0x99}));
    EXPECT_EQ(got.at(319, 239), (Rgb8{0xff, 0xff, 0xff}));

    // The reduction of the strips equals that of the frame they make up, and the
    // colours' exact mean.
    FrameReducer reducer;
    ASSERT_EQ(capture->capture(*output, reducer, false), Result::Captured);
    auto reduced = reducer.finish();
    ASSERT_TRUE(reduced);
    const FrameReduction whole = LuminanceReducer::reduce(got.frame.view());
    EXPECT_EQ(reduced->luminance, whole.luminance);
    EXPECT_EQ(reduced->signature, whole.signature);
    EXPECT_EQ(reduced->grid, whole.grid);
    const double blue = scaledLuma(0x33, 0x66, 0x99) / 2550000.0;
    const double expected = (160 * 240 * 0.2126 + 200 * 1.0 + (160 * 240 - 200) * blue) / 76800;
    EXPECT_NEAR(reduced->luminance, expected, 1e-12);
  }
}

TEST_F(X11Capture, FollowsTheOutputThroughRandrChanges) {
  painter.background(0x00ff00);
  auto capture = makeX11ScreenCapture(clock, {xvfb.display()});
  ASSERT_EQ(capture->capture(*output, got, false), Result::Captured);
  EXPECT_EQ(got.frame.width(), 320);

  auto xrandr = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"xrandr", "--display", xvfb.display()});
    return test::ChildProcess::run(args).status;
  };
  ASSERT_EQ(xrandr({"--newmode", "160x120", "10", "160", "170", "180", "190", "120", "130", "140",
                    "150"}),
            0)
      << "xrandr is required";
  ASSERT_EQ(xrandr({"--addmode", "screen", "160x120"}), 0);
  ASSERT_EQ(xrandr({"--output", "screen", "--mode", "160x120"}), 0);
  painter.background(0x00ff00);
  // The rectangle read before the change is now past the edge of the screen.
  ASSERT_EQ(capture->capture(*output, got, false), Result::Captured);
  EXPECT_EQ(got.frame.width(), 160);
  EXPECT_EQ(got.frame.height(), 120);
  EXPECT_EQ(got.at(159, 119), (Rgb8{0, 0xff, 0}));

  ASSERT_EQ(xrandr({"--output", "screen", "--mode", "320x240"}), 0);
  ASSERT_EQ(capture->capture(*output, got, false), Result::Captured);
  EXPECT_EQ(got.frame.width(), 320);

  // Switches the CRTC off (and then fails to shrink the screen to nothing).
  xrandr({"--output", "screen", "--off"});
  EXPECT_EQ(capture->capture(*output, got, false), Result::Unavailable)
      << "an output without a CRTC shows nothing";
}

TEST_F(X11Capture, ReportsAnUnchangedScreenForAtMostASecond) {
  painter.background(0x202020);
  auto capture = makeX11ScreenCapture(clock, {xvfb.display()});
  EXPECT_EQ(capture->capture(*output, got, true), Result::Captured) << "nothing to compare yet";
  painter.sync();
  EXPECT_EQ(capture->capture(*output, got, true), Result::Unchanged);
  EXPECT_EQ(capture->capture(*output, got, false), Result::Captured) << "when a frame is needed";

  const xcb_window_t w = painter.window(10, 10, 50, 50, 0xffffff);
  EXPECT_TRUE(captureOnceDamaged(*capture, *output, got));
  EXPECT_EQ(got.at(20, 20), (Rgb8{0xff, 0xff, 0xff}));
  painter.sync();
  EXPECT_EQ(capture->capture(*output, got, true), Result::Unchanged);
  clock.advance(0.9);
  EXPECT_EQ(capture->capture(*output, got, true), Result::Unchanged);
  clock.advance(0.1);
  EXPECT_EQ(capture->capture(*output, got, true), Result::Captured) << "a second has passed";
  painter.destroy(w);
  EXPECT_TRUE(captureOnceDamaged(*capture, *output, got));
  EXPECT_EQ(got.at(20, 20), (Rgb8{0x20, 0x20, 0x20}));
}

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
    EXPECT_EQ(makeScreenCapture(clock)->capture(*output, got, false),
              c.isWayland ? Result::Unavailable : Result::Captured);
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
