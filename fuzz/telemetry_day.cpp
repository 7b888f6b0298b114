// A whole day file (and an adjustment log) through a fit: the fit never fails, learns
// one observation per row the line parser accepts, gives a model that can be saved,
// and gives the same model with or without a cache.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/learning/ModelFitter.h"
#include "nuvlet/learning/TelemetryLineParser.h"

using namespace nuvlet;

namespace {

// Whether text is UTF-8; a strict encoder refuses anything else.
bool validUtf8(std::string_view s) {
  try {
    (void)nlohmann::json(std::string(s)).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

std::int64_t acceptedRows(std::string_view text) {
  TelemetryLineParser parser;
  std::int64_t n = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::vector<char> line(end - start + TelemetryLineParser::kPadding, ' ');
    std::memcpy(line.data(), text.data() + start, end - start);
    if (end > start && parser.parse(line.data(), end - start)) ++n;
    start = end + 1;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string log = in.ConsumeRandomLengthString(1024);
  const std::string day = in.ConsumeRemainingBytesAsString();

  const auto dir = fuzz::freshScratch();
  const FitSources sources{dir / "telemetry", dir / "adjustments.csv"};
  fuzz::writeFile(sources.telemetryDir / "telemetry-2026-12-05.jsonl", day);
  fuzz::writeFile(sources.adjustmentLog, log);

  const double now = 1796558400.0;
  const FitResult plain = ModelFitter::fit(sources, now);
  FUZZ_CHECK(plain.model.encode().has_value());
  if (validUtf8(day)) {
    FUZZ_CHECK(plain.telemetryObservations == acceptedRows(day));
  } else {
    FUZZ_CHECK(plain.telemetryObservations == 0);
  }

  FitCache cache;
  const FitResult first = ModelFitter::fit(sources, now, &cache);
  const FitResult second = ModelFitter::fit(sources, now, &cache);
  FUZZ_CHECK(first.model == plain.model);
  FUZZ_CHECK(second.model == plain.model);
  FUZZ_CHECK(second.telemetryObservations == plain.telemetryObservations);
  FUZZ_CHECK(second.logObservations == plain.logObservations);
  return 0;
}
