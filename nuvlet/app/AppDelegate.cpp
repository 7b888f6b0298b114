#include "nuvlet/app/AppDelegate.h"

#include <cmath>
#include <utility>

#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/learning/ModelFitter.h"
#include "nuvlet/platform/Log.h"

namespace nuvlet {

std::shared_ptr<AppDelegate> AppDelegate::create(AppPlatform platform) {
  return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(platform)));
}

AppDelegate::AppDelegate(AppPlatform platform)
    : platform_(std::move(platform)), loginItem_(platform_.loginService, platform_.defaults) {}

AppDelegate::~AppDelegate() {
  // The status controller borrows the late components, the loop borrows the log and
  // the statistics: take them down before what they lean on.
  statusController_.reset();
  for (ListenerId id : observers_) platform_.workspace.removeListener(id);
  if (pollTimer_) platform_.loop.cancel(*pollTimer_);
  if (refitTimer_) platform_.loop.cancel(*refitTimer_);
  if (correctionRefitTimer_) platform_.loop.cancel(*correctionRefitTimer_);
  sampler_.reset();
  router_.reset();
  loop_.reset();
  recorder_.reset();
}

std::function<void()> AppDelegate::weakly(void (AppDelegate::*fn)()) {
  return [weak = weak_from_this(), fn] {
    if (auto self = weak.lock()) ((*self).*fn)();
  };
}

void AppDelegate::applicationDidFinishLaunching() {
  loginItem_.configureAtLaunch();
  brightness_ = std::make_shared<BrightnessController>(platform_.backlight);
  statusController_ = std::make_unique<StatusItemController>(
      *brightness_, StatusItemController::Platform{
                        platform_.statusBar, platform_.defaults, platform_.colorScheme,
                        platform_.topology, platform_.workspace, platform_.paths, loginItem_});
  statusController_->onQuit = [weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->onQuitRequested) self->onQuitRequested();
  };
  updater_ = std::make_shared<UpdaterController>(platform_.updateService);

  // A backlight that cannot be read is not shown as dark: the first good poll shows it.
  if (auto level = brightness_->read()) {
    statusController_->updateBrightness(*level);
    lastBuiltInBrightness_ = *level;
  }

  setUpDataCapture();
  installFullFeatures();

  pollTimer_ = platform_.loop.scheduleRepeating(kPollInterval, weakly(&AppDelegate::poll));
  observers_.push_back(platform_.workspace.addWillSleepListener([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->sampler_) return;
    self->sampler_->stop();
    log::debug("will sleep: sampling off");
  }));
  observers_.push_back(platform_.workspace.addDidWakeListener([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    log::debug("woke");
    self->updateSampling();
  }));
  if (recorder_) recorder_->startIfEnabled();
  updateSampling();
}

void AppDelegate::setUpDataCapture() {
  const DisplayID main = platform_.topology.mainDisplay().value_or(0);
  sampler_ = std::make_shared<ContentSampler>(main, platform_.screenCapture, platform_.loop,
                                              platform_.samplerQueue);
  ambient_ = std::make_shared<AmbientLightSensor>(platform_.lightSensor);
  recorder_ =
      std::make_shared<TelemetryRecorder>(platform_.paths, platform_.defaults, platform_.loop);

  if (auto level = brightness_->read()) recorderLastBrightness_ = *level;

  recorder_->setSnapshotProvider([weak = weak_from_this()] {
    if (auto self = weak.lock()) return self->makeSnapshot();
    return TelemetrySnapshot{};
  });
  recorder_->setOnRecordingChange([weak = weak_from_this()](bool on) {
    if (auto self = weak.lock()) self->userSwitchedSampling(on);
  });
  statusController_->setRecorder(recorder_.get());
  observers_.push_back(platform_.workspace.addDidActivateListener([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->recorder_) self->recorder_->recordEvent("app_switch");
  }));
}

void AppDelegate::installFullFeatures() {
  if (external_) return;
  const Clock& clock = platform_.loop.clock();
  ExternalBrightnessController::Options toolOptions;
  toolOptions.subprocessTimeout = platform_.monitorToolTimeout;
  auto external = std::make_shared<ExternalBrightnessController>(
      platform_.loop, platform_.monitorTool, toolOptions);
  auto router = std::make_shared<DisplayRouter>(platform_.topology, clock);
  auto volume = std::make_shared<VolumeController>(platform_.mixer);
  auto logger = std::make_shared<AdjustmentLogger>(platform_.paths, clock, platform_.workspace);
  auto dailyStats = std::make_shared<DailyStats>(platform_.paths, clock);
  auto loop = std::make_shared<CompensationLoop>(*brightness_, *dailyStats, *logger,
                                                 platform_.defaults, platform_.topology, clock);
  loop->setModel(
      BrightnessModel::load(platform_.paths.modelFile()).value_or(BrightnessModel::empty()));

  const std::weak_ptr<AppDelegate> weak = weak_from_this();
  router->onActiveDisplayChange = [weak](DisplayID) {
    auto self = weak.lock();
    if (self && self->statusController_) self->statusController_->refreshSilhouette();
  };
  if (sampler_) {
    sampler_->onFiltered = [weakLoop = std::weak_ptr<CompensationLoop>(loop)](double L_slow,
                                                                              double L_fast) {
      if (auto target = weakLoop.lock()) target->onLuminanceUpdate(L_slow, L_fast);
    };
  }
  loop->ambientProvider = [weak]() -> std::optional<double> {
    auto self = weak.lock();
    if (!self || !self->ambient_) return std::nullopt;
    return self->ambient_->read();
  };
  loop->signatureProvider = [weak]() -> std::optional<ContentSignature> {
    auto self = weak.lock();
    if (!self || !self->sampler_) return std::nullopt;
    return self->sampler_->smoothedSignature();
  };
  loop->onEnabledChange = [weak](bool on) {
    if (auto self = weak.lock()) self->userSwitchedSampling(on);
  };
  loop->onUserCorrection = weakly(&AppDelegate::scheduleCorrectionRefit);

  external_ = std::move(external);
  router_ = std::move(router);
  volume_ = std::move(volume);
  logger_ = std::move(logger);
  dailyStats_ = std::move(dailyStats);
  loop_ = std::move(loop);

  statusController_->enableFullFeatures(external_.get(), router_.get(), volume_.get(), loop_.get(),
                                        dailyStats_.get());
  lastVolume_ = volume_->get();
  statusController_->updateVolume(lastVolume_);
  updateSampling();
  refitModel();
  scheduleModelFits();
}

void AppDelegate::userSwitchedSampling(bool on) {
  // Only a switch the user made may bring up a desktop's permission dialog.
  if (on && platform_.screenCapture) platform_.screenCapture->allowAsking();
  updateSampling();
}

void AppDelegate::updateSampling() {
  const bool recording = recorder_ && recorder_->isRecording();
  const bool needed = (loop_ && loop_->enabled()) || recording;
  if (!sampler_) return;
  const bool was = sampler_->running();
  if (needed) {
    sampler_->start();
  } else {
    sampler_->stop();
  }
  // Only telemetry uses the grid.
  sampler_->setCaptureGrid(recording);
  if (was != needed) log::debug(needed ? "sampling on" : "sampling off");
}

void AppDelegate::refitModel() {
  if (fitRunning_) {
    fitAgain_ = true;
    return;
  }
  fitRunning_ = true;
  ModelFitter::fitInBackground(
      platform_.fitQueue, platform_.loop, platform_.paths, platform_.fitCache,
      [weak = weak_from_this(), file = platform_.paths.modelFile()](BrightnessModel model) {
        auto self = weak.lock();
        if (self && self->loop_) self->loop_->setModel(model);
        model.save(file);
        if (!self) return;
        self->fitRunning_ = false;
        if (std::exchange(self->fitAgain_, false)) self->refitModel();
      });
}

void AppDelegate::scheduleModelFits() {
  refitTimer_ = platform_.loop.scheduleRepeating(kRefitInterval, weakly(&AppDelegate::refitModel));
}

void AppDelegate::scheduleCorrectionRefit() {
  if (correctionRefitTimer_) return;
  correctionRefitTimer_ =
      platform_.loop.scheduleAfter(kCorrectionRefitDelay, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->correctionRefitTimer_.reset();
        self->refitModel();
      });
}

void AppDelegate::poll() {
  // Without any display known (no X server) there is nothing to route to but the
  // built-in panel, whose backlight still changes under the user's keys.
  const bool builtInTarget = !router_ || !platform_.topology.mainDisplay() ||
                             platform_.topology.isBuiltIn(router_->currentTarget());
  if (builtInTarget) {
    // A failed read is no level at all: taken as 0 it would pass for the user
    // darkening the screen, reach the loop as a correction and be logged.
    if (auto read = brightness_->read()) {
      const double b = *read;
      // Whether the loop itself put the backlight here is judged on its level before
      // this tick: once told of an outside change, the loop holds that level too.
      // On a device with coarse steps that is the step the loop's write landed on.
      const double loopLevel = loop_ ? loop_->B_held() : 0.0;
      if (loop_ && std::abs(b - loopLevel) > kOutsideChange &&
          std::abs(b - lastBuiltInBrightness_) > kOutsideStep) {
        loop_->onManualChange(b, "system_key");
      }
      if (recorder_ && recorder_->isRecording()) {
        if (recorderLastBrightness_ < 0) {
          // Start-up could not read the level: there is no change to report yet.
          recorderLastBrightness_ = b;
        } else if (std::abs(b - recorderLastBrightness_) > kTelemetryStep) {
          const bool automatic =
              loop_ && loop_->enabled() && std::abs(b - loopLevel) < kAutoSourceBand;
          recorder_->recordEvent("brightness_change", automatic ? "auto" : "manual",
                                 recorderLastBrightness_, b);
          recorderLastBrightness_ = b;
        }
      }
      if (std::abs(b - lastBuiltInBrightness_) > kRedrawStep) {
        lastBuiltInBrightness_ = b;
        statusController_->updateBrightness(b);
      }
    }
  }
  if (volume_) {
    const double v = volume_->get();
    if (std::abs(v - lastVolume_) > kRedrawStep) {
      lastVolume_ = v;
      statusController_->updateVolume(v);
    }
  }
}

TelemetrySnapshot AppDelegate::makeSnapshot() {
  TelemetrySnapshot snap;
  const auto main = platform_.topology.mainDisplay();
  snap.displayID = main.value_or(0);
  snap.builtin = main && platform_.topology.isBuiltIn(*main);
  snap.brightness = brightness_ ? brightness_->get() : 0.0;

  if (sampler_) {
    const auto at = sampler_->lastSampleAt();
    // A stopped sampler or a sleeping screen gives rows without content values
    // rather than old ones.
    if (at && platform_.loop.clock().now() - *at < kSampleFreshness) {
      snap.lumRaw = sampler_->L_raw();
      snap.lumSlow = sampler_->L_slow();
      snap.lumFast = sampler_->L_fast();
      snap.lumGrid = sampler_->L_grid();
      snap.sigDark = sampler_->sigDark();
      snap.sigBright = sampler_->sigBright();
      snap.chroma = sampler_->sigChroma();
      snap.warmCool = sampler_->sigWarmCool();
    }
  }
  if (ambient_) {
    if (auto raw = ambient_->sampleRaw()) {
      snap.ambLux = raw->lux;
      snap.ambNorm = raw->norm;
    }
    snap.ambAvailable = ambient_->isAvailable();
  }
  if (auto app = platform_.workspace.frontmostApplication()) {
    if (!app->bundleId.empty()) snap.appID = app->bundleId;
    if (!app->name.empty()) snap.appName = app->name;
  }
  if (loop_) {
    snap.autoOn = loop_->enabled();
    snap.bTarget = loop_->B_target();
    snap.bLoop = loop_->B_current();
  }
  return snap;
}

void AppDelegate::applicationWillTerminate() {
  if (sampler_) sampler_->stop();
  if (loop_) loop_->suppressWrites();
}

}  // namespace nuvlet
