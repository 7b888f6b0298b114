#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "nuvlet/platform/Log.h"
#include "nuvlet/ui/DayPlot.h"
#include "platform/sim/Simulation.h"

namespace nuvlet::cli {
namespace {

struct SimulateOptions {
  int days = 7;
  std::uint64_t seed = 1;
  std::string profile;
  bool json = false;
  std::string plot;
  int plotDay = 0;
  std::string home;
  bool keepCorrections = false;
  bool bothModes = false;
};

// A bar on stderr while a person watches; nothing when output goes elsewhere.
class ProgressBar {
 public:
  explicit ProgressBar(std::string label)
      : enabled_(::isatty(STDERR_FILENO) == 1), label_(std::move(label)) {}
  ~ProgressBar() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }
  std::function<void(double)> callback() {
    if (!enabled_) return {};
    return [this](double done) {
      const int filled = static_cast<int>(done * 30);
      if (filled == last_) return;
      last_ = filled;
      shown_ = true;
      std::fprintf(stderr, "\r%s [%s%s]", label_.c_str(), std::string(filled, '#').c_str(),
                   std::string(30 - filled, ' ').c_str());
      std::fflush(stderr);
    };
  }

 private:
  bool enabled_;
  std::string label_;
  bool shown_ = false;
  int last_ = -1;
};

std::string table(const std::vector<sim::DayFigures>& days) {
  std::string out =
      "  day  date        corrections  scrolls  keys  menu 7-day  baseline  buckets  "
      "deviation  within\n";
  char line[200];
  for (const auto& d : days) {
    std::snprintf(
        line, sizeof line, "  %3d  %s  %11lld  %7d  %4d  %10.1f  %8.1f  %7zu  %8.1f%%  %5.0f%%\n",
        d.day, d.date.c_str(), static_cast<long long>(d.corrections), d.scrolls, d.keyPresses,
        d.rollingAverage, d.baselineAverage, d.buckets, 100 * d.deviation, 100 * d.withinTolerance);
    out += line;
  }
  return out;
}

// Means over days [from, to) of the run.
double meanOf(const std::vector<sim::DayFigures>& days, std::size_t from, std::size_t to,
              double (*figure)(const sim::DayFigures&)) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += figure(days[i]);
  return to > from ? sum / static_cast<double>(to - from) : 0;
}
double meanCorrections(const std::vector<sim::DayFigures>& days, std::size_t from, std::size_t to) {
  return meanOf(days, from, to,
                [](const sim::DayFigures& d) { return static_cast<double>(d.corrections); });
}
double meanDeviation(const std::vector<sim::DayFigures>& days, std::size_t from, std::size_t to) {
  return meanOf(days, from, to, [](const sim::DayFigures& d) { return d.deviation; });
}

// A stretch of the run, compensated against the same days on a fixed backlight: the
// first days show what switching compensation on costs, the second week what learning
// brought.
struct Period {
  std::size_t from = 0, to = 0;  // days [from, to), 0-based
  double corrections = 0, baselineCorrections = 0;
  double deviation = 0, baselineDeviation = 0;

  std::string name() const {
    return to - from == 1 ? "day " + std::to_string(from + 1)
                          : "days " + std::to_string(from + 1) + "-" + std::to_string(to);
  }
  static double ratio(double a, double b) { return b > 0 ? a / b : 0; }
  double correctionRatio() const { return ratio(corrections, baselineCorrections); }
  double deviationRatio() const { return ratio(deviation, baselineDeviation); }
};

Period period(const sim::SimulationResult& on, const sim::SimulationResult& off, std::size_t from,
              std::size_t to) {
  return {from,
          to,
          meanCorrections(on.days, from, to),
          meanCorrections(off.days, from, to),
          meanDeviation(on.days, from, to),
          meanDeviation(off.days, from, to)};
}

// Days 1-3, and the second week (or, in a shorter run, what follows the first days).
std::vector<Period> periods(const sim::SimulationResult& on, const sim::SimulationResult& off) {
  const std::size_t n = std::min(on.days.size(), off.days.size());
  std::vector<Period> out;
  const std::size_t first = std::min<std::size_t>(3, n);
  if (first > 0) out.push_back(period(on, off, 0, first));
  if (n >= 8) {
    out.push_back(period(on, off, 7, std::min<std::size_t>(14, n)));
  } else if (n > first) {
    out.push_back(period(on, off, first, n));
  }
  return out;
}

nlohmann::json periodJson(const Period& p) {
  return {{"fromDay", p.from + 1},
          {"toDay", p.to},
          {"correctionsPerDay", p.corrections},
          {"baselineCorrectionsPerDay", p.baselineCorrections},
          {"correctionRatio", p.correctionRatio()},
          {"deviation", p.deviation},
          {"baselineDeviation", p.baselineDeviation},
          {"deviationRatio", p.deviationRatio()}};
}

nlohmann::json daysJson(const std::vector<sim::DayFigures>& days) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& d : days) {
    out.push_back({{"day", d.day},
                   {"date", d.date},
                   {"corrections", d.corrections},
                   {"scrolls", d.scrolls},
                   {"keyPresses", d.keyPresses},
                   {"rollingAverage", d.rollingAverage},
                   {"baselineAverage", d.baselineAverage},
                   {"buckets", d.buckets},
                   {"deviation", d.deviation},
                   {"withinTolerance", d.withinTolerance}});
  }
  return out;
}

const char* modeName(bool keep) {
  return keep ? "Keep My Corrections on" : "Keep My Corrections off";
}

nlohmann::json sumsJson(const std::array<sim::Steadiness::Sums, 2>& sums) {
  nlohmann::json out = nlohmann::json::object();
  for (std::size_t i = 0; i < sums.size(); ++i) {
    out["rms" + std::to_string(sim::Steadiness::kLags[i]) + "s"] = sums[i].rms();
  }
  return out;
}

// Per kind of content: the emitted light's change with and without compensation, and
// the change the user wanted.
nlohmann::json steadinessJson(const sim::SimulationResult& on, const sim::SimulationResult& off) {
  nlohmann::json out = nlohmann::json::object();
  for (std::size_t k = 0; k < sim::kContentKindNames.size(); ++k) {
    out[sim::kContentKindNames[k]] = {{"compensated", sumsJson(on.steadiness[k].emitted)},
                                      {"baseline", sumsJson(off.steadiness[k].emitted)},
                                      {"wanted", sumsJson(on.steadiness[k].wanted)},
                                      {"seconds", on.steadiness[k].emitted[0].count}};
  }
  return out;
}

std::string steadinessTable(const sim::SimulationResult& on, const sim::SimulationResult& off) {
  std::string out =
      "How much the emitted light changes (rms of its log change over 1 s and 10 s):\n"
      "  content     compensated      fixed backlight  as the user wants\n";
  char line[160];
  const auto pair = [](const std::array<sim::Steadiness::Sums, 2>& s) {
    char text[40];
    std::snprintf(text, sizeof text, "%5.1f%% / %5.1f%%", 100 * s[0].rms(), 100 * s[1].rms());
    return std::string(text);
  };
  for (std::size_t k = 0; k < sim::kContentKindNames.size(); ++k) {
    std::snprintf(line, sizeof line, "  %-10s  %s  %s  %s\n", sim::kContentKindNames[k],
                  pair(on.steadiness[k].emitted).c_str(), pair(off.steadiness[k].emitted).c_str(),
                  pair(on.steadiness[k].wanted).c_str());
    out += line;
  }
  return out;
}

// A private home that goes with the run.
struct TemporaryHome {
  TemporaryHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nuvlet-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TemporaryHome() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

int runSimulate(const SimulateOptions& options) {
  sim::SimulationOptions sim;
  sim.days = options.days;
  sim.seed = options.seed;
  if (!options.profile.empty()) {
    std::ifstream in(options.profile, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "nuvlet simulate: cannot read the profile %s\n",
                   options.profile.c_str());
      return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto profile = sim::parseProfile(text.str(), error);
    if (!profile) {
      std::fprintf(stderr, "nuvlet simulate: profile %s: %s\n", options.profile.c_str(),
                   error.c_str());
      return 1;
    }
    sim.profile = *profile;
  }
  if (options.plotDay > options.days) {
    std::fprintf(stderr, "nuvlet simulate: --plot-day %d is after the last day\n", options.plotDay);
    return 1;
  }
  // The records' day keys are local dates: one zone for every machine keeps the
  // output the same everywhere.
  ::setenv("TZ", "UTC", 1);
  ::tzset();

  // What the simulated application reports concerns the simulated machine (its login
  // item, its devices); only --verbose shows it.
  if (!log::verbose()) log::setSink([](std::string_view) {});

  TemporaryHome temporary;
  const std::filesystem::path home =
      options.home.empty() ? temporary.path : std::filesystem::path(options.home);
  if (home.empty()) {
    std::fprintf(stderr, "nuvlet simulate: cannot create a temporary home\n");
    return 1;
  }
  sim.traceDay = options.plot.empty() ? 0 : (options.plotDay > 0 ? options.plotDay : options.days);

  if (options.bothModes && options.json) {
    std::fprintf(stderr, "nuvlet simulate: --both-modes prints text only; leave out --json\n");
    return 1;
  }
  sim::SimulationResult on, off, kept;
  if (options.bothModes) {
    ProgressBar bar("Corrections kept");
    sim.progress = bar.callback();
    sim.compensation = true;
    sim.keepCorrections = true;
    sim.home = home / "kept";
    kept = sim::runSimulation(sim);
  }
  {
    ProgressBar bar("Compensation on ");
    sim.progress = bar.callback();
    sim.compensation = true;
    sim.keepCorrections = options.keepCorrections && !options.bothModes;
    sim.home = home / "compensated";
    on = sim::runSimulation(sim);
  }
  {
    ProgressBar bar("Compensation off");
    sim.progress = bar.callback();
    sim.compensation = false;
    sim.keepCorrections = false;
    sim.home = home / "baseline";
    sim.traceDay = 0;
    off = sim::runSimulation(sim);
  }

  if (!options.plot.empty() && !plotDay(on.trace, options.plot)) {
    std::fprintf(stderr, "nuvlet simulate: cannot write the plot %s\n", options.plot.c_str());
    return 1;
  }
  // A day's count is noisy (weather, what the user works on), so the trend is told by
  // halves of the run.
  const std::size_t n = on.days.size(), half = n / 2;
  if (options.json) {
    nlohmann::json out = {
        {"days", options.days},
        {"seed", options.seed},
        {"keepCorrections", options.keepCorrections},
        {"profile", sim.profile.toJson()},
        {"compensated", daysJson(on.days)},
        {"baseline", daysJson(off.days)},
        {"summary",
         {{"correctionsPerDayFirstHalf",
           half > 0 ? nlohmann::json(meanCorrections(on.days, 0, half)) : nlohmann::json(nullptr)},
          {"correctionsPerDaySecondHalf", meanCorrections(on.days, half, n)},
          {"baselineCorrectionsPerDay", meanCorrections(off.days, 0, n)},
          {"deviation", meanDeviation(on.days, 0, n)},
          {"deviationSecondHalf", meanDeviation(on.days, half, n)},
          {"baselineDeviation", meanDeviation(off.days, 0, n)},
          {"mode", modeName(options.keepCorrections)},
          {"keepCorrections", options.keepCorrections},
          {"steadiness", steadinessJson(on, off)},
          {"periods", nlohmann::json::array()}}}};
    for (const Period& p : periods(on, off)) out["summary"]["periods"].push_back(periodJson(p));
    std::printf("%s\n", out.dump(2).c_str());
    return 0;
  }
  std::printf("Nuvlet on simulated hardware, %d %s, seed %llu (dates in UTC)\n\n", options.days,
              options.days == 1 ? "day" : "days", static_cast<unsigned long long>(options.seed));
  std::printf("Automatic compensation on from the start, %s:\n%s\n",
              modeName(options.keepCorrections && !options.bothModes), table(on.days).c_str());
  std::printf("The same days with compensation off:\n%s\n", table(off.days).c_str());
  const auto span = [](std::size_t first, std::size_t last) {
    return first == last ? "day " + std::to_string(first)
                         : "days " + std::to_string(first) + "-" + std::to_string(last);
  };
  if (n >= 2) {
    std::printf("Corrections per day with compensation: %.1f on %s, %.1f on %s (without: %.1f).\n",
                meanCorrections(on.days, 0, half), span(1, half).c_str(),
                meanCorrections(on.days, half, n), span(half + 1, n).c_str(),
                meanCorrections(off.days, 0, n));
  } else {
    std::printf("Corrections with compensation: %.0f (without: %.0f).\n",
                meanCorrections(on.days, 0, n), meanCorrections(off.days, 0, n));
  }
  std::printf(
      "Emitted light against the user's preference (rms deviation): %.1f%% with "
      "compensation",
      100 * meanDeviation(on.days, 0, n));
  if (n >= 2) {
    std::printf(" (%.1f%% on %s)", 100 * meanDeviation(on.days, half, n),
                span(half + 1, n).c_str());
  }
  std::printf(", %.1f%% without.\n", 100 * meanDeviation(off.days, 0, n));
  const auto summary = [&](const sim::SimulationResult& run, bool keep) {
    std::printf("\n%s", steadinessTable(run, off).c_str());
    std::printf("\nWith compensation (%s) against the same days on a fixed backlight:\n",
                modeName(keep));
    for (const Period& p : periods(run, off)) {
      std::printf(
          "  %-10s corrections per day %.1f / %.1f (%.2fx), rms deviation %.1f%% / %.1f%% "
          "(%.2fx)\n",
          (p.name() + ":").c_str(), p.corrections, p.baselineCorrections, p.correctionRatio(),
          100 * p.deviation, 100 * p.baselineDeviation, p.deviationRatio());
    }
  };
  summary(on, options.keepCorrections && !options.bothModes);
  if (options.bothModes) summary(kept, true);
  if (!options.home.empty()) {
    std::printf("Records: %s/compensated and %s/baseline\n", home.c_str(), home.c_str());
  }
  return 0;
}

}  // namespace

void addSimulateCommand(CommandLine& cl) {
  auto options = std::make_shared<SimulateOptions>();
  auto* sub = cl.app.add_subcommand(
      "simulate", "Run Nuvlet on simulated hardware with a simulated user, in virtual time");
  sub->add_option("--days", options->days, "Simulated days")
      ->check(CLI::Range(1, 366))
      ->capture_default_str();
  sub->add_option("--seed", options->seed, "Seed of the simulated world and user")
      ->capture_default_str();
  sub->add_option("--profile", options->profile, "JSON file of user and world parameters")
      ->check(CLI::ExistingFile);
  sub->add_flag("--json", options->json, "Print the figures as JSON");
  sub->add_option("--plot", options->plot, "Draw a day of the compensated run to a PNG file")
      ->type_name("FILE");
  sub->add_option("--plot-day", options->plotDay, "The day to draw (default: the last)")
      ->check(CLI::Range(1, 366));
  sub->add_option("--home", options->home,
                  "Keep the records under this directory (default: a temporary one, removed "
                  "at the end)")
      ->type_name("DIR");
  sub->add_flag("--both-modes", options->bothModes,
                "Also run with Keep My Corrections on and compare both with one fixed-backlight "
                "run (text only)");
  sub->add_flag("--keep-corrections", options->keepCorrections,
                "Run with Keep My Corrections on (the fixed-backlight run is the same either way)");
  sub->callback([&cl, options] { cl.chosen = [options] { return runSimulate(*options); }; });
}

}  // namespace nuvlet::cli
