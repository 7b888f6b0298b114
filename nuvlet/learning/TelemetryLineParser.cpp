#include "nuvlet/learning/TelemetryLineParser.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "nuvlet/platform/LocalTime.h"

namespace nuvlet {
namespace {

namespace od = simdjson::ondemand;
static_assert(TelemetryLineParser::kPadding >= simdjson::SIMDJSON_PADDING);

// RFC 8259 number grammar. Used for numbers the fitter does not read, where a full
// conversion would cost more than the check. `mayOverflow` tells when only a
// conversion can tell whether the value fits a double.
bool isJsonNumber(std::string_view s, bool& mayOverflow) {
  std::size_t i = 0, n = s.size();
  auto digit = [&](std::size_t k) { return k < n && s[k] >= '0' && s[k] <= '9'; };
  if (i < n && s[i] == '-') ++i;
  if (!digit(i)) return false;
  if (s[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  mayOverflow = i > 300;
  if (i < n && s[i] == '.') {
    ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    mayOverflow = true;
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == n;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// A member's name. Names without escapes (all the recorder writes) are read in place;
// the scanner has already checked that the string is closed and free of raw control
// characters.
bool readKey(od::field& field, std::string_view& key) {
  const char* start = field.key().raw();
  const char* p = start;
  while (*p != '"' && *p != '\\') ++p;
  if (*p == '"') {
    key = std::string_view(start, static_cast<std::size_t>(p - start));
    return true;
  }
  return !field.unescaped_key().get(key);
}

// Consumes a value the fitter does not use, checking that it is valid JSON.
bool skipValid(od::value& v, std::size_t depth) {
  od::json_type type;
  if (v.type().get(type)) return false;
  switch (type) {
    case od::json_type::object: {
      if (depth >= TelemetryLineParser::kMaxDepth) return false;
      od::object obj;
      if (v.get_object().get(obj)) return false;
      for (auto fieldResult : obj) {
        std::string_view key;
        if (fieldResult.error()) return false;
        od::field&& field = std::move(fieldResult).value_unsafe();
        if (!readKey(field, key) || !skipValid(field.value(), depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::array: {
      if (depth >= TelemetryLineParser::kMaxDepth) return false;
      od::array arr;
      if (v.get_array().get(arr)) return false;
      for (auto elementResult : arr) {
        if (elementResult.error()) return false;
        od::value&& element = std::move(elementResult).value_unsafe();
        if (!skipValid(element, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::number: {
      bool mayOverflow = false;
      if (!isJsonNumber(trimmed(v.raw_json_token()), mayOverflow)) return false;
      double d;
      return !mayOverflow || !v.get_double().get(d);
    }
    case od::json_type::string: {
      // Without a backslash there is nothing to unescape; the scanner has already
      // rejected raw control characters and unterminated strings. The string is still
      // consumed: a value left unread is skipped by bracket counting, which would let
      // stray characters after it (`"a":"b":}`) pass.
      const std::string_view raw = trimmed(v.raw_json_token());
      if (std::memchr(raw.data(), '\\', raw.size()) == nullptr) {
        od::raw_json_string consumed;
        return !v.get_raw_json_string().get(consumed);
      }
      std::string_view unescaped;
      return !v.get_string().get(unescaped);
    }
    case od::json_type::boolean: {
      bool b;
      return !v.get_bool().get(b);
    }
    case od::json_type::null: {
      bool isNull = false;
      return !v.is_null().get(isNull) && isNull;
    }
  }
  return false;
}

enum class Read { Ok, Absent, Damaged };

// simdjson 3.0 misreads a mantissa of more than 19 digits (its 64-bit accumulator
// wraps: 0.1844674407370955161652 reads as 5.2e-21). Such a number, which the program
// never writes but a damaged file may hold, is read again by the C++ library.
bool correctLongMantissa(std::string_view raw, double& value) {
  if (std::count_if(raw.begin(), raw.end(), [](char c) { return c >= '0' && c <= '9'; }) <= 19) {
    return true;
  }
  const auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), value);
  return ec == std::errc() && end == raw.data() + raw.size();
}

// A member the fitter reads as a number: its value when it is one, "absent" when it
// is valid JSON of another type.
Read readNumber(od::value& v, double& out) {
  od::json_type type;
  if (v.type().get(type)) return Read::Damaged;
  if (type != od::json_type::number) return skipValid(v, 1) ? Read::Absent : Read::Damaged;
  const std::string_view raw = trimmed(v.raw_json_token());
  if (v.get_double().get(out)) return Read::Damaged;
  return correctLongMantissa(raw, out) ? Read::Ok : Read::Damaged;
}

Read readBool(od::value& v, bool& out) {
  od::json_type type;
  if (v.type().get(type)) return Read::Damaged;
  if (type != od::json_type::boolean) return skipValid(v, 1) ? Read::Absent : Read::Damaged;
  return v.get_bool().get(out) ? Read::Damaged : Read::Ok;
}

// "hour" counts only as a whole number that fits a 64-bit integer (13 or 13.0).
Read readWholeNumber(od::value& v, std::int64_t& out) {
  od::json_type type;
  if (v.type().get(type)) return Read::Damaged;
  if (type != od::json_type::number) return skipValid(v, 1) ? Read::Absent : Read::Damaged;
  const std::string_view raw = trimmed(v.raw_json_token());
  od::number num;
  if (v.get_number().get(num)) return Read::Damaged;
  switch (num.get_number_type()) {
    case od::number_type::signed_integer:
      out = num.get_int64();
      return Read::Ok;
    case od::number_type::unsigned_integer:
      return Read::Absent;  // above the signed range
    case od::number_type::floating_point_number: {
      double d = num.get_double();
      if (!correctLongMantissa(raw, d)) return Read::Damaged;
      if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
        out = static_cast<std::int64_t>(d);
        return Read::Ok;
      }
      return Read::Absent;
    }
  }
  return Read::Absent;
}

struct Row {
  bool autoOn = false;
  bool ambAvail = false;
  bool hasLum = false, hasBrightness = false, hasAmbNorm = false, hasHour = false, hasT = false;
  double lum = 0, brightness = 0, dark = 0, bright = 0, chroma = 0, warm = 0, ambNorm = 0, t = 0;
  std::int64_t hour = 0;
};

// Reads one member into the row. Later duplicates of a member replace earlier ones,
// as in a dictionary.
bool readMember(std::string_view key, od::value& v, Row& row) {
  auto number = [&](double& value, bool* has) {
    double d = 0;
    Read r = readNumber(v, d);
    if (r == Read::Damaged) return false;
    value = r == Read::Ok ? d : 0;
    if (has != nullptr) *has = r == Read::Ok;
    return true;
  };
  auto boolean = [&](bool& value) {
    bool b = false;
    Read r = readBool(v, b);
    if (r == Read::Damaged) return false;
    value = r == Read::Ok && b;
    return true;
  };
  switch (key.size()) {
    case 1:
      if (key == "t") return number(row.t, &row.hasT);
      break;
    case 4:
      if (key == "hour") {
        std::int64_t h = 0;
        Read r = readWholeNumber(v, h);
        if (r == Read::Damaged) return false;
        row.hasHour = r == Read::Ok;
        row.hour = h;
        return true;
      }
      break;
    case 6:
      if (key == "chroma") return number(row.chroma, nullptr);
      break;
    case 7:
      if (key == "auto_on") return boolean(row.autoOn);
      break;
    case 8:
      if (key == "lum_slow") return number(row.lum, &row.hasLum);
      if (key == "sig_dark") return number(row.dark, nullptr);
      if (key == "amb_norm") return number(row.ambNorm, &row.hasAmbNorm);
      break;
    case 9:
      if (key == "warm_cool") return number(row.warm, nullptr);
      if (key == "amb_avail") return boolean(row.ambAvail);
      break;
    case 10:
      if (key == "brightness") return number(row.brightness, &row.hasBrightness);
      if (key == "sig_bright") return number(row.bright, nullptr);
      break;
    default:
      break;
  }
  return skipValid(v, 1);
}

int hourOf(const Row& row) {
  if (row.hasHour) {
    // Used without a range check; every hour outside 0-23 lands in the same (night)
    // bin, so clamping to -1 or 24 only keeps the conversion to int defined.
    return static_cast<int>(std::clamp<std::int64_t>(row.hour, -1, 24));
  }
  if (row.hasT) {
    const int h = localtime::hour(row.t);
    if (h >= 0) return h;
  }
  return 12;
}

}  // namespace

struct TelemetryLineParser::Impl {
  od::parser parser;
};

TelemetryLineParser::TelemetryLineParser() : impl_(std::make_unique<Impl>()) {}
TelemetryLineParser::~TelemetryLineParser() = default;

std::optional<FitSample> TelemetryLineParser::parse(const char* line, std::size_t length) {
  od::document doc;
  if (impl_->parser.iterate(line, length, length + kPadding).get(doc)) return std::nullopt;
  od::object obj;
  if (doc.get_object().get(obj)) return std::nullopt;
  Row row;
  for (auto fieldResult : obj) {
    std::string_view key;
    if (fieldResult.error()) return std::nullopt;
    od::field&& field = std::move(fieldResult).value_unsafe();
    if (!readKey(field, key) || !readMember(key, field.value(), row)) return std::nullopt;
    if (row.autoOn && key == "auto_on") {
      // Only a later "auto_on" could bring the row back, and that name cannot appear
      // without these bytes or an escape. Without either, the row is skipped whether
      // the rest is valid or not, so there is no need to read it.
      const char* rest = field.key().raw();
      const auto restSize = static_cast<std::size_t>(line + length - rest);
      const std::string_view after(rest + 8, restSize - 8);
      if (after.find("auto_on") == std::string_view::npos &&
          after.find('\\') == std::string_view::npos) {
        return std::nullopt;
      }
    }
  }
  // Past the object's closing brace there must be nothing but whitespace.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return std::nullopt;

  if (row.autoOn || !row.hasLum || !row.hasBrightness) return std::nullopt;
  const ContentSignature sig{row.dark, row.bright, row.lum, row.chroma, row.warm};
  std::optional<double> ambient;
  if (row.ambAvail && row.hasAmbNorm) ambient = row.ambNorm;
  const ContentBucket bucket = ContentBucket::from(row.lum, sig, ambient, hourOf(row));
  return FitSample{row.brightness, bucket_key::encode(bucket)};
}

}  // namespace nuvlet
