#pragma once

#include <optional>
#include <string>

namespace nuvlet::localtime {

// Calendar arithmetic in the C library's local time zone (TZ), so that a test can
// pin a zone. All times are seconds since the Unix epoch. Thread-safe.

// "yyyy-MM-dd" of the local calendar date; nothing for a time the C library
// cannot represent (not finite, or out of range).
std::optional<std::string> dayKey(double unixSeconds);

// Local hour of the day, 0 to 23; -1 for a time that cannot be represented.
int hour(double unixSeconds);

// Local weekday, 1 = Sunday to 7 = Saturday; -1 for a time that cannot be represented.
int weekday(double unixSeconds);

// The same local wall-clock time `days` calendar days later (negative: earlier),
// across daylight-saving changes. Nothing when it cannot be computed.
std::optional<double> addDays(double unixSeconds, int days);

// "2026-12-05T12:09:00Z": UTC, whole seconds (the fraction is dropped).
std::string isoUtc(double unixSeconds);

// "2026-12-05T12:09:00.250Z": UTC, rounded to the nearest millisecond.
std::string isoUtcMillis(double unixSeconds);

}  // namespace nuvlet::localtime
