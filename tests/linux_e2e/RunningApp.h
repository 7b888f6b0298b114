#pragma once

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tests/harness/AppProcess.h"

namespace nuvlet::test {

nlohmann::json settingsIn(const std::filesystem::path& home);

// With compensation on and the panel last set to 0.9: a white screen dims the panel (to
// `dimmedTo` % or below) and a dark one brightens it again (by `rise` points from where
// the dimming came to rest), never leaving the band around 0.9 (0.36 to 1.0). `paint`
// fills the screen with a colour ("#rrggbb").
void expectCompensationFollowsTheScreen(RunningApp& app,
                                        const std::function<bool(const std::string&)>& paint,
                                        const std::function<std::optional<int>()>& backlight,
                                        int dimmedTo = 55, int rise = 15);

}  // namespace nuvlet::test
