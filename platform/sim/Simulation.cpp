#include "platform/sim/Simulation.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "nuvlet/app/AppDelegate.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/records/DailyStats.h"
#include "platform/sim/InlineWorkQueue.h"
#include "platform/sim/MemoryLoginService.h"
#include "platform/sim/MemoryUpdateService.h"
#include "platform/sim/RecordingStatusBar.h"
#include "platform/sim/ScriptedAudioMixer.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/ScriptedLightSensor.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/SyntheticScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet::sim {
namespace {

// Tiny frames keep a week of ten samples a second cheap; the signature needs no more.
constexpr int kFrameWidth = 64, kFrameHeight = 36;
constexpr double kStep = 1.0;
constexpr double kLookInterval = 5.0;
constexpr double kTraceInterval = 60.0;
constexpr double kDay = 86400.0;
// 2026-12-07 00:00:00 UTC, a Monday.
constexpr double kFirstDay = 1796601600.0;
constexpr DisplayID kBuiltIn = 1;
constexpr double kNotch = 0.05;  // a wheel notch moves the level this much
constexpr double kNotchDelta = 10.0;
constexpr int kKeySteps = 16;

// The standard distributions differ between C++ libraries; these do not.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double uniform(double a, double b) { return a + (b - a) * uniform(); }
  double normal() {
    const double u1 = std::max(uniform(), 1e-300);
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
  }

 private:
  std::uint64_t state_;
};

std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream, std::uint64_t day) {
  Random r(seed * 0x100000001B3ull ^ (stream << 48) ^ day);
  return r.next();
}

// A backlight whose hardware has a fixed number of steps.
class SteppedBacklight final : public BacklightDevice {
 public:
  SteppedBacklight(int steps, double initial) : steps_(steps) { write(initial); }
  std::optional<double> read() override { return level_; }
  bool write(double value) override {
    if (!(value >= 0 && value <= 1)) return false;
    level_ = nearestStep(value);
    return true;
  }
  double nearestStep(double value) const override {
    if (!(value >= 0 && value <= 1)) return value;
    return std::round(value * steps_) / steps_;
  }
  BacklightInfo info() const override {
    return BacklightInfo{"simulated", "raw", steps_, BacklightWritePath::Memory, {}};
  }
  double level() const { return level_; }

 private:
  int steps_;
  double level_ = 0.5;
};

struct Scene {
  Frame frame{kFrameWidth, kFrameHeight};
  double luminance = 0;  // as the sampler measures it
};

struct Colour {
  std::uint8_t r, g, b;
};

// A frame of `base` with a share of each other colour scattered over it.
Scene paint(Random& random, Colour base, const std::vector<std::pair<Colour, double>>& others) {
  Scene scene;
  double sum = 0;
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      Colour c = base;
      double u = random.uniform();
      for (const auto& [colour, share] : others) {
        if (u < share) {
          c = colour;
          break;
        }
        u -= share;
      }
      scene.frame.setPixel(x, y, c.r, c.g, c.b);
      sum += (0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b) / 255.0;
    }
  }
  scene.luminance = sum / (kFrameWidth * kFrameHeight);
  return scene;
}

std::uint8_t byte(double v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0)); }

Scene makeScene(ContentKind kind, Random& r) {
  switch (kind) {
    case ContentKind::Editor:
      return paint(r, {30, 32, 38},
                   {{{190, 190, 175}, r.uniform(0.05, 0.2)}, {{210, 130, 90}, 0.03}});
    case ContentKind::Document:
      return paint(r, {250, 250, 247},
                   {{{30, 30, 30}, r.uniform(0.05, 0.15)},
                    {{90, 130, 180}, r.uniform() < 0.3 ? r.uniform(0.1, 0.3) : 0.0}});
    case ContentKind::Web: {
      const double white = r.uniform(0.2, 0.8);
      return paint(r, {245, 245, 245},
                   {{{byte(r.uniform(20, 200)), byte(r.uniform(20, 200)), byte(r.uniform(20, 200))},
                     (1 - white) * 0.6},
                    {{40, 40, 48}, (1 - white) * 0.4}});
    }
    case ContentKind::Video: {
      const double level = r.uniform(15, 150);
      const Colour tint{byte(level * r.uniform(0.7, 1.3)), byte(level),
                        byte(level * r.uniform(0.7, 1.3))};
      return paint(r, tint,
                   {{{byte(level * 1.8), byte(level * 1.8), byte(level * 1.7)}, 0.15},
                    {{5, 5, 8}, r.uniform(0.0, 0.3)}});
    }
  }
  return Scene{};
}

double sceneSeconds(ContentKind kind, Random& r) {
  switch (kind) {
    case ContentKind::Editor:
      return r.uniform(60, 240);
    case ContentKind::Document:
      return r.uniform(30, 150);
    case ContentKind::Web:
      return r.uniform(15, 90);
    case ContentKind::Video:
      return r.uniform(2, 6);
  }
  return 60;
}

ContentKind pickKind(double hour, Random& r) {
  // Work by day, films and browsing in the evening.
  const std::array<double, 4> day = {0.35, 0.3, 0.3, 0.05};
  const std::array<double, 4> evening = {0.15, 0.1, 0.35, 0.4};
  const auto& w = hour >= 19 ? evening : day;
  double u = r.uniform();
  for (std::size_t k = 0; k < w.size(); ++k) {
    if (u < w[k]) return static_cast<ContentKind>(k);
    u -= w[k];
  }
  return ContentKind::Web;
}

FrontmostApplication appFor(ContentKind kind) {
  switch (kind) {
    case ContentKind::Editor:
      return {"org.example.Editor", "Editor"};
    case ContentKind::Document:
      return {"org.example.Reader", "Reader"};
    case ContentKind::Web:
      return {"org.example.Browser", "Browser"};
    case ContentKind::Video:
      return {"org.example.Player", "Player"};
  }
  return {};
}

double smoothstep(double x) {
  x = std::clamp(x, 0.0, 1.0);
  return x * x * (3 - 2 * x);
}

class Run {
 public:
  explicit Run(const SimulationOptions& o)
      : o_(o),
        p_(o.profile),
        loop_(kFirstDay + p_.world.wakeHour * 3600),
        paths_(Paths::under(o.home)),
        backlight_(p_.world.backlightSteps, 0.5),
        screen_(
            std::make_shared<SyntheticScreenCapture>(kBuiltIn, Frame(kFrameWidth, kFrameHeight))),
        userRandom_(streamSeed(o.seed, 2, 0)) {
    topology_.screenList = {Screen{kBuiltIn, "eDP-1", {0, 0, 1920, 1080}, true, "Panel", {}, {}}};
    topology_.online = {kBuiltIn};
    light_.reading = 0.0;
    mixer_.level = 0.25;
    screen_->setBandHeight(kFrameHeight);
    // As a damage-tracking capture does: an unchanged screen costs no reduction.
    screen_->setReportsUnchanged(true);
  }

  SimulationResult run() {
    delegate_ = AppDelegate::create(AppPlatform{loop_, samplerQueue_, fitQueue_, defaults_, paths_,
                                                workspace_, topology_, backlight_, screen_, light_,
                                                mixer_, bar_, colorScheme_, login_, updates_,
                                                std::nullopt, std::make_shared<FitCache>()});
    delegate_->applicationDidFinishLaunching();
    settle();
    if (o_.keepCorrections) delegate_->loop()->setKeepsCorrections(true);
    if (o_.compensation) delegate_->loop()->setEnabled(true);

    SimulationResult result;
    result.trace.day = o_.traceDay;
    for (int d = 0; d < o_.days; ++d) {
      result.days.push_back(runDay(d, d + 1 == o_.traceDay ? &result.trace : nullptr));
    }
    result.steadiness = steadiness_;
    delegate_->applicationWillTerminate();
    delegate_.reset();
    result.fits = fits_;
    result.fitCpuSeconds = fitCpuSeconds_;
    return result;
  }

 private:
  // Runs the fits the hourly timer queued and hands their models to the loop.
  void settle() {
    if (fitQueue_.pending() == 0) return;
    fits_ += static_cast<int>(fitQueue_.pending());
    const double started = threadCpuSeconds();
    fitQueue_.runAll();
    fitCpuSeconds_ += threadCpuSeconds() - started;
    loop_.runPending();
  }

  static double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }

  void advanceTo(double t, double chunk) {
    while (loop_.now() < t) {
      loop_.advance(std::min(chunk, t - loop_.now()));
      settle();
    }
  }

  double response(double level) const {
    const auto& w = p_.world;
    return w.backlightFloor + (1 - w.backlightFloor) * std::pow(level, w.backlightGamma);
  }
  double levelFor(double light) const {
    const auto& w = p_.world;
    return std::pow(std::clamp((light - w.backlightFloor) / (1 - w.backlightFloor), 0.0, 1.0),
                    1 / w.backlightGamma);
  }

  double lux(double hour) const {
    const auto& w = p_.world;
    double lux = 3;
    if (hour > w.sunriseHour && hour < w.sunsetHour) {
      const double sun =
          std::sin(std::numbers::pi * (hour - w.sunriseHour) / (w.sunsetHour - w.sunriseHour));
      const double passing = 0.5 + 0.5 * std::sin(hour * 2.7 + cloudPhase_);
      lux += w.daylightLux * sun * (1 - w.cloudiness * cloud_) *
             (1 - 0.3 * w.cloudiness * cloud_ * passing);
    }
    if (hour > w.sunsetHour - 0.5 || hour < w.sunriseHour + 0.5) lux += w.lampLux;
    return lux;
  }

  // The backlight level the user wants now; always one the display can give.
  double wantedLevel(double hour) const {
    const auto& u = p_.user;
    const double L = std::max(scene_.luminance, 0.01);
    const double evening = 1 - u.eveningDimming * smoothstep((hour - 19) / 3);
    const double light = u.baseEmitted *
                         std::pow(std::max(lux(hour), 1.0) / 100, u.ambientExponent) *
                         std::pow(L / 0.5, u.contentExponent) *
                         u.contentFactor[static_cast<std::size_t>(kind_)] * evening * dayNoise_;
    return std::clamp(levelFor(light / L), CompensationLoop::kFloor, 1.0);
  }

  void look(double hour, DayFigures& fig, DayTrace* trace) {
    const double B = backlight_.level();
    const double wanted = wantedLevel(hour);
    const double deviation = std::log(response(B) / response(wanted));
    sumSquares_ += deviation * deviation;
    ++looks_;
    if (std::abs(deviation) <= p_.user.tolerance) {
      ++within_;
      bothered_ = 0;
      return;
    }
    bothered_ += kLookInterval;
    if (bothered_ < p_.user.patienceSeconds) return;
    bothered_ = 0;
    if (trace) trace->correctionHours.push_back(hour);
    if (userRandom_.uniform() < p_.user.keyShare) {
      // The keys move in coarse steps behind the application's back; the poll sees it.
      int step = static_cast<int>(std::lround(wanted * kKeySteps));
      const int now = static_cast<int>(std::lround(B * kKeySteps));
      if (step == now) step += wanted > B ? 1 : -1;
      backlight_.write(std::clamp(step, 1, kKeySteps) / static_cast<double>(kKeySteps));
      ++fig.keyPresses;
      return;
    }
    // One flick of the wheel or touchpad: a single event as large as the change.
    int notches = static_cast<int>(std::lround((wanted - B) / kNotch));
    if (notches == 0) notches = wanted > B ? 1 : -1;
    notches = std::clamp(notches, -20, 20);
    if (RecordedItem* item = bar_.item("brightness")) {
      item->scroll(-kNotchDelta * notches);
      fig.scrolls += std::abs(notches);
    }
  }

  // Once a second: the light given and wanted now, against the last ten seconds.
  void noteSteadiness(double hour) {
    const double emitted = response(backlight_.level()) * scene_.luminance;
    const double wanted = response(wantedLevel(hour)) * scene_.luminance;
    Steadiness& s = steadiness_[static_cast<std::size_t>(kind_)];
    for (std::size_t i = 0; i < Steadiness::kLags.size(); ++i) {
      const std::size_t lag = static_cast<std::size_t>(Steadiness::kLags[i]);
      if (sameKindSeconds_ < lag) continue;
      const Sample& then = recent_[(recentNext_ + recent_.size() - lag) % recent_.size()];
      const double e = std::log(emitted / then.emitted), w = std::log(wanted / then.wanted);
      s.emitted[i].squares += e * e;
      ++s.emitted[i].count;
      s.wanted[i].squares += w * w;
      ++s.wanted[i].count;
    }
    recent_[recentNext_] = {emitted, wanted};
    recentNext_ = (recentNext_ + 1) % recent_.size();
    ++sameKindSeconds_;
  }

  void newBlock(double t, double hour, Random& world) {
    sameKindSeconds_ = 0;
    kind_ = pickKind(hour, world);
    blockEnd_ = t + world.uniform(20, 90) * 60;
    workspace_.activate(appFor(kind_));
    // Films get the volume up with the keys; it goes back down after.
    mixer_.level = kind_ == ContentKind::Video ? world.uniform(0.4, 0.7) : 0.25;
  }

  DayFigures runDay(int d, DayTrace* trace) {
    const auto& w = p_.world;
    const double dayStart = kFirstDay + d * kDay;
    Random world(streamSeed(o_.seed, 1, static_cast<std::uint64_t>(d)));
    cloud_ = world.uniform();
    cloudPhase_ = world.uniform(0, 2 * std::numbers::pi);
    dayNoise_ = std::exp(p_.user.dailyNoise * world.normal());
    sumSquares_ = 0;
    looks_ = within_ = 0;
    bothered_ = 0;

    DayFigures fig;
    fig.day = d + 1;
    const double wake = dayStart + w.wakeHour * 3600;
    // Asleep by a minute to midnight at the latest: the day's figures are read before
    // the records roll over to the next day.
    const double sleep = std::min(dayStart + w.sleepHour * 3600, dayStart + kDay - 60);
    if (d > 0) {
      advanceTo(wake, 600);
      workspace_.wake();
    }
    blockEnd_ = sceneEnd_ = 0;
    double nextLook = wake + kLookInterval;
    double nextTrace = wake;
    for (double t = wake; t < sleep; t += kStep) {
      const double hour = (t - dayStart) / 3600;
      if (t >= blockEnd_) {
        newBlock(t, hour, world);
        sceneEnd_ = 0;
      }
      if (t >= sceneEnd_) {
        scene_ = makeScene(kind_, world);
        screen_->show(scene_.frame);
        sceneEnd_ = t + sceneSeconds(kind_, world);
      }
      light_.reading = lux(hour);
      noteSteadiness(hour);
      if (t >= nextLook) {
        look(hour, fig, trace);
        nextLook += kLookInterval;
      }
      if (trace && t >= nextTrace) {
        const double B = backlight_.level();
        trace->hour.push_back(hour);
        trace->content.push_back(scene_.luminance);
        trace->backlight.push_back(B);
        trace->emitted.push_back(response(B) * scene_.luminance);
        trace->wanted.push_back(response(wantedLevel(hour)) * scene_.luminance);
        nextTrace += kTraceInterval;
      }
      loop_.advance(kStep);
      settle();
      if (o_.progress && std::fmod(t - wake, 3600) == 0) {
        o_.progress((d + (t - wake) / (sleep - wake)) / o_.days);
      }
    }
    workspace_.sleep();
    advanceTo(dayStart + kDay - 1, 600);

    // What the menu would show, read back from the records the application wrote.
    DailyStats stats(paths_, loop_, DailyStats::Access::ReadOnly);
    fig.date = localtime::dayKey(loop_.now()).value_or("");
    fig.corrections = stats.todayCount();
    fig.rollingAverage = stats.rollingAverage(7);
    fig.baselineAverage = stats.baselineAverage();
    fig.buckets = delegate_->loop()->model().bucketCount();
    fig.deviation = looks_ > 0 ? std::sqrt(sumSquares_ / looks_) : 0;
    fig.withinTolerance = looks_ > 0 ? static_cast<double>(within_) / looks_ : 0;
    advanceTo(dayStart + kDay, 1);
    return fig;
  }

  const SimulationOptions& o_;
  const SimProfile& p_;
  VirtualRunLoop loop_;
  InlineWorkQueue samplerQueue_;
  ManualWorkQueue fitQueue_;
  MemoryDefaults defaults_;
  Paths paths_;
  ScriptedWorkspace workspace_;
  ScriptedDisplayTopology topology_;
  SteppedBacklight backlight_;
  std::shared_ptr<SyntheticScreenCapture> screen_;
  ScriptedLightSensor light_;
  ScriptedAudioMixer mixer_;
  RecordingStatusBar bar_;
  ScriptedColorScheme colorScheme_;
  MemoryLoginService login_;
  MemoryUpdateService updates_;
  std::shared_ptr<AppDelegate> delegate_;

  struct Sample {
    double emitted = 0, wanted = 0;
  };
  std::array<Sample, Steadiness::kLags.back()> recent_{};
  std::size_t recentNext_ = 0, sameKindSeconds_ = 0;
  std::array<Steadiness, 4> steadiness_{};

  Random userRandom_;
  ContentKind kind_ = ContentKind::Web;
  Scene scene_;
  double blockEnd_ = 0, sceneEnd_ = 0;
  double cloud_ = 0, cloudPhase_ = 0, dayNoise_ = 1;
  double sumSquares_ = 0, bothered_ = 0;
  int looks_ = 0, within_ = 0;
  int fits_ = 0;
  double fitCpuSeconds_ = 0;
};

}  // namespace

SimulationResult runSimulation(const SimulationOptions& options) {
  std::error_code ec;
  std::filesystem::create_directories(options.home, ec);
  return Run(options).run();
}

}  // namespace nuvlet::sim
