#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "nuvlet/platform/Subprocess.h"
#include "tests/support/ProcessCheck.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/Servers.h"
#include "tests/support/TempDir.h"
#include "tests/tool_ddc/EdidFixtures.h"

namespace nuvlet::test {
namespace {

struct Run {
  SubprocessResult result;
  double seconds;
};

Run runTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NUVLET_DDC_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  auto start = std::chrono::steady_clock::now();
  auto result = Subprocess::runAndWait(argv, {10.0, 0.5, 1 << 16});
  return {result, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

bool oneLine(const std::string& s) {
  return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

// The first output of the X server: its id, with an EDID property set when given.
std::uint32_t firstOutput(const std::string& display, const ddc::Bytes& edid = {}) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  EXPECT_EQ(xcb_connection_has_error(c), 0);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  auto* res = xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, screen->root), nullptr);
  std::uint32_t output = 0;
  if (res != nullptr && xcb_randr_get_screen_resources_current_outputs_length(res) > 0) {
    output = xcb_randr_get_screen_resources_current_outputs(res)[0];
  }
  std::free(res);
  if (!edid.empty() && output != 0) {
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 4, "EDID"), nullptr);
    auto cookie = xcb_randr_change_output_property_checked(
        c, output, atom->atom, XCB_ATOM_INTEGER, 8, XCB_PROP_MODE_REPLACE,
        static_cast<std::uint32_t>(edid.size()), edid.data());
    std::free(atom);
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    EXPECT_EQ(error, nullptr) << "the X server refused the EDID property";
    std::free(error);
  }
  xcb_disconnect(c);
  return output;
}

class ToolProgram : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(childProcesses().empty()); }
  TempDir cache_;
  ScopedEnv cacheHome_{"XDG_CACHE_HOME", cache_.path().string()};
};

TEST_F(ToolProgram, BadUsageExitsTwoWithOneLineAndNoAnswer) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"display", "id=x", "get", "luminance"},
                                             {"display", "id=1", "set", "luminance", "200"}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.result.exitStatus, 2);
    EXPECT_EQ(run.result.out, "");
    EXPECT_TRUE(oneLine(run.result.err)) << run.result.err;
  }
}

TEST_F(ToolProgram, WithoutAnXServerItFailsFastWithAReason) {
  ScopedEnv display("DISPLAY", ":9999");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"display", "id=1", "get", "luminance"},
                                             {"display", "id=1", "set", "luminance", "50"},
                                             {"list"}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.result.exitStatus, 1);
    EXPECT_EQ(run.result.out, "") << "libddcutil's chatter reached stdout";
    EXPECT_TRUE(oneLine(run.result.err)) << run.result.err;
    EXPECT_NE(run.result.err.find("X server"), std::string::npos) << run.result.err;
    EXPECT_LT(run.seconds, 3.0) << "waited for something that is not there";
  }
}

TEST_F(ToolProgram, OutputsWithoutAMonitorBehindThemGiveAReason) {
  XvfbServer x;
  ASSERT_TRUE(x.running()) << "Xvfb is needed";
  ScopedEnv display("DISPLAY", x.display());
  std::uint32_t output = firstOutput(x.display());
  ASSERT_NE(output, 0u);

  auto missing = runTool({"display", "id=" + std::to_string(output + 1000), "get", "luminance"});
  EXPECT_EQ(missing.result.exitStatus, 1);
  EXPECT_NE(missing.result.err.find("does not exist"), std::string::npos) << missing.result.err;

  auto noEdid = runTool({"display", "id=" + std::to_string(output), "get", "luminance"});
  EXPECT_EQ(noEdid.result.exitStatus, 1);
  EXPECT_NE(noEdid.result.err.find("has no EDID"), std::string::npos) << noEdid.result.err;

  firstOutput(x.display(), makeEdid(7, 1));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"display", "id=" + std::to_string(output), "get", "luminance"},
           {"display", "id=" + std::to_string(output), "set", "luminance", "40"}}) {
    // No monitor answers DDC/CI on this machine; the tool must say so, quickly.
    auto run = runTool(args);
    EXPECT_EQ(run.result.exitStatus, 1);
    EXPECT_EQ(run.result.out, "");
    EXPECT_TRUE(oneLine(run.result.err)) << run.result.err;
    EXPECT_TRUE(run.result.err.find("no I2C devices") != std::string::npos ||
                run.result.err.find("no DDC/CI monitor") != std::string::npos)
        << run.result.err;
    EXPECT_LT(run.seconds, 3.0) << "waited for a monitor that is not there";
  }

  auto list = runTool({"list"});
  EXPECT_EQ(list.result.exitStatus, 0);
  EXPECT_EQ(list.result.out.rfind("id=" + std::to_string(output) + " ", 0), 0u) << list.result.out;
  EXPECT_TRUE(oneLine(list.result.out)) << list.result.out;
}

}  // namespace
}  // namespace nuvlet::test
