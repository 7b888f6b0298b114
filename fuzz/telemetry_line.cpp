// One telemetry row as the fitter reads it. A row it learns from must be valid JSON
// as a strict reader sees it, and carry the level it was learned at; the quick reader
// and the general one give the same answer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/learning/TelemetryLineParser.h"

using namespace nuvlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TelemetryLineParser parser;
  // The padding the parser may read past the line holds bytes a row might start with.
  std::vector<char> line(size + TelemetryLineParser::kPadding, '{');
  std::memcpy(line.data(), data, size);
  auto sample = parser.parse(line.data(), size);
  // The quick reader and the general one agree on every line.
  FUZZ_CHECK(sample == parser.parseWithGeneralReader(line.data(), size));
  if (!sample) return 0;

  FUZZ_CHECK(sample->bucketKey < bucket_key::kCount);
  const auto j = nlohmann::json::parse(std::string_view(line.data(), size), nullptr, false);
  FUZZ_CHECK(j.is_object());
  const auto it = j.find("brightness");
  FUZZ_CHECK(it != j.end() && it->is_number());
  FUZZ_CHECK(it->get<double>() == sample->backlight);
  return 0;
}
