#include "nuvlet/learning/BrightnessModel.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <nlohmann/json.hpp>

#include "nuvlet/platform/Files.h"

namespace nuvlet {

BrightnessModel BrightnessModel::empty() {
  BrightnessModel model;
  model.prior = LuminancePrior::defaultRamp();
  return model;
}

double BrightnessModel::preferredBacklight(double luminance, const ContentSignature& sig,
                                           std::optional<double> ambient, int hour) const {
  const ContentBucket bucket = ContentBucket::from(luminance, sig, ambient, hour);
  const double prior_ = prior.backlight(luminance);
  double r;
  if (auto it = table.find(bucket); it != table.end()) {
    const BucketStat& stat = it->second;
    if (stat.count >= fullConfidence) {
      r = stat.preferredB;
    } else {
      const double w = static_cast<double>(stat.count) / static_cast<double>(fullConfidence);
      r = stat.preferredB * w + (1 - w) * neighbourEstimate(bucket).value_or(prior_);
    }
  } else {
    r = neighbourEstimate(bucket).value_or(prior_);
  }
  if (r <= prior_ - 0.12) r = prior_ - 0.12;
  if (std::isnan(r)) return 0.05;
  return std::min(std::max(r, 0.05), 1.0);
}

std::optional<double> BrightnessModel::neighbourEstimate(const ContentBucket& bucket) const {
  struct Candidate {
    ContentBucket bucket;
    double distance;
  };
  std::array<Candidate, 16> candidates{};
  std::size_t n = 0;
  auto consider = [&](std::int64_t ContentBucket::*field, std::int64_t delta, std::int64_t bins,
                      double distance) {
    const std::int64_t v = bucket.*field + delta;
    if (v < 0 || v >= bins) return;
    Candidate c{bucket, distance};
    c.bucket.*field = v;
    candidates[n++] = c;
  };
  for (std::int64_t d : {-2, -1, 1, 2}) {
    consider(&ContentBucket::lumBin, d, ContentBucket::lumBins, static_cast<double>(d < 0 ? -d : d));
  }
  for (auto field : {&ContentBucket::darkBin, &ContentBucket::brightBin,
                     &ContentBucket::chromaBin, &ContentBucket::warmBin}) {
    consider(field, -1, ContentBucket::coarseBins, 1);
    consider(field, +1, ContentBucket::coarseBins, 1);
  }
  consider(&ContentBucket::todBin, -1, ContentBucket::todBins, 1);
  consider(&ContentBucket::todBin, +1, ContentBucket::todBins, 1);
  if (bucket.ambientBin) {
    for (std::int64_t d : {-1, 1}) {
      const std::int64_t v = *bucket.ambientBin + d;
      if (v < 0 || v >= ContentBucket::ambientBins || n >= candidates.size()) continue;
      Candidate c{bucket, 1};
      c.bucket.ambientBin = v;
      candidates[n++] = c;
    }
  }
  if (n == 0) return std::nullopt;

  double weightSum = 0, valueSum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    auto it = table.find(candidates[i].bucket);
    if (it == table.end() || it->second.count <= 0) continue;
    const double confidence = std::min(
        static_cast<double>(it->second.count) / static_cast<double>(fullConfidence), 1.0);
    const double w = (1 / candidates[i].distance) * confidence;
    weightSum += w;
    valueSum += it->second.preferredB * w;
  }
  if (!(weightSum > 0)) return std::nullopt;
  return valueSum / weightSum;
}

std::vector<std::pair<ContentBucket, BucketStat>> BrightnessModel::topBuckets(
    std::size_t limit) const {
  std::vector<std::pair<ContentBucket, BucketStat>> entries(table.begin(), table.end());
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.second.count > b.second.count;
  });
  entries.resize(std::min(limit, entries.size()));
  return entries;
}

std::optional<std::string> BrightnessModel::encode() const {
  if (!std::isfinite(fittedAt)) return std::nullopt;
  nlohmann::ordered_json tableJson = nlohmann::ordered_json::array();
  for (const auto& [bucket, stat] : table) {
    if (!std::isfinite(stat.preferredB)) return std::nullopt;
    tableJson.push_back(bucket.toJson());
    tableJson.push_back({{"preferredB", stat.preferredB}, {"count", stat.count}});
  }
  for (double b : prior.bByLumBin) {
    if (!std::isfinite(b)) return std::nullopt;
  }
  nlohmann::ordered_json j = {{"table", std::move(tableJson)},
                              {"prior", {{"bByLumBin", prior.bByLumBin}}},
                              {"fittedAt", fittedAt},
                              {"observationCount", observationCount}};
  return j.dump();
}

std::optional<BrightnessModel> BrightnessModel::decode(std::string_view text) {
  // Invalid UTF-8, malformed JSON and over-deep nesting all end up as "discarded".
  nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  auto tableIt = j.find("table"), priorIt = j.find("prior"), fittedIt = j.find("fittedAt"),
       countIt = j.find("observationCount");
  if (tableIt == j.end() || priorIt == j.end() || fittedIt == j.end() || countIt == j.end()) {
    return std::nullopt;
  }
  if (!tableIt->is_array() || tableIt->size() % 2 != 0 || !priorIt->is_object() ||
      !fittedIt->is_number()) {
    return std::nullopt;
  }
  BrightnessModel model;
  auto count = jsonInteger(*countIt);
  if (!count) return std::nullopt;
  model.observationCount = *count;
  model.fittedAt = fittedIt->get<double>();
  // JSON has no infinities, but an out-of-range literal such as 1e999 parses as one.
  if (!std::isfinite(model.fittedAt)) return std::nullopt;

  auto rampIt = priorIt->find("bByLumBin");
  if (rampIt == priorIt->end() || !rampIt->is_array()) return std::nullopt;
  for (const auto& b : *rampIt) {
    if (!b.is_number() || !std::isfinite(b.get<double>())) return std::nullopt;
    model.prior.bByLumBin.push_back(b.get<double>());
  }

  for (std::size_t i = 0; i < tableIt->size(); i += 2) {
    auto bucket = ContentBucket::fromJson((*tableIt)[i]);
    const auto& statJson = (*tableIt)[i + 1];
    if (!bucket || !statJson.is_object()) return std::nullopt;
    auto preferredIt = statJson.find("preferredB"), statCountIt = statJson.find("count");
    if (preferredIt == statJson.end() || !preferredIt->is_number() ||
        !std::isfinite(preferredIt->get<double>()) || statCountIt == statJson.end()) {
      return std::nullopt;
    }
    auto statCount = jsonInteger(*statCountIt);
    if (!statCount) return std::nullopt;
    // A key that appears twice: the later entry wins.
    model.table[*bucket] = BucketStat{preferredIt->get<double>(), *statCount};
  }
  return model;
}

bool BrightnessModel::save(const std::filesystem::path& file) const {
  auto text = encode();
  if (!text) return false;
  files::ensureDirectory(file.parent_path());
  return files::writeAtomically(file, *text);
}

std::optional<BrightnessModel> BrightnessModel::load(const std::filesystem::path& file) {
  auto text = files::readFile(file);
  if (!text) return std::nullopt;
  return decode(*text);
}

}  // namespace nuvlet
