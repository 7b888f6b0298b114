#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/linux/LinuxWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/Servers.h"

namespace nuvlet::linux_platform {
namespace {

TEST(ApplicationFromWindow, PicksTheBestIdentifierAndAReadableName) {
  using std::nullopt;
  using namespace std::string_view_literals;
  struct Case {
    std::optional<std::string_view> gtk, wmClass, exe;
    FrontmostApplication want;
  };
  const Case cases[] = {
      {"org.example.Editor", "myinst\0MyClass\0"sv, "editor", {"org.example.Editor", "MyClass"}},
      {nullopt, "myinst\0MyClass\0"sv, "editor", {"MyClass", "MyClass"}},
      {nullopt, nullopt, "editor", {"editor", "editor"}},
      {nullopt, "\0OnlyClass\0"sv, nullopt, {"OnlyClass", "OnlyClass"}},
      {nullopt, "justone"sv, nullopt, {"justone", "justone"}},
      {nullopt, "caf\xe9\0Caf\xe9\0"sv, nullopt, {"Caf\xc3\xa9", "Caf\xc3\xa9"}},
      {"bad\xff", "x\0Y\0"sv, nullopt, {"bad\xef\xbf\xbd", "Y"}},
      {nullopt, nullopt, nullopt, {"", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(applicationFromWindow(c.gtk, c.wmClass, c.exe), c.want)
        << c.want.bundleId << " / " << c.want.name;
  }
}

class LinuxWorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    c = xcb_connect(xvfb.display().c_str(), nullptr);
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    x = XConnection::open(loop, xvfb.display().c_str());
    ASSERT_TRUE(x);
  }
  void TearDown() override { xcb_disconnect(c); }

  xcb_atom_t atom(const std::string& name) {
    auto* r = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr);
    xcb_atom_t a = r->atom;
    std::free(r);
    return a;
  }

  // A window as a client would map it, with the properties the test gives.
  xcb_window_t window(std::optional<std::string> wmClass, std::optional<std::string> gtk,
                      std::optional<std::uint32_t> pid) {
    xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    if (wmClass) {
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                          static_cast<std::uint32_t>(wmClass->size()), wmClass->data());
    }
    if (gtk) {
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("_GTK_APPLICATION_ID"),
                          atom("UTF8_STRING"), 8, static_cast<std::uint32_t>(gtk->size()),
                          gtk->data());
    }
    if (pid) {
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32,
                          1, &*pid);
    }
    return w;
  }

  void activate(xcb_window_t w) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW,
                        32, 1, &w);
    // A round trip, so the server has applied the change before another client looks.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  test::XvfbServer xvfb;
  sim::VirtualRunLoop loop;
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  std::shared_ptr<XConnection> x;
};

TEST_F(LinuxWorkspaceTest, FollowsTheActiveWindowAndTellsWhenAnotherAppComesForward) {
  using namespace std::string_literals;
  xcb_window_t editor1 = window("myinst\0MyClass\0"s, "org.example.Editor"s, 8534);
  xcb_window_t editor2 = window("other\0MyClass\0"s, "org.example.Editor"s, std::nullopt);
  xcb_window_t self = window(std::nullopt, std::nullopt, static_cast<std::uint32_t>(::getpid()));
  activate(editor1);
  xcb_flush(c);
  auto workspace = makeLinuxWorkspace(x, nullptr);
  EXPECT_EQ(workspace->frontmostApplication(),
            (FrontmostApplication{"org.example.Editor", "MyClass"}));
  int activations = 0;
  workspace->addDidActivateListener([&] { ++activations; });

  activate(self);
  ASSERT_TRUE(loop.runUntil([&] { return activations == 1; }, 10));
  EXPECT_EQ(workspace->frontmostApplication(),
            (FrontmostApplication{"test_linux_displays", "test_linux_displays"}));

  activate(editor1);
  ASSERT_TRUE(loop.runUntil([&] { return activations == 2; }, 10));
  activate(editor2);  // another window of the same application
  activate(XCB_WINDOW_NONE);
  ASSERT_TRUE(loop.runUntil([&] { return !workspace->frontmostApplication(); }, 10));
  EXPECT_EQ(activations, 2);
}

TEST_F(LinuxWorkspaceTest, AWindowThatIsGoneGivesAnAppWithoutNamesAndNoServerNoApp) {
  xcb_window_t w = window("a\0B\0", std::nullopt, std::nullopt);
  xcb_destroy_window(c, w);
  activate(w);
  EXPECT_EQ(makeLinuxWorkspace(x, nullptr)->frontmostApplication(), (FrontmostApplication{"", ""}));
  EXPECT_FALSE(makeLinuxWorkspace(nullptr, nullptr)->frontmostApplication());
}

}  // namespace
}  // namespace nuvlet::linux_platform
