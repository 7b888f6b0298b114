#include "nuvlet/app/StatusReport.h"

#include <filesystem>

#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/records/DailyStats.h"
#include "nuvlet/ui/CalibrationSummary.h"

namespace nuvlet {
namespace {

std::string fileLine(const char* what, const std::filesystem::path& path, const char* note) {
  std::string line = "  ";
  line += what;
  line.resize(22, ' ');
  line += path.string();
  if (note != nullptr && note[0] != '\0') {
    line += "  (";
    line += note;
    line += ')';
  }
  return line + "\n";
}

const char* presence(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec) ? "" : "not created yet";
}

}  // namespace

std::string statusReport(const Paths& paths, const Clock& clock, const Defaults& settings) {
  const auto modelFile = paths.modelFile();
  auto loaded = BrightnessModel::load(modelFile);
  // The app runs on the empty model until a fit replaces it, so report that one.
  const BrightnessModel model = loaded ? *loaded : BrightnessModel::empty();
  const DailyStats stats(paths, clock, DailyStats::Access::ReadOnly);

  std::string out = "Nuvlet " NUVLET_VERSION "\n\nCalibration\n";
  for (const auto& line : calibrationSummary(&model, &stats)) {
    out += line.empty() ? "\n" : "  " + line + "\n";
  }

  std::error_code ec;
  const char* modelNote = loaded ? ""
                          : std::filesystem::exists(modelFile, ec)
                              ? "unreadable: the empty model applies until the next fit"
                              : "not created yet: the empty model applies";
  // As the loop reads it: anything but true is off.
  const auto keep = settings.value(CompensationLoop::kKeepCorrectionsKey);
  out += keep && keep->is_boolean() && keep->get<bool>()
             ? "\nCorrections: Keep My Corrections is on (a level you set holds until the "
               "content, the light or the hour changes)\n"
             : "\nCorrections: Keep My Corrections is off (after a correction, compensation "
               "returns to its learned level)\n";
  out += "\nFiles\n";
  out += fileLine("learned model", modelFile, modelNote);
  out += fileLine("daily statistics", paths.dailyStatsFile(), presence(paths.dailyStatsFile()));
  out += fileLine("adjustment log", paths.adjustmentLog(), presence(paths.adjustmentLog()));
  out += fileLine("telemetry", paths.telemetryDir(), presence(paths.telemetryDir()));
  out += fileLine("settings", paths.settingsFile(), presence(paths.settingsFile()));
  return out;
}

}  // namespace nuvlet
