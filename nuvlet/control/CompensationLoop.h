#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// Keeps the light the built-in display emits steady: each sampler tick turns the
// slow screen luminance into a small backlight step towards what the learned model
// prefers, confined to a band around the level the user last chose by hand.
//
// Main thread only, no locks. Never fails: device failures are absorbed by the
// controller, records that cannot be written are dropped.
class CompensationLoop {
 public:
  static constexpr std::string_view kEnabledKey = "autoAdjustEnabled";
  // "Keep My Corrections": absent, or anything but a boolean, means off.
  static constexpr std::string_view kKeepCorrectionsKey = "keepCorrections";

  static constexpr double tau = 1.2;
  static constexpr double bandLow = 0.4;
  static constexpr double bandHigh = 1.6;
  static constexpr double kMinLuminance = 0.02;
  static constexpr double kFloor = 0.05;
  static constexpr double kCeiling = 1.0;
  static constexpr double kGainCap = 0.6;
  static constexpr double kWriteThreshold = 0.003;
  static constexpr double kLogThreshold = 0.05;
  static constexpr double kManualPause = 3.0;
  // A hardware level this far from the loop's own is a change made outside it.
  static constexpr double kOutsideChange = 0.03;
  // Kept corrections: the share of the user's offset from the model that carries to a
  // screen whose luminance is e times that of the correction's is exp(-1/reach), and
  // never less than the floor.
  static constexpr double kCorrectionReach = 1.5;
  static constexpr double kCorrectionCarriesAtLeast = 0.7;

  // Reads the enabled setting (without telling anyone) and the backlight once.
  CompensationLoop(BrightnessController& brightness, DailyStats& dailyStats,
                   AdjustmentLogger& logger, Defaults& defaults, const DisplayTopology& topology,
                   const Clock& clock);
  CompensationLoop(const CompensationLoop&) = delete;
  CompensationLoop& operator=(const CompensationLoop&) = delete;

  // The tick, for every sampler delivery. L_fast is accepted and not used.
  void onLuminanceUpdate(double L_slow, double L_fast);

  // The backlight was changed outside the loop (already written by the caller).
  // "scroll" and "system_key" count as the user's corrections; any source is logged.
  // A level that is not a finite number is ignored.
  void onManualChange(double B_after, std::string_view source);

  // The next tick re-anchors on the hardware instead of adjusting.
  void resetTarget();

  // From now on every tick is ignored; there is no way back.
  void suppressWrites() { terminating_ = true; }

  bool enabled() const { return enabled_; }
  // Every assignment stores the setting; true also re-anchors on the hardware. Then
  // onEnabledChange hears the value, changed or not.
  void setEnabled(bool enabled);

  // Off, a correction only moves the band: once the pause is over the loop walks back
  // to the model's own level inside it. On, a correction anchors the model on the
  // user's level: the loop holds that level while what the model looks at stays as it
  // was at the correction, and afterwards moves it by the model's ratio between now and
  // then (less of the user's offset as the screen's luminance departs from the
  // corrected one), inside the same band. Until the first correction after a fresh start both
  // modes are the same. The setting is stored on every assignment.
  bool keepsCorrections() const { return keepCorrections_; }
  void setKeepsCorrections(bool keep);

  const BrightnessModel& model() const { return model_; }
  // A new model also re-reads what it says of the moment of the last correction, so a
  // refit that learns the correction does not move the level the user set.
  void setModel(BrightnessModel model);

  double L_filtered() const { return L_filtered_; }
  double B_current() const { return B_current_; }
  // The level the hardware holds after the loop's own last write or anchor: B_current
  // rounded to the device's step. Only a reading away from this was made outside.
  double B_held() const { return B_held_; }
  double B_target() const { return B_target_; }
  double B_manual() const { return B_manual_; }
  // Monotonic seconds until which automatic writes pause.
  std::optional<double> manualOverrideUntil() const { return manualOverrideUntil_; }
  bool freshStart() const { return freshStart_; }
  // What the model prefers for the content, light and hour of the last correction
  // (kept corrections only); nothing before one, or while the loop has not yet seen
  // the content a correction on a black screen was meant for.
  std::optional<double> correctionReference() const { return reference_; }
  bool terminating() const { return terminating_; }

  // Installed by the application; each may be empty or answer nothing.
  std::function<std::optional<double>()> ambientProvider;
  std::function<std::optional<ContentSignature>()> signatureProvider;
  std::function<void(bool)> onEnabledChange;
  // Told after a correction by the user ("scroll" or "system_key") has been recorded.
  std::function<void()> onUserCorrection;

 private:
  // What a model lookup is asked with.
  struct Moment {
    double L = 0.5;
    ContentSignature sig;
    std::optional<double> ambient;
    int hour = 12;
  };

  // Takes the hardware level as both the belief and the anchor. A failed read
  // changes nothing: a backlight we cannot read is not a user who chose darkness.
  bool anchorOnHardware();
  // A fresh start forgets the last correction: the loop answers to the model alone.
  void forgetCorrection();
  void updateReference();
  // The level to aim at before the band: the model's own, or, for a kept correction,
  // the model's level moved by the user's offset from it at the correction, in full on
  // the same screen and less the further the screen's luminance has gone since.
  double aimFor(double target, const Moment& now) const;

  BrightnessController& brightness_;
  DailyStats& dailyStats_;
  AdjustmentLogger& logger_;
  Defaults& defaults_;
  const DisplayTopology& topology_;
  const Clock& clock_;

  BrightnessModel model_ = BrightnessModel::empty();
  bool enabled_ = false;
  double L_filtered_ = 0.5;
  double B_current_ = 0.5;
  double B_held_ = 0.5;
  double B_target_ = 0.5;
  double B_manual_ = 0.5;
  // The hardware level as the loop last knew it (read, or its own write): moving away
  // from it is a change made outside.
  double hardwareSeen_ = 0.5;
  std::optional<double> manualOverrideUntil_;
  std::optional<double> ambientAtLookup_;
  bool keepCorrections_ = false;
  // The moment of the last correction; `correctionPending_` while it waits for the
  // first tick that sees content (it was made on a screen the loop ignores).
  std::optional<Moment> correctionMoment_;
  bool correctionPending_ = false;
  std::optional<double> reference_;
  bool freshStart_ = true;
  bool terminating_ = false;
};

}  // namespace nuvlet
