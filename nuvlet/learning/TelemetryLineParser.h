#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "nuvlet/learning/FitSample.h"

namespace nuvlet {

// Turns one telemetry row into what the fitter learns from, or nothing when the row
// is not a JSON object, was recorded while automatic compensation was on, or lacks
// a numeric "lum_slow" or "brightness". The whole line must be valid JSON: a row
// with damage anywhere, even in a member the fitter does not read, is skipped.
//
// One parser per thread; it keeps its buffers between lines.
class TelemetryLineParser {
 public:
  // Bytes past the end of every line that must be readable (their values do not
  // matter): the parser reads in blocks.
  static constexpr std::size_t kPadding = 64;
  // Nesting deeper than any row needs is taken as damage.
  static constexpr std::size_t kMaxDepth = 512;

  TelemetryLineParser();
  ~TelemetryLineParser();
  TelemetryLineParser(const TelemetryLineParser&) = delete;
  TelemetryLineParser& operator=(const TelemetryLineParser&) = delete;

  // line[0, length) is the row without its line feed; line[length, length + kPadding)
  // must be readable.
  std::optional<FitSample> parse(const char* line, std::size_t length);

  // The same answer from the general JSON reader alone, which parse() leaves the
  // unusual rows to; for checking the two against each other.
  std::optional<FitSample> parseWithGeneralReader(const char* line, std::size_t length);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuvlet
