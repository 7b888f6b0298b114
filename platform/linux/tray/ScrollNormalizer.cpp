#include "platform/linux/tray/ScrollNormalizer.h"

#include <algorithm>
#include <utility>

namespace nuvlet::linux_platform {
namespace {

// Qt's angle delta for one notch of a wheel.
constexpr double kAngleDeltaPerNotch = 120.0;

bool isVertical(std::string_view orientation) {
  constexpr std::string_view kVertical = "vertical";
  if (orientation.size() != kVertical.size()) return false;
  return std::equal(orientation.begin(), orientation.end(), kVertical.begin(),
                    [](char a, char b) { return (a | 0x20) == b; });
}

double bounded(double units) {
  return std::clamp(units, -ScrollNormalizer::kMaxUnitsPerWindow,
                    ScrollNormalizer::kMaxUnitsPerWindow);
}

}  // namespace

ScrollNormalizer::ScrollNormalizer(RunLoop& loop, std::function<void(double)> deliver)
    : loop_(loop), deliver_(std::move(deliver)) {}

ScrollNormalizer::~ScrollNormalizer() { loop_.cancel(window_); }

std::optional<double> ScrollNormalizer::units(std::int64_t delta, std::string_view orientation,
                                              const KnownTrayHost* host) {
  if (delta == 0 || !isVertical(orientation)) return std::nullopt;
  auto d = static_cast<double>(delta);
  if (host && host->deltaPerNotch > 0) {
    double down = host->positiveIsUp ? -d : d;
    return down / host->deltaPerNotch * kUnitsPerNotch;
  }
  // The capital letter is KDE's spelling, and KDE's sign points up.
  if (orientation[0] == 'V') return -d / kAngleDeltaPerNotch * kUnitsPerNotch;
  return d * kUnitsPerNotch;
}

void ScrollNormalizer::scroll(std::int64_t delta, std::string_view orientation,
                              const KnownTrayHost* host) {
  auto u = units(delta, orientation, host);
  if (!u) return;
  if (window_ != 0) {
    // Bounded here too, so a flood of huge deltas cannot overflow the sum.
    pending_ = std::clamp(pending_ + *u, -1e6, 1e6);
    return;
  }
  window_ = loop_.scheduleAfter(kWindowSeconds, [this] { windowEnded(); });
  std::function<void(double)> deliver = deliver_;
  deliver(bounded(*u));  // last: it may destroy this object
}

void ScrollNormalizer::windowEnded() {
  window_ = 0;
  double sum = pending_;
  pending_ = 0;
  if (sum == 0) return;  // nothing arrived, or a burst that cancelled itself out
  window_ = loop_.scheduleAfter(kWindowSeconds, [this] { windowEnded(); });
  std::function<void(double)> deliver = deliver_;
  deliver(bounded(sum));
}

}  // namespace nuvlet::linux_platform
