#pragma once

#include <filesystem>

#include "nuvlet/learning/BrightnessModel.h"

namespace nuvlet {

// Draws the learned prior and every bucket's preferred level against luminance as a
// PNG: the prior as a line, each bucket as a dot at its band's centre whose area
// grows with its count. False when the file cannot be written.
bool plotModel(const BrightnessModel& model, const std::filesystem::path& png);

}  // namespace nuvlet
