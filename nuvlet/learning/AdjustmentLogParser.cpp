#include "nuvlet/learning/AdjustmentLogParser.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "nuvlet/platform/LocalTime.h"

namespace nuvlet::adjustment_log {
namespace {

locale_t cLocale() {
  static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Days from 1970-01-01 to a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}
  bool digits(int count, int& out) {
    out = 0;
    for (int i = 0; i < count; ++i) {
      if (pos_ >= s_.size() || s_[pos_] < '0' || s_[pos_] > '9') return false;
      out = out * 10 + (s_[pos_++] - '0');
    }
    return true;
  }
  bool literal(char c) {
    if (pos_ >= s_.size() || s_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  std::optional<char> peek() const {
    return pos_ < s_.size() ? std::optional<char>(s_[pos_]) : std::nullopt;
  }
  bool done() const { return pos_ == s_.size(); }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<double> parseNumber(std::string_view field) {
  if (field.empty() || isSpace(field.front())) return std::nullopt;
  // The common case, correctly rounded like strtod; anything it cannot take whole
  // (a leading '+', hex, out-of-range values) goes to strtod itself.
  double value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec == std::errc() && end == field.data() + field.size()) return value;
  const std::string copy(field);  // strtod needs the terminator; a NUL inside fails below
  char* stop = nullptr;
  value = ::strtod_l(copy.c_str(), &stop, cLocale());
  if (stop != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

std::optional<double> parseTimestamp(std::string_view field) {
  Cursor c(field);
  int year, month, day, hour, minute, second;
  if (!c.digits(4, year) || !c.literal('-') || !c.digits(2, month) || !c.literal('-') ||
      !c.digits(2, day) || !c.literal('T') || !c.digits(2, hour) || !c.literal(':') ||
      !c.digits(2, minute) || !c.literal(':') || !c.digits(2, second)) {
    return std::nullopt;
  }
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 ||
      day > kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && leapYear(year)) ||
      hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  double fraction = 0;
  if (c.literal('.')) {
    int digit = 0, count = 0;
    double scale = 0.1;
    while (c.peek() && *c.peek() >= '0' && *c.peek() <= '9') {
      c.digits(1, digit);
      fraction += digit * scale;
      scale /= 10;
      ++count;
    }
    if (count == 0) return std::nullopt;
  }
  int offset = 0;
  if (!c.literal('Z')) {
    const auto sign = c.peek();
    if (!sign || (*sign != '+' && *sign != '-')) return std::nullopt;
    c.literal(*sign);
    int oh, om;
    if (!c.digits(2, oh)) return std::nullopt;
    c.literal(':');
    if (!c.digits(2, om) || oh > 23 || om > 59) return std::nullopt;
    offset = (*sign == '+' ? 1 : -1) * (oh * 3600 + om * 60);
  }
  if (!c.done()) return std::nullopt;
  const std::int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - offset) + fraction;
}

std::optional<FitSample> parseLine(std::string_view line) {
  // The seven columns every line has, then the five of the content at the change.
  std::array<std::string_view, 12> fields;
  std::size_t count = 0, start = 0;
  while (count < fields.size()) {
    const std::size_t comma = line.find(',', start);
    fields[count++] =
        line.substr(start, comma == std::string_view::npos ? line.npos : comma - start);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (count < 5) return std::nullopt;
  if (fields[1] != "scroll" && fields[1] != "system_key") return std::nullopt;
  const auto backlight = parseNumber(fields[3]);
  const auto luminance = parseNumber(fields[4]);
  if (!backlight || !luminance) return std::nullopt;
  // Only a hand-edited log can hold "nan" or "inf" (strtod accepts both), and no
  // bucket or band can take them: such a line is skipped like an unparsable one.
  if (!std::isfinite(*backlight) || !std::isfinite(*luminance)) return std::nullopt;

  int hour = 12;
  if (auto t = parseTimestamp(fields[0])) {
    const int h = localtime::hour(*t);
    if (h >= 0) hour = h;
  }
  const auto finite = [&](std::size_t i) -> std::optional<double> {
    if (i >= count) return std::nullopt;
    auto v = parseNumber(fields[i]);
    return v && std::isfinite(*v) ? v : std::nullopt;
  };
  // A line from before the content columns, or with any of them unreadable, is
  // learned as the log always was: by its luminance alone.
  ContentSignature sig = ContentSignature::neutral(*luminance);
  const auto dark = finite(7), bright = finite(8), chroma = finite(9), warm = finite(10);
  if (dark && bright && chroma && warm) sig = {*dark, *bright, *luminance, *chroma, *warm};
  const ContentBucket bucket = ContentBucket::from(*luminance, sig, finite(11), hour);
  return FitSample{*backlight, bucket_key::encode(bucket)};
}

}  // namespace nuvlet::adjustment_log
