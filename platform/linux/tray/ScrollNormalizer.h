#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "nuvlet/platform/RunLoop.h"
#include "platform/linux/tray/TrayHostProcess.h"

namespace nuvlet::linux_platform {

// Turns the Scroll(delta, orientation) calls of tray hosts into the status item's
// units: one wheel notch is 10, scrolling down is positive.
//
// Hosts disagree. KDE passes Qt's angle delta, 120 per notch with + meaning up, and
// spells the orientation "Vertical"; the GNOME extension and the XFCE panel pass 1 per
// notch with + meaning down and spell it "vertical"; waybar passes 2 per notch. When the
// caller is a host we know, its own scale counts; otherwise the spelling of the
// orientation decides between KDE's scale and 1 per notch. Horizontal or unknown
// orientations and zero deltas are dropped.
//
// Touchpads send bursts of events, and some hosts round every one of them up to a
// whole notch. So the first event after a pause is passed on at once, and what
// arrives within the following kWindowSeconds is added up and passed on as one
// delta when the window ends, no more than kMaxUnitsPerWindow of it. That also
// bounds absurd deltas. A wheel turned by hand stays well below the bound.
//
// Thread: main thread; the windows are timers on `loop`. `deliver` may destroy the
// normalizer.
class ScrollNormalizer {
 public:
  static constexpr double kUnitsPerNotch = 10.0;
  static constexpr double kWindowSeconds = 0.05;
  static constexpr double kMaxUnitsPerWindow = 2 * kUnitsPerNotch;

  ScrollNormalizer(RunLoop& loop, std::function<void(double units)> deliver);
  ~ScrollNormalizer();
  ScrollNormalizer(const ScrollNormalizer&) = delete;
  ScrollNormalizer& operator=(const ScrollNormalizer&) = delete;

  // `host`: the caller, when it is a host we know.
  void scroll(std::int64_t delta, std::string_view orientation,
              const KnownTrayHost* host = nullptr);

  // One host event in units, before bursts are merged; nothing when it is dropped.
  static std::optional<double> units(std::int64_t delta, std::string_view orientation,
                                     const KnownTrayHost* host = nullptr);

 private:
  void windowEnded();

  RunLoop& loop_;
  std::function<void(double)> deliver_;
  RunLoop::TimerId window_ = 0;
  double pending_ = 0;
};

}  // namespace nuvlet::linux_platform
