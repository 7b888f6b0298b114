#include <gtest/gtest.h>

#include <filesystem>

#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

class JsonFileDefaultsTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::filesystem::path file = dir / "config/nuvlet/settings.json";
  sim::VirtualRunLoop clock{1796558400.0};

  int corruptCopies() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(file.parent_path())) {
      n += e.path().filename().string().rfind("settings.json.corrupt-", 0) == 0;
    }
    return n;
  }
};

TEST_F(JsonFileDefaultsTest, ValuesPersistAcrossInstancesInAPrivateFile) {
  {
    auto defaults = makeJsonFileDefaults(file, clock);
    EXPECT_TRUE(defaults->boolOr("autoAdjustEnabled", true));
    defaults->setValue("autoAdjustEnabled", false);
    defaults->setValue("iconStyle", "pie");
    defaults->setValue("gain", 0.25);
  }
  EXPECT_EQ(static_cast<int>(std::filesystem::status(file).permissions()), 0600);

  auto defaults = makeJsonFileDefaults(file, clock);
  EXPECT_FALSE(defaults->boolOr("autoAdjustEnabled", true));
  EXPECT_EQ(defaults->stringOr("iconStyle", "curtain"), "pie");
  EXPECT_DOUBLE_EQ(defaults->numberOr("gain", 1), 0.25);
  // A value of the wrong type reads as the fallback.
  EXPECT_TRUE(defaults->boolOr("iconStyle", true));
  defaults->remove("iconStyle");
  EXPECT_EQ(makeJsonFileDefaults(file, clock)->stringOr("iconStyle", "curtain"), "curtain");
}

TEST_F(JsonFileDefaultsTest, DamagedFileIsKeptAsideAndDefaultsApply) {
  for (const std::string damaged : {"{\"autoAdjustEnabled\": tru", "[true]", "\xff\xfe{}", ""}) {
    std::filesystem::remove_all(file.parent_path());
    dir.write("config/nuvlet/settings.json", damaged);
    auto defaults = makeJsonFileDefaults(file, clock);
    EXPECT_FALSE(defaults->value("autoAdjustEnabled"));
    // Reading alone changes nothing on disk.
    EXPECT_EQ(test::readText(file), damaged);
    EXPECT_EQ(corruptCopies(), 0);

    defaults->setValue("telemetryRecording", true);
    EXPECT_EQ(corruptCopies(), 1) << damaged;
    EXPECT_TRUE(makeJsonFileDefaults(file, clock)->boolOr("telemetryRecording", false));
  }
}

TEST_F(JsonFileDefaultsTest, UnwritableLocationKeepsValuesInMemory) {
  dir.write("config", "a file where the directory should be");
  auto defaults = makeJsonFileDefaults(file, clock);
  defaults->setValue("autoAdjustEnabled", true);
  EXPECT_TRUE(defaults->boolOr("autoAdjustEnabled", false));
}

}  // namespace
}  // namespace nuvlet::linux_platform
