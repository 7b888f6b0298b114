#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "nuvlet/learning/ContentBucket.h"
#include "nuvlet/learning/LuminancePrior.h"
#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// What the user prefers in one bucket: the median of its observations.
struct BucketStat {
  double preferredB = 0;
  std::int64_t count = 0;

  friend bool operator==(const BucketStat&, const BucketStat&) = default;
};

// The learned model. A value: built whole by the fitter, replaced whole, never
// changed in place while in use.
struct BrightnessModel {
  using Table = std::unordered_map<ContentBucket, BucketStat, ContentBucketHash>;

  // The observation count at which a bucket's own value is trusted fully.
  static constexpr std::int64_t fullConfidence = 8;
  // fittedAt of the empty model: 0001-01-01 00:00:00 UTC.
  static constexpr double kDistantPast = -63114076800.0;

  Table table;
  LuminancePrior prior;
  double fittedAt = kDistantPast;  // seconds since 2001-01-01 00:00:00 UTC
  std::int64_t observationCount = 0;

  static BrightnessModel empty();

  // The backlight the user is expected to want, 0.05 to 1: the bucket's own value
  // blended with its neighbours and the prior by evidence, no more than 0.12 below
  // the prior. Main thread, ten times a second: no allocation.
  double preferredBacklight(double luminance, const ContentSignature& sig,
                            std::optional<double> ambient, int hour) const;

  std::size_t bucketCount() const { return table.size(); }

  // The best-backed entries, highest count first; ties keep table order.
  std::vector<std::pair<ContentBucket, BucketStat>> topBuckets(std::size_t limit) const;

  // Writes the model file atomically (mode 0600, parent directories 0700). Writes
  // nothing, leaving any old file, when a value is not finite or anything fails.
  bool save(const std::filesystem::path& file) const;

  // Nothing when the file is missing, unreadable, not JSON or not a whole model.
  static std::optional<BrightnessModel> load(const std::filesystem::path& file);

  // The file's JSON text; nothing when a value is not finite.
  std::optional<std::string> encode() const;
  static std::optional<BrightnessModel> decode(std::string_view text);

  friend bool operator==(const BrightnessModel&, const BrightnessModel&) = default;

 private:
  std::optional<double> neighbourEstimate(const ContentBucket& bucket) const;
};

}  // namespace nuvlet
