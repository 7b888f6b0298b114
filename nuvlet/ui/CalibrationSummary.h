#pragma once

#include <string>
#include <vector>

#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/records/DailyStats.h"

namespace nuvlet {

// The informational lines of the calibration menu, which `nuvlet status` prints
// too. An empty string stands for a separator.
//
// model is absent when there is no compensation loop; stats when the daily
// statistics are not available.
std::vector<std::string> calibrationSummary(const BrightnessModel* model, const DailyStats* stats);

// "brighter / neutral / neutral, day: B=0.42 (12)", without the leading spaces.
std::string topBucketLine(const ContentBucket& bucket, const BucketStat& stat);

}  // namespace nuvlet
