#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"

namespace nuvlet {

// Counts the user's manual brightness corrections per local calendar day, kept in
// $XDG_DATA_HOME/nuvlet/dailystats.json as {"2026-12-05":3,...}.
//
// Main thread only. Never fails: an unreadable file starts an empty map (a damaged
// one is moved aside before the first save replaces it); a failed save keeps the
// counts in memory.
class DailyStats {
 public:
  enum class Access { ReadWrite, ReadOnly };

  // ReadOnly neither creates the directory nor ever writes (for reports).
  DailyStats(const Paths& paths, const Clock& clock, Access access = Access::ReadWrite);

  // Adds one correction to the day of `unixSeconds`, then saves the whole map.
  void recordManualAdjustment(double unixSeconds);
  void recordManualAdjustment() { recordManualAdjustment(clock_.now()); }

  // Mean corrections per day over today and the days-1 days before it; days
  // without a count are zero. 0 for days < 1.
  double rollingAverage(int days = 7) const;

  // Mean count of the earliest (at most seven) days that have a count; 0 without any.
  double baselineAverage() const;

  std::int64_t todayCount() const;
  std::int64_t daysRecorded() const { return static_cast<std::int64_t>(countsByDay_.size()); }

 private:
  std::vector<std::string> lastNDayKeys(int n) const;
  void save();

  std::filesystem::path file_;
  const Clock& clock_;
  Access access_;
  bool damaged_ = false;
  std::map<std::string, std::int64_t> countsByDay_;
};

}  // namespace nuvlet
