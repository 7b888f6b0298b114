#pragma once

namespace nuvlet {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the epoch of the
// time stamps stored in the model file.
inline constexpr double kReferenceDateOffset = 978307200.0;

// Where components read the time; nothing else reads the wall clock.
// Any thread may call either method; neither blocks or fails.
class Clock {
 public:
  virtual ~Clock() = default;

  // Wall-clock time in seconds since the Unix epoch (UTC), with fraction.
  virtual double now() const = 0;

  // Seconds on a clock that never jumps, from an arbitrary origin. Use it for
  // deadlines and intervals.
  virtual double monotonic() const = 0;
};

// The machine's clocks.
class SystemClock final : public Clock {
 public:
  double now() const override;
  double monotonic() const override;
};

}  // namespace nuvlet
