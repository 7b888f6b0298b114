#include "nuvlet/learning/TelemetryLineParser.h"

#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
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

// Whether a member "auto_on" may follow in these bytes: they hold the name, or an
// escape that could spell it. One pass eight bytes at a time for a backslash or the
// pair "_o", which is rare in a row; the bytes past the end may be read (padding).
bool mayNameAutoOn(const char* p, std::size_t n) {
  if constexpr (std::endian::native != std::endian::little) {
    const std::string_view s(p, n);
    return s.find('\\') != std::string_view::npos || s.find("auto_on") != std::string_view::npos;
  } else {
    auto isName = [p, n](std::size_t at) {
      return at >= 4 && at + 3 <= n && std::memcmp(p + at - 4, "auto_on", 7) == 0;
    };
#if defined(__SSE2__)
    // Sixteen bytes at a time where every x86-64 processor can.
    const __m128i backslash = _mm_set1_epi8('\\'), underscore = _mm_set1_epi8('_'),
                  o = _mm_set1_epi8('o');
    for (std::size_t i = 0; i < n; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
      auto hits = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(x, backslash),
                       _mm_and_si128(_mm_cmpeq_epi8(x, underscore), _mm_cmpeq_epi8(next, o)))));
      for (; hits != 0; hits &= hits - 1) {
        const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(hits));
        if (at >= n) break;
        if (p[at] == '\\' || isName(at)) return true;
      }
    }
    return false;
#else
    constexpr std::uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
    auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    for (std::size_t i = 0; i < n; i += 8) {
      std::uint64_t x, next;
      std::memcpy(&x, p + i, sizeof x);
      std::memcpy(&next, p + i + 1, sizeof next);
      std::uint64_t hits =
          zero(x ^ (kOnes * '\\')) | (zero(x ^ (kOnes * '_')) & zero(next ^ (kOnes * 'o')));
      // A flag above the first true one may be false; each is checked on its own.
      while (hits != 0) {
        const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
        hits &= hits - 1;
        if (at >= n) break;
        if (p[at] == '\\' || isName(at)) return true;
      }
    }
    return false;
#endif
  }
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

// The members the fitter reads; Other for the rest.
enum class Member {
  Unknown,
  Other,
  T,
  Hour,
  Chroma,
  AutoOn,
  LumSlow,
  SigDark,
  AmbNorm,
  WarmCool,
  AmbAvail,
  Brightness,
  SigBright
};

// A name with its quotes as the first bytes of two 64-bit words, and which of their
// bytes count.
struct Known {
  std::string_view name;
  Member member;
  std::uint64_t pattern[2] = {0, 0};
  std::uint64_t mask[2] = {0, 0};

  constexpr Known(std::string_view n, Member m) : name(n), member(m) {
    const std::size_t size = n.size() + 2;
    for (std::size_t i = 0; i < size; ++i) {
      const char c = i == 0 || i + 1 == size ? '"' : n[i - 1];
      const std::uint64_t byte = static_cast<unsigned char>(c);
      const std::size_t shift =
          8 * (std::endian::native == std::endian::little ? i % 8 : 7 - i % 8);
      pattern[i / 8] |= byte << shift;
      mask[i / 8] |= std::uint64_t{0xFF} << shift;
    }
  }
};

// The recorder's order of members.
constexpr Known kRecorderOrder[] = {
    {"schema", Member::Other},
    {"ts", Member::Other},
    {"t", Member::T},
    {"trigger", Member::Other},
    {"brightness", Member::Brightness},
    {"amb_avail", Member::AmbAvail},
    {"builtin", Member::Other},
    {"display_id", Member::Other},
    {"auto_on", Member::AutoOn},
    {"hour", Member::Hour},
    {"weekday", Member::Other},
    {"event", Member::Other},
    {"source", Member::Other},
    {"b_before", Member::Other},
    {"b_after", Member::Other},
    {"lum_raw", Member::Other},
    {"lum_slow", Member::LumSlow},
    {"lum_fast", Member::Other},
    {"lum_grid", Member::Other},
    {"sig_dark", Member::SigDark},
    {"sig_bright", Member::SigBright},
    {"chroma", Member::Chroma},
    {"warm_cool", Member::WarmCool},
    {"amb_lux", Member::Other},
    {"amb_norm", Member::AmbNorm},
    {"app_id", Member::Other},
    {"app_name", Member::Other},
    {"b_target", Member::Other},
    {"b_loop", Member::Other},
};

// Reads the rows the recorder writes in one plain pass over the bytes: names and
// strings without escapes, numbers that convert exactly from at most 19 digits, a
// few levels of nesting. Whatever it is unsure of (anything else, and every kind of
// damage) goes to the general reader, so an unusual row is read more slowly but
// never differently. simdjson's structural index of the whole line, which the
// general reader needs first, cost more than this whole pass.
class QuickReader {
 public:
  enum class Outcome { Read, SkippedUnderAutomaticControl, Unsure };

  QuickReader(const char* line, std::size_t length) : p_(line), end_(line + length) {}

  Outcome read(Row& row) {
    skipSpace();
    if (!consume('{')) return Outcome::Unsure;
    skipSpace();
    if (!consume('}')) {
      std::size_t expected = 0;  // in kRecorderOrder
      for (;;) {
        Member m = expectedName(expected);
        if (m == Member::Unknown) {
          std::string_view key;
          if (!string(key)) return Outcome::Unsure;
          m = memberNamed(key);
        }
        skipSpace();
        if (!consume(':')) return Outcome::Unsure;
        skipSpace();
        if (!member(m, row)) return Outcome::Unsure;
        // As in the general reader: without a later "auto_on" or an escape that could
        // spell one, the row is skipped whatever follows.
        if (row.autoOn && m == Member::AutoOn) {
          if (!mayNameAutoOn(p_, static_cast<std::size_t>(end_ - p_))) {
            return Outcome::SkippedUnderAutomaticControl;
          }
        }
        skipSpace();
        if (consume(',')) {
          skipSpace();
          continue;
        }
        if (consume('}')) break;
        return Outcome::Unsure;
      }
    }
    skipSpace();
    return p_ == end_ ? Outcome::Read : Outcome::Unsure;
  }

 private:
  // Deeper nesting than a row has is left to the general reader and its limit.
  static constexpr std::size_t kMaxDepth = 32;

  struct Number {
    const char* integer = nullptr;
    std::size_t integerDigits = 0;
    const char* fraction = nullptr;
    std::size_t fractionDigits = 0;
    std::int64_t exponent = 0;
    bool negative = false;
    bool hasExponent = false;

    std::size_t digits() const { return integerDigits + fractionDigits; }
    std::int64_t powerOfTen() const { return exponent - static_cast<std::int64_t>(fractionDigits); }
  };

  static bool isDigit(char c) { return static_cast<unsigned>(c - '0') <= 9; }
  // Reads at the end of the line fall in its padding: harmless, as nothing there is
  // taken.
  void skipSpace() {
    if (static_cast<unsigned char>(*p_) > ' ') return;
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  bool consume(char c) {
    if (*p_ != c || p_ == end_) return false;
    ++p_;
    return true;
  }
  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return false;
    }
    p_ += word.size();
    return true;
  }
  // The digits from p_ on, eight bytes at a time like the strings.
  std::size_t digitRun() {
    const char* start = p_;
    for (;;) {
      std::size_t n;
      if constexpr (std::endian::native != std::endian::little) {
        for (n = 0; n < 8 && isDigit(p_[n]);) ++n;
      } else {
        std::uint64_t x;
        std::memcpy(&x, p_, sizeof x);
        // Digits become 0-9; a byte is flagged when it is 10 or more, and again the
        // lowest flag is exact.
        const std::uint64_t d = x ^ 0x3030303030303030;
        const std::uint64_t others = ((d + 0x7676767676767676) | d) & 0x8080808080808080;
        n = others == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(others)) / 8;
      }
      const auto left = static_cast<std::size_t>(end_ - p_);
      if (n >= left) {
        p_ = end_;
        break;
      }
      p_ += n;
      if (n < 8) break;
    }
    return static_cast<std::size_t>(p_ - start);
  }

  // Where among the eight bytes at p the first quote, backslash, control character or
  // byte outside ASCII is; 8 for none. Eight bytes at a time: the strings are most of
  // a row. The padding after the line makes the read safe.
  static std::size_t plainBytes(const char* p) {
    if constexpr (std::endian::native != std::endian::little) {
      for (std::size_t i = 0; i < 8; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return i;
      }
      return 8;
    } else {
      constexpr std::uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
      std::uint64_t x;
      std::memcpy(&x, p, sizeof x);
      // Each term flags the bytes it looks for, and at worst some bytes after the
      // first of them (a borrow runs upwards): the lowest flag is always exact.
      auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
      const std::uint64_t stops = zero(x ^ (kOnes * '"')) | zero(x ^ (kOnes * '\\')) |
                                  ((x - kOnes * 0x20) & ~x & kHighs) | (x & kHighs);
      return stops == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(stops)) / 8;
    }
  }

  bool string(std::string_view& out) {
    if (!consume('"')) return false;
    const char* start = p_;
    bool ascii = true;
    for (;;) {
      const std::size_t n = plainBytes(p_);
      p_ += n;
      if (p_ >= end_) return false;
      if (n == 8) continue;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c < 0x80) return false;  // an escape or a control character
      ascii = false;
      ++p_;
    }
    out = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return ascii || simdjson::validate_utf8(out.data(), out.size());
  }

  // The RFC 8259 number grammar.
  [[gnu::always_inline]] bool number(Number& n) {
    n.negative = consume('-');
    n.integer = p_;
    n.integerDigits = digitRun();
    if (n.integerDigits == 0 || (n.integerDigits > 1 && *n.integer == '0')) return false;
    if (consume('.')) {
      n.fraction = p_;
      n.fractionDigits = digitRun();
      if (n.fractionDigits == 0) return false;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      n.hasExponent = true;
      bool negative = false;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) negative = *p_++ == '-';
      // The general reader takes an exponent of twenty digits for damage, even
      // 1e-00000000000000000004: long ones are left to it.
      const char* digits = p_;
      const std::size_t count = digitRun();
      if (count == 0 || count > 4) return false;
      std::int64_t e = 0;
      for (; digits < p_; ++digits) e = e * 10 + (*digits - '0');
      n.exponent = negative ? -e : e;
    }
    return true;
  }

  // Whether the general reader takes a number it does not convert: it converts only
  // those that might not fit a double. Those left here are far inside the range.
  static bool plainlyFinite(const Number& n) {
    if (!n.hasExponent) return n.integerDigits <= 300;
    return n.digits() <= 19 && n.powerOfTen() >= -280 && n.powerOfTen() <= 280;
  }

  // Exact when the digits and the power of ten are both doubles: one correctly
  // rounded operation gives what any correct conversion gives.
  static bool exactDouble(const Number& n, double& out) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (n.digits() > 19) return false;
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < n.integerDigits; ++i) m = m * 10 + (n.integer[i] - '0');
    for (std::size_t i = 0; i < n.fractionDigits; ++i) m = m * 10 + (n.fraction[i] - '0');
    const std::int64_t e10 = n.powerOfTen();
    if (m > (std::uint64_t{1} << 53) || e10 < -22 || e10 > 22) return false;
    const auto d = static_cast<double>(m);
    const double v = e10 < 0 ? d / kPow10[-e10] : d * kPow10[e10];
    out = n.negative ? -v : v;
    return true;
  }

  bool value(std::size_t depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '"': {
        std::string_view s;
        return string(s);
      }
      case '{':
        return container(depth, '}', true);
      case '[':
        return container(depth, ']', false);
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default: {
        Number n;
        return number(n) && plainlyFinite(n);
      }
    }
  }

  bool container(std::size_t depth, char close, bool named) {
    if (depth >= kMaxDepth) return false;
    ++p_;
    skipSpace();
    if (consume(close)) return true;
    for (;;) {
      if (named) {
        std::string_view key;
        if (!string(key)) return false;
        skipSpace();
        if (!consume(':')) return false;
        skipSpace();
      }
      if (startsNumber()) {  // the grid's cells, without a call each
        Number n;
        if (!number(n) || !plainlyFinite(n)) return false;
      } else if (!value(depth + 1)) {
        return false;
      }
      skipSpace();
      if (!consume(',')) return consume(close);
      skipSpace();
    }
  }

  bool startsNumber() const { return p_ < end_ && (*p_ == '-' || isDigit(*p_)); }

  // A member read as a number: another type counts as absent, as in the general reader.
  bool numberMember(double& out, bool* has) {
    bool ok = true;
    if (startsNumber()) {
      Number n;
      if (!number(n) || !exactDouble(n, out)) return false;
    } else {
      if (!value(1)) return false;
      out = 0;
      ok = false;
    }
    if (has != nullptr) *has = ok;
    return true;
  }

  bool flagMember(bool& out) {
    if (literal("true")) {
      out = true;
    } else if (literal("false")) {
      out = false;
    } else {
      if (!value(1)) return false;
      out = false;
    }
    return true;
  }

  // Whole numbers only; a fraction or an exponent goes to the general reader.
  bool hourMember(Row& row) {
    if (!startsNumber()) {
      if (!value(1)) return false;
      row.hasHour = false;
      row.hour = 0;
      return true;
    }
    Number n;
    if (!number(n) || n.hasExponent || n.fractionDigits > 0 || n.integerDigits > 18) return false;
    std::int64_t h = 0;
    for (std::size_t i = 0; i < n.integerDigits; ++i) h = h * 10 + (n.integer[i] - '0');
    row.hasHour = true;
    row.hour = n.negative ? -h : h;
    return true;
  }

  Member memberNamed(std::string_view key) const {
    for (const auto& known : kRecorderOrder) {
      if (known.name == key) return known.member;
    }
    return Member::Other;
  }

  // The names the recorder writes come in its order, some left out: the next ones
  // expected are compared whole, eight bytes at a time, before any name is scanned.
  // On a match p_ is past the closing quote; Unknown when none matches.
  Member expectedName(std::size_t& expected) {
    const std::size_t last = std::min(expected + 5, std::size(kRecorderOrder));
    for (std::size_t k = expected; k < last; ++k) {
      const Known& known = kRecorderOrder[k];
      const std::size_t n = known.name.size() + 2;  // with its quotes
      if (static_cast<std::size_t>(end_ - p_) < n) continue;
      std::uint64_t a, b;
      std::memcpy(&a, p_, 8);
      std::memcpy(&b, p_ + 8, 8);
      if (((a ^ known.pattern[0]) & known.mask[0]) == 0 &&
          ((b ^ known.pattern[1]) & known.mask[1]) == 0) {
        p_ += n;
        expected = k + 1;
        return known.member;
      }
    }
    return Member::Unknown;
  }

  bool member(Member m, Row& row) {
    switch (m) {
      case Member::T:
        return numberMember(row.t, &row.hasT);
      case Member::Hour:
        return hourMember(row);
      case Member::Chroma:
        return numberMember(row.chroma, nullptr);
      case Member::AutoOn:
        return flagMember(row.autoOn);
      case Member::LumSlow:
        return numberMember(row.lum, &row.hasLum);
      case Member::SigDark:
        return numberMember(row.dark, nullptr);
      case Member::AmbNorm:
        return numberMember(row.ambNorm, &row.hasAmbNorm);
      case Member::WarmCool:
        return numberMember(row.warm, nullptr);
      case Member::AmbAvail:
        return flagMember(row.ambAvail);
      case Member::Brightness:
        return numberMember(row.brightness, &row.hasBrightness);
      case Member::SigBright:
        return numberMember(row.bright, nullptr);
      case Member::Other:
      case Member::Unknown:
        break;
    }
    // Most values are strings and numbers: read here, without the call.
    if (p_ < end_ && *p_ == '"') {
      std::string_view unused;
      return string(unused);
    }
    if (startsNumber()) {
      Number n;
      return number(n) && plainlyFinite(n);
    }
    return value(1);
  }

  const char* p_;
  const char* const end_;
};

std::optional<FitSample> sampleOf(const Row& row) {
  if (row.autoOn || !row.hasLum || !row.hasBrightness) return std::nullopt;
  const ContentSignature sig{row.dark, row.bright, row.lum, row.chroma, row.warm};
  std::optional<double> ambient;
  if (row.ambAvail && row.hasAmbNorm) ambient = row.ambNorm;
  const ContentBucket bucket = ContentBucket::from(row.lum, sig, ambient, hourOf(row));
  return FitSample{row.brightness, bucket_key::encode(bucket)};
}

}  // namespace

struct TelemetryLineParser::Impl {
  od::parser parser;
};

TelemetryLineParser::TelemetryLineParser() : impl_(std::make_unique<Impl>()) {}
TelemetryLineParser::~TelemetryLineParser() = default;

std::optional<FitSample> TelemetryLineParser::parse(const char* line, std::size_t length) {
  Row row;
  switch (QuickReader(line, length).read(row)) {
    case QuickReader::Outcome::Read:
      return sampleOf(row);
    case QuickReader::Outcome::SkippedUnderAutomaticControl:
      return std::nullopt;
    case QuickReader::Outcome::Unsure:
      break;
  }
  return parseWithGeneralReader(line, length);
}

std::optional<FitSample> TelemetryLineParser::parseWithGeneralReader(const char* line,
                                                                     std::size_t length) {
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
      if (!mayNameAutoOn(rest + 8, restSize - 8)) return std::nullopt;
    }
  }
  // Past the object's closing brace there must be nothing but whitespace.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return std::nullopt;
  return sampleOf(row);
}

}  // namespace nuvlet
