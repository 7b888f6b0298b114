#include "nuvlet/records/DailyStats.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>

#include "nuvlet/learning/ContentBucket.h"
#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/LocalTime.h"

namespace nuvlet {

DailyStats::DailyStats(const Paths& paths, const Clock& clock, Access access)
    : file_(paths.dailyStatsFile()), clock_(clock), access_(access) {
  if (access_ == Access::ReadWrite) files::ensureDirectory(file_.parent_path());
  auto text = files::readFile(file_, std::size_t{16} << 20);
  if (!text) {
    std::error_code ec;
    damaged_ = std::filesystem::exists(file_, ec);
    return;
  }
  auto j = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) {
    damaged_ = true;
    return;
  }
  std::map<std::string, std::int64_t> counts;
  for (const auto& [key, value] : j.items()) {
    auto count = jsonInteger(value);
    if (!count) {
      // One bad value spoils the whole file, as a strict decoder would see it.
      damaged_ = true;
      return;
    }
    counts[key] = *count;
  }
  countsByDay_ = std::move(counts);
}

void DailyStats::recordManualAdjustment(double unixSeconds) {
  auto key = localtime::dayKey(unixSeconds);
  if (!key) return;
  // A count read from a damaged file may already be at the limit.
  std::int64_t& count = countsByDay_[*key];
  if (count < std::numeric_limits<std::int64_t>::max()) ++count;
  save();
}

void DailyStats::save() {
  if (access_ == Access::ReadOnly) return;
  if (damaged_) {
    std::error_code ec;
    if (std::filesystem::exists(file_, ec) && !files::moveAside(file_, clock_.now())) return;
    damaged_ = false;
  }
  nlohmann::json j = nlohmann::json::object();
  for (const auto& [key, count] : countsByDay_) j[key] = count;
  files::writeAtomically(file_, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::vector<std::string> DailyStats::lastNDayKeys(int n) const {
  std::vector<std::string> keys;
  for (int offset = 0; offset > -n; --offset) {
    auto when = localtime::addDays(clock_.now(), offset);
    if (!when) continue;
    if (auto key = localtime::dayKey(*when)) keys.push_back(*key);
  }
  return keys;
}

double DailyStats::rollingAverage(int days) const {
  if (days < 1) return 0;
  // Summed as doubles: counts from a file can be anything, and no sum may overflow.
  double sum = 0;
  for (const auto& key : lastNDayKeys(days)) {
    if (auto it = countsByDay_.find(key); it != countsByDay_.end()) {
      sum += static_cast<double>(it->second);
    }
  }
  return sum / days;
}

double DailyStats::baselineAverage() const {
  if (countsByDay_.empty()) return 0;
  // std::map keeps the keys in text order, which is chronological for day keys.
  const std::size_t n = std::min<std::size_t>(countsByDay_.size(), 7);
  double sum = 0;
  auto it = countsByDay_.begin();
  for (std::size_t i = 0; i < n; ++i, ++it) sum += static_cast<double>(it->second);
  return sum / static_cast<double>(n);
}

std::int64_t DailyStats::todayCount() const {
  auto key = localtime::dayKey(clock_.now());
  if (!key) return 0;
  auto it = countsByDay_.find(*key);
  return it == countsByDay_.end() ? 0 : it->second;
}

}  // namespace nuvlet
