#pragma once

#include <span>

#include "nuvlet/platform/Frame.h"
#include "nuvlet/sensing/AreaAverager.h"
#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// Content signatures of frames: the frame is box-averaged down to size × size 8-bit
// pixels, then their shares of dark and bright pixels, mean luminance and mean colour
// are taken. Stateless; any thread.
namespace HistogramReducer {

inline constexpr int kDefaultSize = 64;

// What a missing frame reads as: an all-black picture.
inline constexpr ContentSignature kFallback{1, 0, 0, 0, 0};

// kFallback for an invalid frame or a size outside 1 to 4096.
ContentSignature signature(const FrameView& frame, int size = kDefaultSize);

// The statistics of a small bitmap. Dark is luminance below 0.2 and bright above 0.8,
// compared exactly, so grey 51 and grey 204 are neither. kFallback when empty.
ContentSignature statistics(std::span<const Rgb8> pixels);

// statistics(averager.bitmap()) of a complete averager, to the last bit, without making
// the bitmap: on AVX2 eight cells are rounded at a time.
ContentSignature statistics(const AreaAverager& averager);

}  // namespace HistogramReducer
}  // namespace nuvlet
