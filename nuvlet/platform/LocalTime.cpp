#include "nuvlet/platform/LocalTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace nuvlet::localtime {
namespace {

std::optional<std::time_t> toTimeT(double unixSeconds) {
  if (!std::isfinite(unixSeconds)) return std::nullopt;
  double whole = std::floor(unixSeconds);
  // Keep years within four digits so every key has the documented form.
  constexpr double kLimit = 253402300799.0;  // 9999-12-31T23:59:59Z
  if (whole < -62135596800.0 || whole > kLimit) return std::nullopt;
  return static_cast<std::time_t>(whole);
}

std::optional<std::tm> local(double unixSeconds) {
  auto t = toTimeT(unixSeconds);
  if (!t) return std::nullopt;
  std::tm tm{};
  if (localtime_r(&*t, &tm) == nullptr) return std::nullopt;
  return tm;
}

}  // namespace

std::optional<std::string> dayKey(double unixSeconds) {
  auto tm = local(unixSeconds);
  if (!tm || tm->tm_year + 1900 < 1 || tm->tm_year + 1900 > 9999) return std::nullopt;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm->tm_year + 1900, tm->tm_mon + 1,
                tm->tm_mday);
  return std::string(buf);
}

int hour(double unixSeconds) {
  auto tm = local(unixSeconds);
  return tm ? tm->tm_hour : -1;
}

int weekday(double unixSeconds) {
  auto tm = local(unixSeconds);
  return tm ? tm->tm_wday + 1 : -1;
}

std::optional<double> addDays(double unixSeconds, int days) {
  auto tm = local(unixSeconds);
  if (!tm) return std::nullopt;
  double fraction = unixSeconds - std::floor(unixSeconds);
  tm->tm_mday += days;
  tm->tm_isdst = -1;
  std::time_t shifted = std::mktime(&*tm);
  if (shifted == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<double>(shifted) + fraction;
}

std::string isoUtc(double unixSeconds) {
  auto t = toTimeT(unixSeconds);
  std::tm tm{};
  if (!t || gmtime_r(&*t, &tm) == nullptr) return "1970-01-01T00:00:00Z";
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string isoUtcMillis(double unixSeconds) {
  // Rounded to the nearest millisecond, like the "t" member written beside it.
  auto t = toTimeT(std::floor(unixSeconds * 1000.0 + 0.5) / 1000.0);
  std::tm tm{};
  if (!t || gmtime_r(&*t, &tm) == nullptr) return "1970-01-01T00:00:00.000Z";
  const double totalMillis = std::floor(unixSeconds * 1000.0 + 0.5);
  int millis = static_cast<int>(totalMillis - static_cast<double>(*t) * 1000.0);
  millis = millis < 0 ? 0 : (millis > 999 ? 999 : millis);
  char buf[112];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return buf;
}

}  // namespace nuvlet::localtime
