#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/control/BrightnessController.h"
#include "platform/linux/devices/SysfsBacklight.h"
#include "tests/harness/BacklightTree.h"

namespace nuvlet::test {
namespace {

std::unique_ptr<BacklightDevice> open(const BacklightTree& tree, std::string name = {}) {
  using linux_platform::BacklightWriteChoice;
  return linux_platform::makeSysfsBacklight(
      {tree.root(), std::move(name), BacklightWriteChoice::Sysfs});
}

TEST(SysfsBacklight, ChoosesFirmwareOverPlatformOverRawUnlessTheSettingsNameOne) {
  struct Device {
    const char *name, *type, *max;
  };
  const struct {
    const char* what;
    std::vector<Device> devices;
    const char *setting, *chosen;
    const char* problem;  // a part of info().problem; "" when there is none
  } cases[] = {
      {"kernel precedence",
       {{"intel_backlight", "raw", "120000"},
        {"acpi_video0", "firmware", "100"},
        {"dell_backlight", "platform", "15"}},
       "",
       "acpi_video0",
       ""},
      {"platform over raw",
       {{"a_raw", "raw", "10"}, {"z_platform", "platform", "10"}},
       "",
       "z_platform",
       ""},
      {"unusable max skipped",
       {{"acpi_video0", "firmware", "0"}, {"intel_backlight", "raw", "937"}},
       "",
       "intel_backlight",
       ""},
      {"setting wins",
       {{"intel_backlight", "raw", "937"}, {"acpi_video0", "firmware", "100"}},
       "intel_backlight",
       "intel_backlight",
       ""},
      {"setting names a missing device",
       {{"intel_backlight", "raw", "937"}, {"acpi_video0", "firmware", "100"}},
       "nv_backlight",
       "acpi_video0",
       "\"nv_backlight\" not found; using acpi_video0"},
      {"setting is a path",
       {{"intel_backlight", "raw", "937"}},
       "../../../etc",
       "intel_backlight",
       "not a device name"},
      {"no device", {}, "", "", "no device in"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BacklightTree tree;
    std::filesystem::create_directories(tree.root() / "class/backlight");
    for (const auto& d : c.devices) tree.add(d.name, d.type, d.max, "1");
    auto device = open(tree, c.setting);
    const auto info = device->info();
    EXPECT_EQ(info.name, c.chosen);
    EXPECT_EQ(info.problem.empty(), !*c.problem) << info.problem;
    EXPECT_NE(info.problem.find(c.problem), std::string::npos) << info.problem;
  }
}

TEST(SysfsBacklight, ReadsLevelsAndRefusesBadFiles) {
  const struct {
    const char *brightness, *max;
    std::optional<double> level;
    const char* problem;
  } cases[] = {
      {"60000\n", "120000\n", 0.5, ""},
      {"0\n", "100\n", 0.0, ""},
      {" 7 \n", "10", 0.7, ""},
      {"", "100", std::nullopt, "brightness holds \"\""},
      {"-5\n", "100", std::nullopt, "brightness holds \"-5\""},
      {"130000\n", "120000\n", std::nullopt, "above max_brightness 120000"},
      {"99999999999999999999999", "100", std::nullopt, "brightness holds"},
      {"5\n", "0\n", std::nullopt, "max_brightness is 0"},
      {"5\n", "-1\n", std::nullopt, "max_brightness holds"},
      {"\x01\xff\n", "100", std::nullopt, "brightness holds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("brightness \"") + c.brightness + "\" max \"" + c.max + "\"");
    BacklightTree tree;
    tree.add("intel_backlight", "raw", "100", "1");
    tree.set("intel_backlight", "brightness", c.brightness);
    tree.set("intel_backlight", "max_brightness", c.max);
    auto device = open(tree, "intel_backlight");
    BrightnessController brightness(*device);
    EXPECT_EQ(device->read(), c.level);
    EXPECT_EQ(brightness.get(), c.level.value_or(0.0));
    const auto problem = device->info().problem;
    EXPECT_EQ(problem.empty(), !*c.problem) << problem;
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_EQ(problem.find_first_of("\n\x01"), std::string::npos) << problem;
  }
}

TEST(SysfsBacklight, WritesTheNearestRawStepButNeverZero) {
  const struct {
    const char* max;
    double level;
    const char* written;  // the file afterwards; "10\n" means untouched
    bool ok;
  } cases[] = {
      {"120000", 0.25, "30000\n", true}, {"7", 0.5, "4\n", true},  // 3.5 rounds away from zero
      {"7", 0.49, "3\n", true},          {"100", 1.0, "100\n", true},
      {"100", 0.004, "1\n", true},       {"100", 1.5, "10\n", false},
      {"100", -0.1, "10\n", false},      {"100", std::nan(""), "10\n", false},
      {"0", 0.5, "10\n", false},         {"1", 0.3, "1\n", true},
      {"2", 0.2, "1\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("max ") + c.max + " level " + std::to_string(c.level));
    BacklightTree tree;
    tree.add("intel_backlight", "raw", c.max, "10\n");
    auto device = open(tree);
    EXPECT_EQ(device->info().writePath, BacklightWritePath::Sysfs);
    EXPECT_EQ(device->write(c.level), c.ok);
    EXPECT_EQ(tree.read("intel_backlight"), c.written);
    // The step it says a level lands on is the one it reads back, or the loop would
    // take its own rounding for a key press.
    if (c.ok) {
      EXPECT_EQ(device->nearestStep(c.level), device->read());
    }
  }
}

}  // namespace
}  // namespace nuvlet::test
