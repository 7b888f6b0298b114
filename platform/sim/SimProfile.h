#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace nuvlet::sim {

// The kinds of content the simulated day shows, in the order of every per-kind table.
enum class ContentKind { Editor, Document, Web, Video };
inline constexpr std::array<const char*, 4> kContentKindNames = {"editor", "document", "web",
                                                                 "video"};

// The simulated user and world. Every member is required in a profile file, so that a
// misspelt one cannot silently fall back to a default.
struct SimProfile {
  struct User {
    // Emitted light (backlight response times content luminance) the user finds
    // comfortable on mid-grey content at 100 lux, midday.
    double baseEmitted = 0.2;
    // How strongly the preference follows the ambient light: (lux / 100) ^ this.
    double ambientExponent = 0.25;
    // How much of a content change the user wants to see: emitted light follows
    // (content luminance / 0.5) ^ this (0 = perfectly steady, 1 = backlight fixed).
    double contentExponent = 0.35;
    // Extra factor on the preference for each content kind.
    std::array<double, 4> contentFactor = {1.1, 0.9, 1.0, 1.15};
    // Share of light given up late in the evening (ramps in from 19:00 to 22:00).
    double eveningDimming = 0.25;
    // Standard deviation of the day-to-day change of the preference (log scale).
    double dailyNoise = 0.06;
    // How far (log of the emitted-light ratio) the light may stray before it bothers.
    double tolerance = 0.3;
    // How long the light must bother the user before they correct it.
    double patienceSeconds = 45;
    // Share of corrections made with the brightness keys instead of scrolling.
    double keyShare = 0.2;
  };
  struct World {
    double wakeHour = 7;
    double sleepHour = 23;
    double sunriseHour = 8;
    double sunsetHour = 16.5;
    // Daylight on the desk at noon on a clear day, lux.
    double daylightLux = 450;
    // Lamps, on from before sunset until bedtime and in the dark morning, lux.
    double lampLux = 120;
    // How much clouds may take from daylight, 0 to 1 (drawn per day).
    double cloudiness = 0.5;
    // The backlight's light output: floor + (1 - floor) * level ^ gamma.
    double backlightGamma = 1.3;
    double backlightFloor = 0.02;
    // Distinct hardware levels.
    int backlightSteps = 255;
  };
  User user;
  World world;

  nlohmann::json toJson() const;
};

// Reads a profile. On failure answers nothing and sets `error` to a message naming the
// member ("user.tolerance: missing", "world.lampLux: expected a number").
std::optional<SimProfile> parseProfile(const std::string& text, std::string& error);

}  // namespace nuvlet::sim
