#pragma once
// What the end-to-end tests read from a run of the program, and how they drive it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tests/harness/AppProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

inline nlohmann::json settingsIn(const std::filesystem::path& home) {
  return nlohmann::json::parse(readText(home / "config/nuvlet/settings.json"), nullptr, false);
}

// With compensation on and the panel last set to 0.9: a white screen dims the panel (to
// `dimmedTo` % or below) and a dark one brightens it again (by `rise` points from where
// the dimming came to rest), never leaving the band around 0.9 (0.36 to 1.0). `paint`
// fills the screen with a colour ("#rrggbb").
inline void expectCompensationFollowsTheScreen(RunningApp& app,
                                               const std::function<bool(const std::string&)>& paint,
                                               const std::function<std::optional<int>()>& backlight,
                                               int dimmedTo = 55, int rise = 15) {
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
