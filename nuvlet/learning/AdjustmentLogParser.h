#pragma once

#include <optional>
#include <string_view>

#include "nuvlet/learning/FitSample.h"

namespace nuvlet::adjustment_log {

// Reading the adjustment log back for the fitter. Pure functions; any thread.

// A whole field as one number in the C library's syntax (strtod in the C locale):
// "+0.5", "0x1p-1" and "1e-3" parse; " 0.5", "0.5 " and "0.5x" do not.
std::optional<double> parseNumber(std::string_view field);

// Seconds since the Unix epoch of "2026-12-05T12:09:00Z", also with a fraction
// ("...:00.250Z") or a numeric offset ("...:00+01:00"). Nothing otherwise.
std::optional<double> parseTimestamp(std::string_view field);

// A line of the log (without its line feed) as the fitter learns from it: only
// "scroll" and "system_key" lines with a numeric, finite B_after and L_filtered. The
// content columns, when all readable, put it in the bucket it was made in.
std::optional<FitSample> parseLine(std::string_view line);

}  // namespace nuvlet::adjustment_log
