// The screencopy route against a compositor played by the test: what sway cannot be
// made to send (a failed copy, padded rows, bottom-up rows, swapped channels, formats
// the reducers cannot read).
#include <gtest/gtest.h>

#include <string>

#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/ScreencopyCapture.h"
#include "platform/linux/display/DrmConnectors.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/ScreencopyCompositor.h"
#include "tests/support/PollUntil.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Result = ScreenCapture::Result;
using Script = test::ScreencopyScript;
using test::FakeCompositor;

class ScreencopyFaults : public ::testing::Test {
 protected:
  // For a compositor of the test's own on a new socket.
  ScreencopyOptions nextOptions() {
    ScreencopyOptions o;
    o.display = (dir / ("wayland-" + std::to_string(sockets++))).string();
    o.sysfsRoot = dir.path();
    o.frameWaitSeconds = 2;  // the fake answers at once; a slow machine still gets it
    return o;
  }
  const DisplayID fake = waylandDisplayId("FAKE-1", {});
  test::TempDir dir;
  int sockets = 0;
  sim::VirtualRunLoop clock;
  FrameReducer reducer;
};

TEST_F(ScreencopyFaults, ReadsPaddedBottomUpAndSwappedBuffersAlike) {
  const double red = 0.2126, blue = 0.0722;
  const struct {
    const char* what;
    Script script;
  } cases[] = {
      {"tight XRGB", {.format = WL_SHM_FORMAT_XRGB8888, .stride = 512}},
      {"padded ARGB", {.format = WL_SHM_FORMAT_ARGB8888, .stride = 512 + 64}},
      {"bottom-up XRGB", {.format = WL_SHM_FORMAT_XRGB8888, .stride = 512, .yInvert = true}},
      {"padded XBGR", {.format = WL_SHM_FORMAT_XBGR8888, .stride = 512 + 12}},
      {"padded bottom-up ABGR",
       {.format = WL_SHM_FORMAT_ABGR8888, .stride = 512 + 64, .yInvert = true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto options = nextOptions();
    FakeCompositor compositor(c.script, options.display);
    ASSERT_TRUE(compositor.ok());
    auto capture = makeScreencopyCapture(clock, options);
    ASSERT_EQ(capture->capture(fake, reducer, false), Result::Captured)
        << capture->status().problem;
    const auto got = reducer.finish();
    ASSERT_TRUE(got);
    EXPECT_NEAR(got->luminance, (red + blue) / 2, 1e-12);
    ASSERT_EQ(got->grid.size(), 16u);
    EXPECT_NEAR(got->grid[0], red, 1e-12);    // top left
    EXPECT_NEAR(got->grid[15], blue, 1e-12);  // bottom right
    EXPECT_EQ(capture->status().outputName, "FAKE-1");
  }
}

// A failure is a state that says why: nothing is asked of the compositor again before
// the retry interval, and after it only while the output is still there to ask.
TEST_F(ScreencopyFaults, AFailureSaysWhyAndIsRetriedOnlyAfterTheInterval) {
  Script failing, unreadable, still;
  failing.fail = true;
  unreadable.format = WL_SHM_FORMAT_RGB565;
  unreadable.stride = 256;
  still.stillScreen = true;
  const struct Case {
    const char* name;
    const Script& script;
    bool unplug;          // after a first frame
    const char* problem;  // part of it
    int framesAfterInterval;
    int copies;  // asked in all
  } cases[] = {
      {"a failed copy", failing, false, "the compositor could not copy the output", 1, 2},
      {"a format the reducers cannot read", unreadable, false, "pixel format", 1, 0},
      {"an unplugged output", still, true, "FAKE-1 was unplugged", 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto options = nextOptions();
    FakeCompositor compositor(c.script, options.display);
    ASSERT_TRUE(compositor.ok());
    auto capture = makeScreencopyCapture(clock, options);
    if (c.unplug) {
      ASSERT_EQ(capture->capture(fake, reducer, false), Result::Captured);
      EXPECT_EQ(capture->capture(fake, reducer, true), Result::Unchanged);
      compositor.unplug();
      EXPECT_TRUE(test::pollUntil(
          [&] { return capture->capture(fake, reducer, true) == Result::Unavailable; }));
    } else {
      EXPECT_EQ(capture->capture(fake, reducer, false), Result::Unavailable);
    }
    EXPECT_EQ(capture->status().state, ScreencopyState::Failed);
    EXPECT_NE(capture->status().problem.find(c.problem), std::string::npos)
        << capture->status().problem;
    const int asked = compositor.framesAsked();
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(capture->capture(fake, reducer, i % 2 == 0), Result::Unavailable);
    }
    EXPECT_EQ(compositor.framesAsked(), asked);
    clock.advance(options.retrySeconds);
    EXPECT_EQ(capture->capture(fake, reducer, false), Result::Unavailable);
    EXPECT_EQ(compositor.framesAsked(), asked + c.framesAfterInterval);
    EXPECT_EQ(compositor.copiesAsked(), c.copies);
    EXPECT_NE(capture->status().problem.find(c.problem), std::string::npos);
  }
}

}  // namespace
}  // namespace nuvlet::linux_platform
