#pragma once

#include <filesystem>
#include <vector>

namespace nuvlet {

// A day of the system at work, sampled once a minute while awake: hours since local
// midnight, and values 0 to 1.
struct DayTrace {
  int day = 0;
  std::vector<double> hour;
  std::vector<double> content;    // content luminance
  std::vector<double> backlight;  // backlight level
  std::vector<double> emitted;    // light the display emits, relative to its maximum
  std::vector<double> wanted;     // the light the user wanted
  std::vector<double> correctionHours;
};

// Draws the day as a PNG. False when it cannot be written.
bool plotDay(const DayTrace& trace, const std::filesystem::path& png);

}  // namespace nuvlet
