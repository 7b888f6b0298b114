#pragma once

#include <cstddef>
#include <cstdint>

#include "nuvlet/learning/ContentBucket.h"

namespace nuvlet {

// What one record contributes to a fit: the level in effect and the bucket it falls
// in. Packed small because a history of years holds millions of them.
struct FitSample {
  double backlight = 0;
  std::uint16_t bucketKey = 0;

  friend bool operator==(const FitSample&, const FitSample&) = default;
};

// Buckets made by ContentBucket::from() hold small bins, so each maps to a dense key.
// lumBin is the most significant part: the keys of one luminance band are adjacent.
namespace bucket_key {

inline constexpr std::size_t kPerLumBin = 3 * 3 * 3 * 3 * 4 * 4;
inline constexpr std::size_t kCount = ContentBucket::lumBins * kPerLumBin;
static_assert(kCount <= 65536);

inline std::uint16_t encode(const ContentBucket& b) {
  std::int64_t k = b.lumBin;
  k = k * 3 + b.darkBin;
  k = k * 3 + b.brightBin;
  k = k * 3 + b.chromaBin;
  k = k * 3 + b.warmBin;
  k = k * 4 + b.todBin;
  k = k * 4 + (b.ambientBin ? *b.ambientBin + 1 : 0);
  return static_cast<std::uint16_t>(k);
}

inline ContentBucket decode(std::uint16_t key) {
  std::int64_t k = key;
  ContentBucket b;
  const std::int64_t amb = k % 4;
  k /= 4;
  if (amb > 0) b.ambientBin = amb - 1;
  b.todBin = k % 4;
  k /= 4;
  b.warmBin = k % 3;
  k /= 3;
  b.chromaBin = k % 3;
  k /= 3;
  b.brightBin = k % 3;
  k /= 3;
  b.darkBin = k % 3;
  b.lumBin = k / 3;
  return b;
}

inline std::size_t lumBinOf(std::uint16_t key) { return key / kPerLumBin; }

}  // namespace bucket_key
}  // namespace nuvlet
