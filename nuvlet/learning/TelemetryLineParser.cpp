#include "nuvlet/learning/TelemetryLineParser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include <simdjson.h>

#include "nuvlet/platform/LocalTime.h"

namespace nuvlet {
namespace {

namespace od = simdjson::ondemand;
static_assert(TelemetryLineParser::kPadding >= simdjson::SIMDJSON_PADDING);

// RFC 8259 number grammar. Used for numbers the fitter does not read, where a full
// conversion would cost more than the check.
bool isJsonNumber(std::string_view s) {
  std::size_t i = 0, n = s.size();
  auto digit = [&](std::size_t k) { return k < n && s[k] >= '0' && s[k] <= '9'; };
  if (i < n && s[i] == '-') ++i;
  if (!digit(i)) return false;
  if (s[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  if (i < n && s[i] == '.') {
    ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == n;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' ||
                        s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// Consumes a value the fitter does not use, checking that it is valid JSON.
bool skipValid(od::value v, std::size_t depth) {
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
        od::field field = std::move(fieldResult).value_unsafe();
        if (field.unescaped_key().get(key)) return false;
        if (!skipValid(field.value(), depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::array: {
      if (depth >= TelemetryLineParser::kMaxDepth) return false;
      od::array arr;
      if (v.get_array().get(arr)) return false;
      for (auto elementResult : arr) {
        od::value element;
        if (elementResult.get(element) || !skipValid(element, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::number: {
      const std::string_view raw = trimmed(v.raw_json_token());
      if (!isJsonNumber(raw)) return false;
      // Only a long token or one with an exponent can fall outside a double.
      if (raw.size() <= 17 && raw.find_first_of("eE") == std::string_view::npos) return true;
      double d;
      return !v.get_double().get(d);
    }
    case od::json_type::string: {
      // Without a backslash there is nothing to unescape; the scanner has already
      // rejected raw control characters and unterminated strings.
      std::string_view raw = trimmed(v.raw_json_token());
      if (raw.find('\\') == std::string_view::npos) return true;
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

// A member the fitter reads as a number: its value when it is one, "absent" when it
// is valid JSON of another type.
Read readNumber(od::value v, double& out) {
  od::json_type type;
  if (v.type().get(type)) return Read::Damaged;
  if (type != od::json_type::number) return skipValid(v, 1) ? Read::Absent : Read::Damaged;
  return v.get_double().get(out) ? Read::Damaged : Read::Ok;
}

Read readBool(od::value v, bool& out) {
  od::json_type type;
  if (v.type().get(type)) return Read::Damaged;
  if (type != od::json_type::boolean) return skipValid(v, 1) ? Read::Absent : Read::Damaged;
  return v.get_bool().get(out) ? Read::Damaged : Read::Ok;
}

// "hour" counts only as a whole number that fits a 64-bit integer (13 or 13.0).
Read readWholeNumber(od::value v, std::int64_t& out) {
  od::json_type type;
  if (v.type().get(type)) return Read::Damaged;
  if (type != od::json_type::number) return skipValid(v, 1) ? Read::Absent : Read::Damaged;
  od::number num;
  if (v.get_number().get(num)) return Read::Damaged;
  switch (num.get_number_type()) {
    case od::number_type::signed_integer:
      out = num.get_int64();
      return Read::Ok;
    case od::number_type::unsigned_integer:
      return Read::Absent;  // above the signed range
    case od::number_type::floating_point_number: {
      const double d = num.get_double();
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
bool readMember(std::string_view key, od::value v, Row& row) {
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
  if (key == "lum_slow") return number(row.lum, &row.hasLum);
  if (key == "brightness") return number(row.brightness, &row.hasBrightness);
  if (key == "auto_on") return boolean(row.autoOn);
  if (key == "hour") {
    std::int64_t h = 0;
    Read r = readWholeNumber(v, h);
    if (r == Read::Damaged) return false;
    row.hasHour = r == Read::Ok;
    row.hour = h;
    return true;
  }
  if (key == "sig_dark") return number(row.dark, nullptr);
  if (key == "sig_bright") return number(row.bright, nullptr);
  if (key == "chroma") return number(row.chroma, nullptr);
  if (key == "warm_cool") return number(row.warm, nullptr);
  if (key == "amb_norm") return number(row.ambNorm, &row.hasAmbNorm);
  if (key == "amb_avail") return boolean(row.ambAvail);
  if (key == "t") return number(row.t, &row.hasT);
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
    od::field field = std::move(fieldResult).value_unsafe();
    if (field.unescaped_key().get(key)) return std::nullopt;
    if (!readMember(key, field.value(), row)) return std::nullopt;
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
