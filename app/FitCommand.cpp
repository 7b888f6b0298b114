#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/Commands.h"
#include "nuvlet/learning/ModelFitter.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/ui/CalibrationSummary.h"
#include "nuvlet/ui/ModelPlot.h"

namespace nuvlet::cli {
namespace {

struct FitCommandOptions {
  bool json = false;
  bool save = false;
  std::string plot;
  std::string records;
  std::string telemetryDir;
  std::string log;
};

// A percentage on stderr while a long fit reads, only when a person is watching.
class ProgressLine {
 public:
  ProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1) {}
  ~ProgressLine() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }
  ModelFitter::Progress callback() {
    if (!enabled_) return {};
    return [this](std::uint64_t done, std::uint64_t total) {
      constexpr std::uint64_t kWorthShowing = 32u << 20;
      if (total < kWorthShowing) return;
      const int percent = static_cast<int>(done * 100 / total);
      if (percent == last_) return;
      last_ = percent;
      shown_ = true;
      std::fprintf(stderr, "\rReading records: %3d%%", percent);
      std::fflush(stderr);
    };
  }

 private:
  bool enabled_;
  bool shown_ = false;
  int last_ = -1;
};

std::string summary(const FitResult& r, const FitSources& sources) {
  const BrightnessModel& m = r.model;
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "Observations: %lld\n",
                static_cast<long long>(m.observationCount));
  out += line;
  std::snprintf(line, sizeof line, "  telemetry       %lld from %lld day files in %s\n",
                static_cast<long long>(r.telemetryObservations),
                static_cast<long long>(r.telemetryFiles), sources.telemetryDir.c_str());
  out += line;
  std::snprintf(line, sizeof line, "  adjustment log  %lld from %s\n",
                static_cast<long long>(r.logObservations), sources.adjustmentLog.c_str());
  out += line;
  if (r.skippedFiles > 0) {
    std::snprintf(line, sizeof line, "  skipped files   %lld (unreadable or not UTF-8)\n",
                  static_cast<long long>(r.skippedFiles));
    out += line;
  }
  std::snprintf(line, sizeof line, "Buckets: %zu\n", m.bucketCount());
  out += line;
  out += m.observationCount == 0 ? "Prior (the default ramp: no observations)\n" : "Prior\n";
  out += "  band  luminance    backlight\n";
  for (std::size_t b = 0; b < m.prior.bByLumBin.size(); ++b) {
    std::snprintf(line, sizeof line, "  %zu     %.3f-%.3f  %.4f\n", b, static_cast<double>(b) / 8,
                  static_cast<double>(b + 1) / 8, m.prior.bByLumBin[b]);
    out += line;
  }
  const auto top = m.topBuckets(5);
  if (!top.empty()) {
    out += "Best-backed buckets\n";
    for (const auto& [bucket, stat] : top) out += "  " + topBucketLine(bucket, stat) + "\n";
  }
  return out;
}

int runFit(const FitCommandOptions& options) {
  const Paths paths = Paths::fromEnvironment();
  FitSources sources = FitSources::from(paths);
  if (!options.records.empty()) {
    sources = {std::filesystem::path(options.records) / "telemetry",
               std::filesystem::path(options.records) / "adjustments.csv"};
  }
  if (!options.telemetryDir.empty()) sources.telemetryDir = options.telemetryDir;
  if (!options.log.empty()) sources.adjustmentLog = options.log;

  SystemClock clock;
  FitResult result;
  {
    ProgressLine progress;
    nuvlet::FitOptions fitOptions;
    fitOptions.progress = progress.callback();
    result = ModelFitter::fit(sources, clock.now(), nullptr, fitOptions);
  }

  int status = 0;
  if (options.json) {
    const auto text = result.model.encode();
    if (!text) return 1;
    std::printf("%s\n", text->c_str());
  } else {
    const std::string text = summary(result, sources);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  // Reports go to stderr under --json so that stdout stays the model alone.
  FILE* notes = options.json ? stderr : stdout;
  if (options.save) {
    if (result.model.save(paths.modelFile())) {
      std::fprintf(notes, "Saved the model to %s\n", paths.modelFile().c_str());
    } else {
      std::fprintf(stderr, "Could not save the model to %s\n", paths.modelFile().c_str());
      status = 1;
    }
  }
  if (!options.plot.empty()) {
    if (plotModel(result.model, options.plot)) {
      std::fprintf(notes, "Drew the model to %s\n", options.plot.c_str());
    } else {
      std::fprintf(stderr, "Could not write %s\n", options.plot.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace

void addFitCommand(CommandLine& cl) {
  auto options = std::make_shared<FitCommandOptions>();
  auto* sub = cl.app.add_subcommand(
      "fit", "Fit the brightness model from the records on disk and show what it learned");
  sub->add_flag("--json", options->json, "Print the model exactly as it would be saved");
  sub->add_flag("--save", options->save, "Save the model where Nuvlet reads it");
  sub->add_option("--plot", options->plot, "Draw the prior and the buckets to a PNG file")
      ->type_name("FILE");
  sub->add_option("--records", options->records,
                  "Read DIR/telemetry and DIR/adjustments.csv instead of the user's records")
      ->type_name("DIR");
  sub->add_option("--telemetry-dir", options->telemetryDir,
                  "Read telemetry day files from this directory instead")
      ->type_name("DIR");
  sub->add_option("--log", options->log, "Read this adjustment log instead")->type_name("FILE");
  sub->callback([&cl, options] { cl.chosen = [options] { return runFit(*options); }; });
}

}  // namespace nuvlet::cli
