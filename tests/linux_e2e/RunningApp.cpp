#include "tests/linux_e2e/RunningApp.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/TempDir.h"

namespace nuvlet::test {

namespace fs = std::filesystem;

nlohmann::json settingsIn(const fs::path& home) {
  return nlohmann::json::parse(readText(home / "config/nuvlet/settings.json"), nullptr, false);
}

void expectCompensationFollowsTheScreen(RunningApp& app,
                                        const std::function<bool(const std::string&)>& paint,
                                        const std::function<std::optional<int>()>& backlight,
                                        int dimmedTo, int rise) {
  int lowest = 100, highest = 0;
  auto reaches = [&](auto&& holds, double seconds = 30) {
    return app.waitFor(
        [&] {
          const auto level = backlight();
          if (!level) return false;
          lowest = std::min(lowest, *level);
          highest = std::max(highest, *level);
          return holds(*level);
        },
        seconds);
  };
  ASSERT_TRUE(paint("#ffffff"));
  EXPECT_TRUE(reaches([&](int level) { return level <= dimmedTo; })) << backlight().value_or(-1);
  // The loop's slow filter keeps it dimming a while: the rise is counted from where it
  // came to rest (no change for two seconds).
  auto changedAt = std::chrono::steady_clock::now();
  int last = backlight().value_or(-1);
  reaches([&](int level) {
    if (level != last) {
      last = level;
      changedAt = std::chrono::steady_clock::now();
    }
    return std::chrono::steady_clock::now() - changedAt > std::chrono::seconds(2);
  });
  const int dimmed = lowest;
  ASSERT_TRUE(paint("#101010"));
  EXPECT_TRUE(reaches([&](int level) { return level >= dimmed + rise; }, 40))
      << backlight().value_or(-1);
  EXPECT_GE(lowest, 36);
  EXPECT_LE(highest, 100);
}

}  // namespace nuvlet::test
