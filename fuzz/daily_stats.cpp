// The daily statistics file: any file gives counts that can be read and added to,
// the new count is saved, and a damaged file is kept aside.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/records/DailyStats.h"

using namespace nuvlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // Mostly the present day; now and then any time at all.
  const double now = in.ConsumeBool() ? in.ConsumeFloatingPoint<double>()
                                      : 1796558400.0 + in.ConsumeIntegral<std::int32_t>();
  const std::string text = in.ConsumeRemainingBytesAsString();

  const auto dir = fuzz::freshScratch();
  const Paths paths = Paths::under(dir);
  fuzz::writeFile(paths.dailyStatsFile(), text);
  fuzz::FixedClock clock(now);

  DailyStats stats(paths, clock);
  FUZZ_CHECK(std::isfinite(stats.rollingAverage()));
  FUZZ_CHECK(std::isfinite(stats.baselineAverage()));
  const std::int64_t before = stats.todayCount();
  stats.recordManualAdjustment();
  const std::int64_t after = stats.todayCount();
  FUZZ_CHECK(after >= before);

  DailyStats reread(paths, clock, DailyStats::Access::ReadOnly);
  FUZZ_CHECK(reread.todayCount() == after);
  return 0;
}
