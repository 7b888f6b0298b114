#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nuvlet {

// How a backlight device is written; chosen once when the adapter starts.
enum class BacklightWritePath {
  None,    // cannot write: reads still work
  Sysfs,   // straight to the brightness file (it is writable for us)
  Logind,  // the login manager's SetBrightness on our session, over the system bus
  Memory,  // simulated
};

inline constexpr std::string_view writePathName(BacklightWritePath path) {
  switch (path) {
    case BacklightWritePath::Sysfs:
      return "sysfs";
    case BacklightWritePath::Logind:
      return "logind";
    case BacklightWritePath::Memory:
      return "memory";
    case BacklightWritePath::None:
      break;
  }
  return "none";
}

// What the adapter found and how it will use it, for `nuvlet devices`.
struct BacklightInfo {
  std::string name;  // the device's name; empty when there is none
  std::string kind;  // "firmware", "platform" or "raw" on Linux
  std::int64_t maxRaw = 0;
  BacklightWritePath writePath = BacklightWritePath::None;
  // One line of diagnosis: why there is no device or no way to write, or what the
  // last failed read or write said. Empty when all is well.
  std::string problem;
};

// The built-in display's backlight.
//
// Thread: main thread only. Blocking: a read is a small file read; a write may wait
// on the system bus, bounded by a timeout well under a second. Failure: read()
// yields nothing, write() returns false; the adapter keeps one line of diagnosis
// in info() and logs nothing.
class BacklightDevice {
 public:
  virtual ~BacklightDevice() = default;

  // The present level, 0 to 1.
  virtual std::optional<double> read() = 0;

  // Sets the level (0 to 1; the adapter rounds to its nearest step). A level outside
  // [0, 1] or not a number is refused.
  virtual bool write(double level) = 0;

  // The level a successful write of `level` leaves the hardware at: its nearest step.
  // A device with coarse steps reads back this, not what was asked. Continuous
  // devices, and a level that is not in [0, 1], give the level itself.
  virtual double nearestStep(double level) const { return level; }

  virtual BacklightInfo info() const = 0;
};

}  // namespace nuvlet
