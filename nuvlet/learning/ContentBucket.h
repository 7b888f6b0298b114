#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// The discrete key of the learned model: one kind of content at one time of day,
// under one band of ambient light. Buckets made by from() hold the documented
// ranges; buckets read from a file are taken as they are.
struct ContentBucket {
  static constexpr std::int64_t lumBins = 8;
  static constexpr std::int64_t coarseBins = 3;
  static constexpr std::int64_t todBins = 4;
  static constexpr std::int64_t ambientBins = 3;

  std::int64_t lumBin = 0;     // 0-7, eighths of the mean luminance
  std::int64_t darkBin = 0;    // 0-2, thirds of the dark share
  std::int64_t brightBin = 0;  // 0-2, thirds of the bright share
  std::int64_t chromaBin = 0;  // 0 neutral, 1 tinted, 2 vivid
  std::int64_t warmBin = 0;    // 0 cool, 1 neutral, 2 warm
  std::int64_t todBin = 0;     // 0 morning, 1 day, 2 evening, 3 night
  std::optional<std::int64_t> ambientBin;  // thirds of the ambient level; none without a reading

  // Pure and allocation-free. Non-finite inputs never fail: NaN counts as 0 for
  // the luminance and the signature, an infinity lands in the outermost bin, and a
  // NaN ambient level counts as no reading at all.
  static ContentBucket from(double luminance, const ContentSignature& sig,
                            std::optional<double> ambient, int hour);
  static std::int64_t todBinFor(int hour);

  // Label words for the menu; "?" for a bin outside its table.
  static std::string_view lumLabel(std::int64_t bin);
  static std::string_view chromaLabel(std::int64_t bin);
  static std::string_view warmLabel(std::int64_t bin);
  static std::string_view todLabel(std::int64_t bin);

  nlohmann::ordered_json toJson() const;
  // Nothing unless the six integer members are present and integral; "ambientBin"
  // missing or null reads as no ambient bin.
  static std::optional<ContentBucket> fromJson(const nlohmann::json& j);

  friend bool operator==(const ContentBucket&, const ContentBucket&) = default;
};

struct ContentBucketHash {
  std::size_t operator()(const ContentBucket& b) const noexcept;
};

// Reads a JSON number that holds an integer (6 or 6.0, not 6.5); nothing otherwise.
std::optional<std::int64_t> jsonInteger(const nlohmann::json& j);

}  // namespace nuvlet
