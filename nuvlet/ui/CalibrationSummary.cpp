#include "nuvlet/ui/CalibrationSummary.h"

#include <cinttypes>
#include <cstdio>

namespace nuvlet {

std::string topBucketLine(const ContentBucket& bucket, const BucketStat& stat) {
  std::string line;
  line.append(ContentBucket::lumLabel(bucket.lumBin)).append(" / ");
  line.append(ContentBucket::chromaLabel(bucket.chromaBin)).append(" / ");
  line.append(ContentBucket::warmLabel(bucket.warmBin)).append(", ");
  line.append(ContentBucket::todLabel(bucket.todBin));
  char tail[64];
  std::snprintf(tail, sizeof tail, ": B=%.2f (%" PRId64 ")", stat.preferredB, stat.count);
  return line + tail;
}

std::vector<std::string> calibrationSummary(const BrightnessModel* model, const DailyStats* stats) {
  std::vector<std::string> lines;
  const std::size_t buckets = model ? model->bucketCount() : 0;
  lines.push_back(std::to_string(buckets) + " content bucket" + (buckets == 1 ? "" : "s") +
                  " learned");
  if (model) {
    lines.push_back("Fit from " + std::to_string(model->observationCount) + " observations");
  }
  if (stats) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Last 7 days: %.1f adj/day (baseline %.1f)",
                  stats->rollingAverage(7), stats->baselineAverage());
    lines.emplace_back(buf);
    lines.push_back("Today: " + std::to_string(stats->todayCount()) +
                    " \u2022 days tracked: " + std::to_string(stats->daysRecorded()));
  }
  if (model) {
    auto top = model->topBuckets(5);
    if (!top.empty()) {
      lines.emplace_back();
      lines.emplace_back("Top learned content:");
      for (const auto& [bucket, stat] : top) lines.push_back("  " + topBucketLine(bucket, stat));
    }
  }
  return lines;
}

}  // namespace nuvlet
