#include "nuvlet/learning/ContentBucket.h"

#include <array>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace nuvlet {
namespace {

// clamp(truncate(x * bins), 0, bins - 1), defined for every double.
std::int64_t fractionBin(double x, std::int64_t bins) {
  if (std::isnan(x)) return 0;
  double scaled = x * static_cast<double>(bins);
  if (!(scaled < static_cast<double>(bins))) return bins - 1;  // also +inf
  if (!(scaled > 0)) return 0;                                 // also -inf
  return static_cast<std::int64_t>(scaled);
}

double finiteOrZero(double x) { return std::isnan(x) ? 0.0 : x; }

template <std::size_t N>
std::string_view label(const std::array<std::string_view, N>& table, std::int64_t bin) {
  if (bin < 0 || bin >= static_cast<std::int64_t>(N)) return "?";
  return table[static_cast<std::size_t>(bin)];
}

constexpr std::array<std::string_view, 8> kLumLabels = {
    "darkest", "darker", "dark", "dim", "mid", "bright", "brighter", "brightest"};
constexpr std::array<std::string_view, 3> kChromaLabels = {"neutral", "tinted", "vivid"};
constexpr std::array<std::string_view, 3> kWarmLabels = {"cool", "neutral", "warm"};
constexpr std::array<std::string_view, 4> kTodLabels = {"morning", "day", "evening", "night"};

}  // namespace

ContentBucket ContentBucket::from(double luminance, const ContentSignature& sig,
                                  std::optional<double> ambient, int hour) {
  ContentBucket b;
  b.lumBin = fractionBin(luminance, lumBins);
  b.darkBin = fractionBin(sig.pctDark, coarseBins);
  b.brightBin = fractionBin(sig.pctBright, coarseBins);
  const double chroma = finiteOrZero(sig.chroma);
  b.chromaBin = chroma < 0.06 ? 0 : (chroma < 0.18 ? 1 : 2);
  const double warm = finiteOrZero(sig.warmCool);
  b.warmBin = warm < -0.04 ? 0 : (warm <= 0.04 ? 1 : 2);
  b.todBin = todBinFor(hour);
  if (ambient && !std::isnan(*ambient)) b.ambientBin = fractionBin(*ambient, ambientBins);
  return b;
}

std::int64_t ContentBucket::todBinFor(int hour) {
  if (hour >= 5 && hour <= 10) return 0;
  if (hour >= 11 && hour <= 16) return 1;
  if (hour >= 17 && hour <= 21) return 2;
  return 3;
}

std::string_view ContentBucket::lumLabel(std::int64_t bin) { return label(kLumLabels, bin); }
std::string_view ContentBucket::chromaLabel(std::int64_t bin) { return label(kChromaLabels, bin); }
std::string_view ContentBucket::warmLabel(std::int64_t bin) { return label(kWarmLabels, bin); }
std::string_view ContentBucket::todLabel(std::int64_t bin) { return label(kTodLabels, bin); }

nlohmann::ordered_json ContentBucket::toJson() const {
  nlohmann::ordered_json j = {{"lumBin", lumBin},       {"darkBin", darkBin},
                              {"brightBin", brightBin}, {"chromaBin", chromaBin},
                              {"warmBin", warmBin},     {"todBin", todBin}};
  if (ambientBin) j["ambientBin"] = *ambientBin;
  return j;
}

std::optional<std::int64_t> jsonInteger(const nlohmann::json& j) {
  if (j.is_number_integer()) {
    if (j.is_number_unsigned() &&
        j.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return j.get<std::int64_t>();
  }
  if (j.is_number_float()) {
    double d = j.get<double>();
    // 2^63 is the first double past the int64 range.
    if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::optional<ContentBucket> ContentBucket::fromJson(const nlohmann::json& j) {
  if (!j.is_object()) return std::nullopt;
  auto member = [&](const char* name) -> std::optional<std::int64_t> {
    auto it = j.find(name);
    if (it == j.end()) return std::nullopt;
    return jsonInteger(*it);
  };
  auto lum = member("lumBin"), dark = member("darkBin"), bright = member("brightBin"),
       chroma = member("chromaBin"), warm = member("warmBin"), tod = member("todBin");
  if (!lum || !dark || !bright || !chroma || !warm || !tod) return std::nullopt;
  ContentBucket b{*lum, *dark, *bright, *chroma, *warm, *tod, std::nullopt};
  if (auto it = j.find("ambientBin"); it != j.end() && !it->is_null()) {
    b.ambientBin = jsonInteger(*it);
    if (!b.ambientBin) return std::nullopt;
  }
  return b;
}

std::size_t ContentBucketHash::operator()(const ContentBucket& b) const noexcept {
  // FNV-1a style mixing over the fields in order; cheap, since a lookup hashes up to
  // seventeen buckets.
  std::uint64_t h = 1469598103934665603ULL;
  auto mix = [&h](std::uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  };
  mix(static_cast<std::uint64_t>(b.lumBin));
  mix(static_cast<std::uint64_t>(b.darkBin));
  mix(static_cast<std::uint64_t>(b.brightBin));
  mix(static_cast<std::uint64_t>(b.chromaBin));
  mix(static_cast<std::uint64_t>(b.warmBin));
  mix(static_cast<std::uint64_t>(b.todBin));
  mix(b.ambientBin ? 1 : 0);
  if (b.ambientBin) mix(static_cast<std::uint64_t>(*b.ambientBin));
  return static_cast<std::size_t>(h);
}

}  // namespace nuvlet
