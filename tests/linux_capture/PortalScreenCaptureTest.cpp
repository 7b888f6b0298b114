#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "nuvlet/platform/Files.h"
#include "platform/linux/capture/PortalScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/PortalDesktop.h"
#include "tests/linux_capture/SizedReducer.h"
#include "tests/support/PollUntil.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Result = ScreenCapture::Result;

class PortalCaptureTest : public ::testing::Test, public test::PortalDesktop {
 protected:
  void SetUp() override {
    const std::string why = startDesktop(dir_.path() / "pw");
    if (!why.empty()) GTEST_SKIP() << why;
    producer->paint(255, 255, 255);
    ASSERT_TRUE(startPortal());  // tests of another portal start theirs in its place
  }

  PortalCaptureOptions options() const {
    PortalCaptureOptions o;
    o.busAddress = bus.address();
    o.tokenFile = dir_.path() / "state" / "screencast-token";
    return o;
  }

  std::unique_ptr<PortalScreenCapture> makeCapture() {
    return makePortalScreenCapture(clock_, options());
  }

  // A capture the user switched on, once it reached `state`; nothing if it did not.
  std::unique_ptr<PortalScreenCapture> switchedOn(PortalState state = PortalState::Streaming) {
    auto capture = makeCapture();
    capture->allowAsking();
    return reaches(*capture, state, 10) ? std::move(capture) : nullptr;
  }

  // Captures until the state is `state` (a bounded wait).
  bool reaches(PortalScreenCapture& capture, PortalState state, double seconds = 5) {
    return test::pollUntil(
        [&] {
          capture.capture(0, sink, true);
          return capture.status().state == state;
        },
        seconds);
  }

  // Whether the capture, `after` seconds on, keeps from asking on its own.
  bool staysUnasked(PortalScreenCapture& capture, double after = 60) {
    clock_.advance(after);
    return !reaches(capture, PortalState::Asking, 0.1);
  }

  // Waits (bounded) until the portal has no session open.
  bool sessionsClosed() {
    return test::pollUntil([&] { return portal->seen().openSessions == 0; }, 5);
  }

  std::optional<std::string> storedToken() const {
    auto text = files::readFile(options().tokenFile);
    if (text && !text->empty() && text->back() == '\n') text->pop_back();
    return text;
  }

  test::TempDir dir_;
  sim::VirtualRunLoop clock_;
  test::SizedReducer sink;
};

TEST_F(PortalCaptureTest, AsksOnceWhenSwitchedOnThenRestoresWithoutAsking) {
  {
    auto capture = makeCapture();
    // Nothing stored and nobody switched sampling on: no dialog, whatever the wait.
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(capture->capture(0, sink, false), Result::Unavailable);
      clock_.advance(10);
    }
    EXPECT_EQ(capture->status().state, PortalState::NotAsked);
    EXPECT_EQ(portal->seen().dialogs, 0);

    capture->allowAsking();
    auto white = sink.settle(*capture, 0);
    ASSERT_TRUE(white) << portalStateName(capture->status().state) << " "
                       << capture->status().problem << "\n"
                       << pipewire->logs();
    EXPECT_EQ(white, 1.0);
    producer->paint(64, 64, 64);
    EXPECT_EQ(sink.settle(*capture, 0, 64.0 / 255), 64.0 / 255);
    EXPECT_EQ(capture->status().state, PortalState::Streaming);
    EXPECT_EQ(capture->status().monitor, "the monitor of 2560x1440 at +1920+0");

    const auto seen = portal->seen();
    EXPECT_EQ(seen.dialogs, 1);
    EXPECT_EQ(seen.lastOptions.at("types"), 1u);         // a monitor
    EXPECT_EQ(seen.lastOptions.at("cursor_mode"), 1u);   // without the pointer
    EXPECT_EQ(seen.lastOptions.at("persist_mode"), 2u);  // until revoked
    EXPECT_EQ(storedToken(), seen.issuedToken);
    EXPECT_EQ(std::filesystem::status(options().tokenFile).permissions(),
              std::filesystem::perms{0600});
  }
  EXPECT_TRUE(sessionsClosed());  // closed with the capture

  // The next start (a login): the stored token brings the monitor back, no dialog, and
  // the token it gave for next time replaces the used one.
  auto capture = makeCapture();
  EXPECT_EQ(sink.settle(*capture, 0, 64.0 / 255), 64.0 / 255);
  EXPECT_EQ(portal->seen().dialogs, 1);
  EXPECT_TRUE(portal->seen().lastHadToken);
  EXPECT_EQ(storedToken(), portal->seen().issuedToken);
}

TEST_F(PortalCaptureTest, ACancelledOrFailedDialogIsNotRepeatedInALoop) {
  portal->setDialogAnswer(1);
  auto capture = switchedOn(PortalState::Refused);
  ASSERT_TRUE(capture);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(staysUnasked(*capture));
  EXPECT_EQ(portal->seen().dialogs, 1);
  EXPECT_FALSE(storedToken());

  // Switched on again: asked again, once; the desktop failing is retried after a pause
  // without a new dialog of its own.
  portal->setDialogAnswer(2);
  capture->allowAsking();
  ASSERT_TRUE(reaches(*capture, PortalState::Failed));
  EXPECT_NE(capture->status().problem.find("Start failed"), std::string::npos);
  EXPECT_EQ(portal->seen().dialogs, 2);
  ASSERT_TRUE(staysUnasked(*capture));
  EXPECT_EQ(portal->seen().dialogs, 2);
  EXPECT_TRUE(sessionsClosed());
}

TEST_F(PortalCaptureTest, ARevokedTokenAsksAgainOnceAndIsForgottenWhenCancelled) {
  ASSERT_TRUE(switchedOn());
  ASSERT_TRUE(storedToken());
  // This desktop keeps no permission store: the token is all there is to go by.
  EXPECT_EQ(storedScreencastGrant(bus.address(), *storedToken()), StoredGrant::Unknown);
  EXPECT_FALSE(forgetRevokedPortalToken(options().tokenFile, bus.address()));
  portal->revokeAll();
  portal->setDialogAnswer(1);
  auto capture = makeCapture();
  ASSERT_TRUE(reaches(*capture, PortalState::Refused));
  EXPECT_EQ(portal->seen().dialogs, 2);
  EXPECT_FALSE(storedToken());  // it restores nothing: no dialog at the next login
  ASSERT_TRUE(staysUnasked(*capture));
  EXPECT_EQ(portal->seen().dialogs, 2);
}

// Revoked the way the README says, through the permission store: the token left behind
// counts as none. Nothing is asked at the next login; the user's switch asks once.
TEST_F(PortalCaptureTest, ATokenThePermissionStoreNoLongerHoldsIsForgotten) {
  ASSERT_TRUE(startPortal({.permissionStore = true}));
  ASSERT_TRUE(switchedOn());
  const auto token = storedToken();
  ASSERT_TRUE(token);
  EXPECT_EQ(storedScreencastGrant(bus.address(), *token), StoredGrant::Held);
  EXPECT_FALSE(forgetRevokedPortalToken(options().tokenFile, bus.address()));
  ASSERT_TRUE(deleteGrant(*token));
  EXPECT_EQ(storedScreencastGrant(bus.address(), *token), StoredGrant::Gone);

  auto capture = makeCapture();
  ASSERT_TRUE(test::pollUntil(
      [&] {
        capture->capture(0, sink, true);
        return !storedToken() && capture->status().state == PortalState::NotAsked;
      },
      5));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(staysUnasked(*capture));
  EXPECT_FALSE(capture->status().tokenStored);
  EXPECT_EQ(capture->status().requests, 0u);
  EXPECT_EQ(portal->seen().dialogs, 1);

  capture->allowAsking();
  ASSERT_TRUE(sink.settle(*capture, 0));
  EXPECT_EQ(portal->seen().dialogs, 2);
  EXPECT_FALSE(portal->seen().lastHadToken);
  EXPECT_EQ(storedScreencastGrant(bus.address(), storedToken().value_or("")), StoredGrant::Held);
}

Screen screen(DisplayID id, const char* name, ScreenRect frame, bool builtIn, double scale = 1) {
  return {id, name, frame, builtIn, {}, {}, {}, {}, scale};
}

// The stand-in shares the monitor of 2560x1440 at +1920+0: here HDMI-A-1, beside the panel.
TEST_F(PortalCaptureTest, AnotherMonitorSharedIsNotReadAsThePanel) {
  const std::vector<Screen> screens{screen(1, "eDP-1", {0, 0, 1920, 1080}, true),
                                    screen(2, "HDMI-A-1", {1920, 0, 2560, 1440}, false)};
  auto o = options();
  o.screens = [&] { return screens; };
  // Until a frame of `display` comes, or the capture refuses the monitor shared.
  const auto captures = [&](PortalScreenCapture& capture, DisplayID display) {
    bool captured = false;
    test::pollUntil(
        [&] {
          captured = capture.capture(display, sink, false) == Result::Captured;
          return captured || capture.status().state == PortalState::OtherMonitor;
        },
        5);
    return captured;
  };
  {
    // Asked for the monitor the user shared: it streams.
    auto capture = makePortalScreenCapture(clock_, o);
    capture->allowAsking();
    ASSERT_TRUE(captures(*capture, 2));
  }
  ASSERT_TRUE(storedToken());

  auto capture = makePortalScreenCapture(clock_, o);
  EXPECT_FALSE(captures(*capture, 1));
  ASSERT_EQ(capture->status().state, PortalState::OtherMonitor);
  EXPECT_EQ(capture->status().problem,
            "the desktop shares HDMI-A-1 (the monitor of 2560x1440 at +1920+0), not eDP-1, the "
            "built-in panel: compensation does not read it; switch \"Deruzorar!\" off and on and "
            "pick eDP-1 in the desktop's dialog");
  EXPECT_FALSE(storedToken());  // it would restore the same monitor
  EXPECT_TRUE(sessionsClosed());
  EXPECT_TRUE(staysUnasked(*capture));
  EXPECT_EQ(portal->seen().dialogs, 1);

  // The user's switch brings up the dialog to choose again.
  capture->allowAsking();
  EXPECT_FALSE(captures(*capture, 1));
  EXPECT_EQ(portal->seen().dialogs, 2);
  EXPECT_EQ(capture->status().state, PortalState::OtherMonitor);
}

TEST(OtherSharedScreen, OnlyWhenTheDescriptionFitsAnotherScreenAndNotTheOneAskedFor) {
  const std::vector<Screen> screens{screen(1, "eDP-1", {0, 0, 1280, 800}, true, 2),
                                    screen(2, "DP-1", {1280, 0, 1920, 1080}, false),
                                    screen(3, "DP-2", {3200, 0, 1920, 1080}, false)};
  const auto at = [](double x, double y) { return std::optional<ScreenPoint>(ScreenPoint{x, y}); };
  struct Case {
    SharedMonitor shared;
    DisplayID wanted;
    std::optional<DisplayID> other;
  } cases[] = {
      {{at(0, 0), at(2560, 1600)}, 1, std::nullopt},  // the panel itself
      {{at(1280, 0), at(1920, 1080)}, 1, 2},          // GNOME: by position
      {{at(3200, 0), std::nullopt}, 1, 3},
      {{at(5000, 0), std::nullopt}, 1, std::nullopt},     // fits no screen
      {{std::nullopt, at(2560, 1600)}, 1, std::nullopt},  // KDE: by size, in device pixels
      {{std::nullopt, at(1280, 800)}, 1, std::nullopt},
      {{std::nullopt, at(1920, 1080)}, 1, 2},             // the first monitor of that size
      {{std::nullopt, at(1920, 1080)}, 2, std::nullopt},  // two alike: cannot tell
      {{std::nullopt, std::nullopt}, 1, std::nullopt},
      {{at(1280, 0), std::nullopt}, 9, std::nullopt},  // asked for an unknown display
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    const auto other = otherSharedScreen(c.shared, c.wanted, screens);
    EXPECT_EQ(other ? other->id : std::nullopt, c.other);
  }
}

TEST_F(PortalCaptureTest, PortalsWithoutScreenCastOrTokens) {
  {
    ASSERT_TRUE(startPortal({/*version=*/0}));
    auto capture = switchedOn(PortalState::Failed);
    ASSERT_TRUE(capture);
    EXPECT_NE(capture->status().problem.find("no ScreenCast"), std::string::npos);
    EXPECT_EQ(portalScreenCastVersion(bus.address()), 0u);
  }
  // Version 3 cannot remember: it streams, asks each time, and nothing is stored.
  ASSERT_TRUE(startPortal({/*version=*/3}));
  EXPECT_EQ(portalScreenCastVersion(bus.address()), 3u);
  ASSERT_TRUE(switchedOn());
  EXPECT_EQ(portal->seen().lastOptions.count("persist_mode"), 0u);
  EXPECT_FALSE(storedToken());
}

// The shared monitor's node gone before the stream reached it (unplugged meanwhile): a
// failure with its reason and the session closed, then a retry after the pause.
TEST_F(PortalCaptureTest, ANodeGoneBeforeLinkingFailsAndIsRetried) {
  ASSERT_TRUE(startPortal({}, /*node=*/999999));
  auto capture = switchedOn(PortalState::Failed);
  ASSERT_TRUE(capture);
  EXPECT_NE(capture->status().problem.find("node 999999"), std::string::npos)
      << capture->status().problem;
  EXPECT_TRUE(sessionsClosed());
  EXPECT_TRUE(staysUnasked(*capture, 0));  // not before the pause
  clock_.advance(3.5);
  sink.settle(*capture, 0, std::nullopt, 0.3);
  EXPECT_EQ(capture->status().requests, 2u);
  EXPECT_EQ(portal->seen().dialogs, 1);  // the retry used the token it was given
}

TEST_F(PortalCaptureTest, RecoversWhenTheProducerGoes) {
  auto capture = switchedOn();
  ASSERT_TRUE(capture);
  EXPECT_EQ(capture->status().width, 320);

  // The monitor's stream ends (the compositor or its PipeWire went): a defined failure,
  // then after the pause a new session from the stored token, with no dialog.
  producer->stop();
  ASSERT_TRUE(reaches(*capture, PortalState::Failed));
  EXPECT_NE(capture->status().problem.find("PipeWire"), std::string::npos);
  producer = std::make_unique<test::PipeWireProducer>(*pipewire, 320, 200);
  producer->paint(64, 64, 64);
  ASSERT_TRUE(staysUnasked(*capture, 0));  // not before the pause
  clock_.advance(capture->status().state == PortalState::Failed ? 3.5 : 0);
  EXPECT_EQ(sink.settle(*capture, 0, 64.0 / 255), 64.0 / 255);
  EXPECT_EQ(portal->seen().dialogs, 1);
}

TEST_F(PortalCaptureTest, TheDesktopEndingTheSessionOrIdlenessClosesIt) {
  auto capture = switchedOn();
  ASSERT_TRUE(capture);

  // Nothing read the screen for a while (compensation off): the session closes, so the
  // desktop stops showing that the screen is shared; reading again restores it.
  clock_.advance(10);
  EXPECT_TRUE(sessionsClosed());
  EXPECT_EQ(capture->status().state, PortalState::Idle);
  ASSERT_TRUE(sink.settle(*capture, 0));
  EXPECT_EQ(portal->seen().dialogs, 1);

  // The user stops the sharing from the desktop: nothing is asked again on its own.
  portal->closeSessions();
  ASSERT_TRUE(reaches(*capture, PortalState::Stopped));
  ASSERT_TRUE(staysUnasked(*capture));
  capture->allowAsking();
  ASSERT_TRUE(sink.settle(*capture, 0));
  EXPECT_EQ(portal->seen().dialogs, 1);  // the stored token restored it
}

}  // namespace
}  // namespace nuvlet::linux_platform
