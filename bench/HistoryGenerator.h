#pragma once

// Writes a realistic record history for the fit benchmarks: telemetry day files as the
// recorder writes them and a large adjustment log.

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/records/TelemetryRecorder.h"

namespace nuvlet::bench {

struct HistoryShape {
  std::int64_t telemetryRows = 1'000'000;
  int days = 365;
  std::int64_t logLines = 200'000;
  std::uint32_t seed = 5;
  double lastDay = 1796472000.0;  // 2026-12-05 12:00 UTC
};

class HistoryGenerator {
 public:
  explicit HistoryGenerator(std::uint32_t seed) : rng_(seed) {}

  // One row of a working day at time t: a content signature, ambient light, an app,
  // a backlight that wanders and the loop switched on for most of the time.
  std::string row(double t) {
    std::uniform_real_distribution<double> u(0, 1);
    brightness_ = std::clamp(brightness_ + (u(rng_) - 0.5) * 0.02, 0.05, 1.0);
    lum_ = std::clamp(lum_ + (u(rng_) - 0.5) * 0.08, 0.0, 1.0);
    if (u(rng_) < 0.002) app_ = static_cast<int>(u(rng_) * 12);
    if (u(rng_) < 0.001) autoOn_ = !autoOn_;
    TelemetrySnapshot s;
    s.brightness = brightness_;
    s.lumRaw = std::clamp(lum_ + (u(rng_) - 0.5) * 0.05, 0.0, 1.0);
    s.lumSlow = lum_;
    s.lumFast = std::clamp(lum_ + (u(rng_) - 0.5) * 0.02, 0.0, 1.0);
    for (int i = 0; i < 16; ++i)
      s.lumGrid.push_back(std::clamp(lum_ + (u(rng_) - 0.5) * 0.3, 0.0, 1.0));
    s.sigDark = std::clamp(1 - lum_ + (u(rng_) - 0.5) * 0.2, 0.0, 1.0);
    s.sigBright = std::clamp(lum_ + (u(rng_) - 0.5) * 0.2, 0.0, 1.0);
    s.chroma = u(rng_) * 0.3;
    s.warmCool = (u(rng_) - 0.5) * 0.2;
    s.ambAvailable = true;
    s.ambLux = 50 + u(rng_) * 600;
    s.ambNorm = *s.ambLux / 1000;
    static const char* kApps[] = {"org.gnome.Terminal",
                                  "firefox",
                                  "code",
                                  "org.gnome.Nautilus",
                                  "thunderbird",
                                  "libreoffice-writer",
                                  "gimp",
                                  "slack",
                                  "spotify",
                                  "org.gnome.Evince",
                                  "inkscape",
                                  "chromium"};
    s.appID = kApps[app_];
    s.appName = std::string(kApps[app_]) + " window";
    s.displayID = 66;
    s.builtin = true;
    s.autoOn = autoOn_;
    s.bTarget = std::clamp(0.8 - lum_ * 0.4, 0.05, 1.0);
    s.bLoop = brightness_;
    const double pick = u(rng_);
    if (pick < 0.05) {
      return TelemetryRecorder::formatRow("brightness_change", "brightness_change",
                                          autoOn_ ? "auto" : "manual", brightness_ - 0.01,
                                          brightness_, s, t) +
             "\n";
    }
    if (pick < 0.07) {
      return TelemetryRecorder::formatRow("app_switch", "app_switch", {}, {}, {}, s, t) + "\n";
    }
    return TelemetryRecorder::formatRow("tick", {}, {}, {}, {}, s, t) + "\n";
  }

  std::string logLine(double t) {
    std::uniform_real_distribution<double> u(0, 1);
    char line[160];
    const char* kind = u(rng_) < 0.7 ? "auto" : (u(rng_) < 0.8 ? "scroll" : "system_key");
    const double before = u(rng_), after = u(rng_);
    std::snprintf(line, sizeof line, "%s,%s,%.4f,%.4f,%.4f,%.4f,org.gnome.Terminal\n",
                  localtime::isoUtc(t).c_str(), kind, before, after, u(rng_), after);
    return line;
  }

  // Writes the whole history below dir: dir/telemetry/telemetry-<day>.jsonl and
  // dir/adjustments.csv. Returns the telemetry files written.
  std::vector<std::filesystem::path> write(const std::filesystem::path& dir,
                                           const HistoryShape& shape) {
    std::vector<std::filesystem::path> files;
    files::ensureDirectory(dir / "telemetry");
    const std::int64_t perDay = shape.telemetryRows / shape.days;
    std::int64_t left = shape.telemetryRows;
    for (int d = shape.days - 1; d >= 0; --d) {
      const double dayStart = shape.lastDay - d * 86400.0;
      const std::int64_t rows = d == 0 ? left : perDay;
      left -= rows;
      std::string text;
      text.reserve(static_cast<std::size_t>(rows) * 560);
      for (std::int64_t i = 0; i < rows; ++i) {
        text += row(dayStart - 4 * 3600 +
                    static_cast<double>(i) * 14 * 3600 / static_cast<double>(rows));
      }
      const auto file =
          dir / "telemetry" / ("telemetry-" + *localtime::dayKey(dayStart) + ".jsonl");
      files::writeAtomically(file, text);
      files.push_back(file);
    }
    std::string log = "timestamp_iso,event_type,B_before,B_after,L_filtered,target,frontmost_app\n";
    for (std::int64_t i = 0; i < shape.logLines; ++i) {
      log += logLine(shape.lastDay - shape.days * 86400.0 +
                     static_cast<double>(i) * shape.days * 86400.0 /
                         static_cast<double>(shape.logLines));
    }
    files::writeAtomically(dir / "adjustments.csv", log);
    return files;
  }

 private:
  std::mt19937 rng_;
  double brightness_ = 0.6;
  double lum_ = 0.5;
  int app_ = 0;
  bool autoOn_ = true;
};

}  // namespace nuvlet::bench
