// One line of the adjustment log as the fitter reads it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/learning/AdjustmentLogParser.h"

using namespace nuvlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  if (auto sample = adjustment_log::parseLine(line)) {
    FUZZ_CHECK(std::isfinite(sample->backlight));
    FUZZ_CHECK(sample->bucketKey < bucket_key::kCount);
  }
  if (auto n = adjustment_log::parseNumber(line)) {
    // Not necessarily finite ("inf" is a number to strtod); never half a field.
    FUZZ_CHECK(!line.empty());
  }
  if (auto t = adjustment_log::parseTimestamp(line)) FUZZ_CHECK(std::isfinite(*t));
  return 0;
}
