#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "nuvlet/app/LoginItem.h"
#include "nuvlet/app/UpdaterController.h"
#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/control/VolumeController.h"
#include "nuvlet/learning/FitCache.h"
#include "nuvlet/platform/AudioMixer.h"
#include "nuvlet/platform/BacklightDevice.h"
#include "nuvlet/platform/ColorScheme.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/LightSensorDevice.h"
#include "nuvlet/platform/LoginService.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/ScreenCapture.h"
#include "nuvlet/platform/StatusBar.h"
#include "nuvlet/platform/UpdateService.h"
#include "nuvlet/platform/WorkQueue.h"
#include "nuvlet/platform/Workspace.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "nuvlet/records/TelemetryRecorder.h"
#include "nuvlet/records/TelemetrySnapshot.h"
#include "nuvlet/sensing/AmbientLightSensor.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "nuvlet/sensing/DisplayRouter.h"
#include "nuvlet/ui/StatusItemController.h"

namespace nuvlet {

// The platform the application runs on: one adapter for every port. All of them are
// borrowed and must outlive the delegate; the run loop and the work queues must also
// outlive any fit or capture still running when the delegate goes.
struct AppPlatform {
  RunLoop& loop;
  WorkQueue& samplerQueue;
  WorkQueue& fitQueue;
  Defaults& defaults;
  const Paths& paths;
  Workspace& workspace;
  DisplayTopology& topology;
  BacklightDevice& backlight;
  std::shared_ptr<ScreenCapture> screenCapture;
  const LightSensorDevice& lightSensor;
  AudioMixer& mixer;
  StatusBar& statusBar;
  ColorScheme& colorScheme;
  LoginService& loginService;
  UpdateService& updateService;
  // The external-monitor tool, or nothing when there is none.
  std::optional<std::filesystem::path> monitorTool;
  // Shared by the fits so that a refit parses only what is new; may be null.
  std::shared_ptr<FitCache> fitCache;
  // The longest one run of the monitor tool may take.
  double monitorToolTimeout = ExternalBrightnessController::kSubprocessTimeout;
};

// The top of the system: creates every component in two stages, owns each for the
// life of the process and connects their callbacks; polls the backlight and the
// volume four times a second, decides whether the sampler runs, follows sleep and
// wake, and refits the model at start-up and every hour.
//
// Every callback it installs holds the delegate (or, for the sampler, the loop)
// weakly, so it must be owned by a std::shared_ptr (create()).
//
// Thread: main thread only (the thread that runs the platform's loop). Nothing here
// fails: a component whose device is missing answers nothing and the rest carries on.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  static constexpr double kPollInterval = 0.25;
  static constexpr double kRefitInterval = 3600.0;
  // A user's correction is learned this soon after the first of a burst; the ones that
  // follow it do not put the refit off.
  static constexpr double kCorrectionRefitDelay = 20.0;
  // A sampler value older than this is left out of telemetry.
  static constexpr double kSampleFreshness = 2.0;
  // A backlight level this far from the loop's own, and this far from the last poll,
  // was set outside the system.
  static constexpr double kOutsideChange = CompensationLoop::kOutsideChange;
  static constexpr double kOutsideStep = 0.01;
  static constexpr double kTelemetryStep = 0.004;
  static constexpr double kAutoSourceBand = 0.02;
  static constexpr double kRedrawStep = 0.005;

  static std::shared_ptr<AppDelegate> create(AppPlatform platform);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Start-up: both stages, the poll timer, the sleep and wake observers, recording
  // left on by the user, and the sampling decision. Called once.
  void applicationDidFinishLaunching();

  // Stops the sampler and the loop's backlight writes. Everything else is already on
  // disk. The process ends after it.
  void applicationWillTerminate();

  // Runs when the user chose Quit in the menu; the entry point ends the event loop.
  std::function<void()> onQuitRequested;

  // The snapshot the telemetry recorder writes with each row.
  TelemetrySnapshot makeSnapshot();

  // For the entry point's diagnostics and for tests; null until created.
  BrightnessController* brightness() const { return brightness_.get(); }
  StatusItemController* statusController() const { return statusController_.get(); }
  ExternalBrightnessController* external() const { return external_.get(); }
  DisplayRouter* router() const { return router_.get(); }
  VolumeController* volume() const { return volume_.get(); }
  ContentSampler* sampler() const { return sampler_.get(); }
  CompensationLoop* loop() const { return loop_.get(); }
  TelemetryRecorder* recorder() const { return recorder_.get(); }
  UpdaterController* updater() const { return updater_.get(); }
  double lastBuiltInBrightness() const { return lastBuiltInBrightness_; }
  double lastVolume() const { return lastVolume_; }
  double recorderLastBrightness() const { return recorderLastBrightness_; }

 private:
  explicit AppDelegate(AppPlatform platform);

  void setUpDataCapture();
  void installFullFeatures();
  void userSwitchedSampling(bool on);
  void updateSampling();
  // Starts a fit, or, while one runs, a second one after it: never two at once, and a
  // record written during a fit is not missed.
  void refitModel();
  void scheduleModelFits();
  void scheduleCorrectionRefit();
  void poll();

  // Wraps a member so that a callback outliving the delegate does nothing.
  std::function<void()> weakly(void (AppDelegate::*fn)());

  AppPlatform platform_;
  LoginItem loginItem_;

  std::shared_ptr<BrightnessController> brightness_;
  std::unique_ptr<StatusItemController> statusController_;
  std::shared_ptr<ExternalBrightnessController> external_;
  std::shared_ptr<DisplayRouter> router_;
  std::shared_ptr<VolumeController> volume_;
  std::shared_ptr<ContentSampler> sampler_;
  std::shared_ptr<CompensationLoop> loop_;
  std::shared_ptr<AdjustmentLogger> logger_;
  std::shared_ptr<DailyStats> dailyStats_;
  std::shared_ptr<AmbientLightSensor> ambient_;
  std::optional<RunLoop::TimerId> refitTimer_;
  std::optional<RunLoop::TimerId> correctionRefitTimer_;
  bool fitRunning_ = false;
  bool fitAgain_ = false;
  std::shared_ptr<TelemetryRecorder> recorder_;
  std::shared_ptr<UpdaterController> updater_;
  std::optional<RunLoop::TimerId> pollTimer_;
  double lastBuiltInBrightness_ = -1.0;
  double lastVolume_ = -1.0;
  double recorderLastBrightness_ = -1.0;

  std::vector<ListenerId> observers_;
};

}  // namespace nuvlet
