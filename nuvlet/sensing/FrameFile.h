#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "nuvlet/platform/Frame.h"

namespace nuvlet {

// Loads a PNG or a binary PPM (P6) picture as a frame, for tools and tests that reduce
// screenshots. PNG of any colour type and depth is converted to 8-bit RGB; translucent
// pixels count as drawn over black. PPM with a maxval other than 255 is rescaled.
// Nothing when the file is missing, not a picture of either kind, damaged or truncated,
// or larger than 32767 pixels on a side.
std::optional<Frame> loadFrameFile(const std::filesystem::path& path);

// The same, from the bytes of a file.
std::optional<Frame> decodeFrame(std::string_view bytes);

}  // namespace nuvlet
