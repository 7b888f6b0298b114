#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/DisplayTopology.h"

namespace nuvlet {

// One sample of the system's state, assembled by the application shell for each
// telemetry row. Absent values are left out of the row.
struct TelemetrySnapshot {
  double brightness = 0;  // built-in backlight, 0 to 1
  std::optional<double> lumRaw;
  std::optional<double> lumSlow;
  std::optional<double> lumFast;
  std::vector<double> lumGrid;  // 16 cells when captured, empty otherwise
  std::optional<double> sigDark;
  std::optional<double> sigBright;
  std::optional<double> chroma;
  std::optional<double> warmCool;
  std::optional<double> ambLux;
  std::optional<double> ambNorm;
  bool ambAvailable = false;
  std::optional<std::string> appID;
  std::optional<std::string> appName;
  DisplayID displayID = 0;
  bool builtin = false;
  bool autoOn = false;
  std::optional<double> bTarget;
  std::optional<double> bLoop;
};

}  // namespace nuvlet
