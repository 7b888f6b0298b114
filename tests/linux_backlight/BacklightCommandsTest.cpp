// `nuvlet devices` and `nuvlet backlight`, run as the real program on a fake tree.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/linux_backlight/BacklightTree.h"
#include "tests/linux_backlight/FakeLogind.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Servers.h"

namespace nuvlet::test {
namespace {

class BacklightCommands : public testing::Test {
 protected:
  void SetUp() override {
    tree.add("intel_backlight", "raw", "120000", "60000\n");
    tree.add("acpi_video0", "firmware", "0", "0\n");
  }

  // Runs nuvlet with stderr folded into stdout.
  ChildProcess::Result nuvlet(std::vector<std::string> args,
                              std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", NUVLET_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    env.emplace("NUVLET_SYSFS_ROOT", tree.root().string());
    env.emplace("HOME", home.path().string());
    env.emplace("XDG_CONFIG_HOME", (home.path() / "config").string());
    env.emplace("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (home.path() / "no-bus").string());
    return ChildProcess::run(argv, env);
  }

  BacklightTree tree;
  TempDir home;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(BacklightCommands, DevicesListsTheChosenBacklightAndTheOthersOrSaysWhyThereIsNone) {
  auto expectIn = [](const ChildProcess::Result& r, std::vector<std::string> parts) {
    EXPECT_EQ(r.status, 0) << r.out;
    for (const auto& part : parts) EXPECT_TRUE(contains(r.out, part)) << part << " in " << r.out;
  };
  expectIn(nuvlet({"devices"}),
           {"Backlight\n", "intel_backlight (raw) in " + tree.root().string(),
            "range 0 to 120000, level now 0.5000 (60000 of 120000)", "writes to sysfs",
            "also found acpi_video0 (firmware, no usable max_brightness)"});

  home.write("config/nuvlet/settings.json", R"({"backlightDevice": "acpi_video0"})");
  expectIn(nuvlet({"devices"}),
           {"acpi_video0 (firmware)", "level now unreadable", "problem: max_brightness is 0"});

  std::filesystem::remove(home.path() / "config/nuvlet/settings.json");
  std::filesystem::remove_all(tree.root() / "class");
  expectIn(nuvlet({"devices"}), {"none: no device in " + tree.root().string()});
}

TEST_F(BacklightCommands, BacklightReadsSetsAndMoves) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* file;  // brightness afterwards
    const char* out;   // part of the output
  };
  const Case cases[] = {
      {{"backlight"},
       0,
       "60000\n",
       "intel_backlight 0.5000 (60000 of 120000), writes through sysfs"},
      {{"backlight", "0.25"}, 0, "30000\n", "intel_backlight 0.2500"},
      {{"backlight", "40%"}, 0, "48000\n", "0.4000"},
      {{"backlight", "+0.1"}, 0, "60000\n", "0.5000"},
      {{"backlight", "-10%"}, 0, "48000\n", "0.4000"},
      {{"backlight", "+5"}, 0, "120000\n", "1.0000"},
      {{"backlight", "-5"}, 0, "1\n", "(1 of 120000)"},
      {{"backlight", "nan"}, 2, "1\n", "is not a level"},
      {{"backlight", "1e3"}, 2, "1\n", "is not a level"},
      {{"backlight", "%"}, 2, "1\n", "is not a level"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto r = nuvlet(c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(contains(r.out, c.out)) << r.out;
    EXPECT_EQ(tree.read("intel_backlight"), c.file);
  }
}

TEST_F(BacklightCommands, BacklightFailsLoudlyWithoutADeviceOrAWritePath) {
  auto noLogind = nuvlet({"backlight", "--via", "logind", "0.3"});
  EXPECT_EQ(noLogind.status, 1);
  EXPECT_TRUE(contains(noLogind.out, "no system bus")) << noLogind.out;
  EXPECT_EQ(tree.read("intel_backlight"), "60000\n");

  std::filesystem::remove_all(tree.root() / "class");
  auto none = nuvlet({"backlight"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(contains(none.out, "no backlight")) << none.out;
}

TEST_F(BacklightCommands, BacklightWritesThroughLogindWhenAsked) {
  DbusDaemon bus(DbusDaemon::Kind::System);
  ASSERT_TRUE(bus.running());
  FakeLogind logind(bus.address(), tree.root());
  ASSERT_TRUE(logind.running());
  const auto r =
      nuvlet({"backlight", "--via", "logind", "0.3"}, {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "0.3000 (36000 of 120000), writes through logind")) << r.out;
  EXPECT_EQ(tree.read("intel_backlight"), "36000\n");
  ASSERT_EQ(logind.calls().size(), 1u);
  EXPECT_EQ(logind.calls()[0].value, 36000u);

  logind.setAnswer(FakeLogind::Answer::NotYourDevice);
  const auto refused =
      nuvlet({"backlight", "--via", "logind", "0.8"}, {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_TRUE(contains(refused.out, "NotYourDevice")) << refused.out;
  EXPECT_EQ(tree.read("intel_backlight"), "36000\n");
}

}  // namespace
}  // namespace nuvlet::test
