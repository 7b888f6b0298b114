#pragma once

#include "nuvlet/sensing/AreaAverager.h"
#include "nuvlet/sensing/FrameReducer.h"

namespace nuvlet {

// Luminance of whole frames, computed exactly on the processor: relative luminance
// 0.2126 R + 0.7152 G + 0.0722 B of the 8-bit device-RGB values over 255, without
// linearisation. Stateless; any thread.
namespace LuminanceReducer {

// What a missing frame reads as: mid-grey, which pushes nothing towards an extreme.
inline constexpr double kFallbackLuminance = 0.5;

// Mean luminance, 64 × 64 signature and 4 × 4 grid in one pass; an invalid frame
// gives each part's fallback.
FrameReduction reduce(const FrameView& frame);

// The mean luminance of exact channel totals; kFallbackLuminance when empty.
double meanLuminance(const AreaAverager::Sums& total);

}  // namespace LuminanceReducer
}  // namespace nuvlet
