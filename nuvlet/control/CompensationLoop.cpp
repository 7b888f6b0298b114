#include "nuvlet/control/CompensationLoop.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/platform/Log.h"

namespace nuvlet {

CompensationLoop::CompensationLoop(BrightnessController& brightness, DailyStats& dailyStats,
                                   AdjustmentLogger& logger, Defaults& defaults,
                                   const DisplayTopology& topology, const Clock& clock)
    : brightness_(brightness),
      dailyStats_(dailyStats),
      logger_(logger),
      defaults_(defaults),
      topology_(topology),
      clock_(clock) {
  enabled_ = defaults_.boolOr(kEnabledKey, false);
  if (const auto keep = defaults_.value(kKeepCorrectionsKey)) {
    if (keep->is_boolean()) {
      keepCorrections_ = keep->get<bool>();
    } else {
      log::info("the setting \"" + std::string(kKeepCorrectionsKey) +
                "\" is not true or false; corrections are not kept");
    }
  }
  anchorOnHardware();
}

void CompensationLoop::setKeepsCorrections(bool keep) {
  keepCorrections_ = keep;
  defaults_.setValue(kKeepCorrectionsKey, keep);
}

void CompensationLoop::setModel(BrightnessModel model) {
  model_ = std::move(model);
  updateReference();
}

void CompensationLoop::resetTarget() {
  freshStart_ = true;
  forgetCorrection();
}

void CompensationLoop::forgetCorrection() {
  correctionMoment_.reset();
  correctionPending_ = false;
  reference_.reset();
}

void CompensationLoop::updateReference() {
  reference_.reset();
  if (!correctionMoment_) return;
  const Moment& m = *correctionMoment_;
  reference_ = model_.preferredBacklight(m.L, m.sig, m.ambient, m.hour);
}

double CompensationLoop::aimFor(double target, const Moment& now) const {
  if (!keepCorrections_ || !reference_ || !correctionMoment_) return target;
  // A model that answers nothing usable, now or for the correction, has nothing to
  // say about how the level should move: the user's level stands.
  if (!std::isfinite(target) || !std::isfinite(*reference_)) return B_manual_;
  // Both as levels the loop could give: a reference of 0 (or below the floor) would
  // otherwise turn any later answer into a jump to the top of the band.
  const auto level = [](double b) { return std::clamp(b, kFloor, kCeiling); };
  // How far the user's level stood from the model's carries over in full to the screen
  // they corrected on, and only in part to a very different one: a page set darker than
  // the model wanted says little about a dark editor the model already has right.
  // A reference at the floor (a model that answered 0 or nothing there) gives no
  // measure of how far the model was off: the plain ratio, which the band limits.
  const double apart = std::abs(std::log(now.L / correctionMoment_->L));
  const double carried = *reference_ <= kFloor ? 1.0
                                               : std::max(kCorrectionCarriesAtLeast,
                                                          std::exp(-apart / kCorrectionReach));
  return level(target) * std::pow(B_manual_ / level(*reference_), carried);
}

bool CompensationLoop::anchorOnHardware() {
  const auto level = brightness_.read();
  if (!level) return false;
  B_current_ = *level;
  B_held_ = *level;
  hardwareSeen_ = *level;
  B_manual_ = *level;
  return true;
}

void CompensationLoop::setEnabled(bool enabled) {
  enabled_ = enabled;
  defaults_.setValue(kEnabledKey, enabled);
  if (enabled) {
    anchorOnHardware();
    freshStart_ = true;
    forgetCorrection();
  }
  if (onEnabledChange) onEnabledChange(enabled);
}

void CompensationLoop::onLuminanceUpdate(double L_slow, double /*L_fast*/) {
  if (terminating_) return;
  const double L = L_slow;
  L_filtered_ = L;
  if (freshStart_) {
    // Until the hardware can be read the loop has no anchor, so it keeps waiting.
    if (anchorOnHardware()) freshStart_ = false;
    return;
  }
  if (!enabled_) return;
  if (manualOverrideUntil_ && clock_.monotonic() < *manualOverrideUntil_) return;
  const auto main = topology_.mainDisplay();
  if (!main || !topology_.isBuiltIn(*main)) return;
  // Also false for NaN: a black screen, or no reading, never drives the backlight.
  if (!(L > kMinLuminance)) return;

  std::optional<ContentSignature> sig;
  if (signatureProvider) sig = signatureProvider();
  std::optional<double> ambient;
  if (ambientProvider) ambient = ambientProvider();
  ambientAtLookup_ = ambient;
  const int hour = localtime::hour(clock_.now());

  const Moment now{L, sig.value_or(ContentSignature::neutral(L)), ambient, hour};
  const double target = model_.preferredBacklight(now.L, now.sig, now.ambient, now.hour);
  B_target_ = target;
  if (correctionPending_) {
    // The correction was made on a screen the loop ignores: it was meant for what
    // comes next, which is here now.
    correctionMoment_ = now;
    correctionPending_ = false;
    reference_ = target;
  }

  const double lo = std::max(kFloor, B_manual_ * bandLow);
  const double hi = std::min(kCeiling, B_manual_ * bandHigh);
  // Below an anchor of 0.03125 the band is empty and its floor wins.
  const double wanted = std::max(lo, std::min(hi, aimFor(target, now)));

  constexpr double k0 = 0.1 / tau;
  const double delta = wanted - B_current_;
  const double gain = std::min(kGainCap, (1 + std::min(1.0, 4 * std::abs(delta))) * k0);
  const double next = std::max(kFloor, std::min(kCeiling, B_current_ + delta * gain));

  const double step = std::abs(next - B_current_);
  if (!(step > kWriteThreshold)) return;
  // A change made outside since the loop's last write (a brightness key the poll has
  // not seen yet) is the user's: writing over it would lose it before it is reported.
  if (const auto level = brightness_.read();
      level && std::abs(*level - hardwareSeen_) > kOutsideChange) {
    return;
  }
  const double before = B_current_;
  // The loop walks on its own unrounded level, or a coarse device would hold it on a
  // step; the step the hardware lands on is what an outside change is judged against.
  B_held_ = brightness_.set(next);
  hardwareSeen_ = B_held_;
  B_current_ = next;
  if (step > kLogThreshold) logger_.log("auto", before, next, L, target, {sig, ambient});
}

void CompensationLoop::onManualChange(double B_after, std::string_view source) {
  // A NaN anchor would turn the next tick's band and approach into a jump to full
  // brightness.
  if (!std::isfinite(B_after)) return;
  const double before = B_current_;
  double L = L_filtered_;
  const bool byUser = source == "scroll" || source == "system_key";
  if (byUser) dailyStats_.recordManualAdjustment(clock_.now());
  if (!(L > kMinLuminance)) L = kMinLuminance;
  B_current_ = B_after;
  B_held_ = B_after;
  B_manual_ = B_after;
  hardwareSeen_ = brightness_.read().value_or(B_after);
  manualOverrideUntil_ = clock_.monotonic() + kManualPause;
  // The content and light the user corrected for, so the fit can learn the correction
  // under the bucket a later tick will look up.
  // The ambient level is the one the model was last asked with: reading the provider
  // again would step its smoothing once more for every correction.
  AdjustmentLogger::Context context{std::nullopt, ambientAtLookup_};
  if (signatureProvider) context.signature = signatureProvider();
  if (L_filtered_ > kMinLuminance) {
    correctionMoment_ =
        Moment{L_filtered_, context.signature.value_or(ContentSignature::neutral(L_filtered_)),
               ambientAtLookup_, localtime::hour(clock_.now())};
    correctionPending_ = false;
    updateReference();
  } else {
    forgetCorrection();
    correctionPending_ = true;
  }
  logger_.log(source, before, B_after, L, B_target_, context);
  if (byUser && onUserCorrection) onUserCorrection();
}

}  // namespace nuvlet
