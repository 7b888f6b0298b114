#pragma once

#include <filesystem>
#include <optional>

#include "nuvlet/platform/StatusBar.h"

namespace nuvlet {

// Icons as PNG files, for reviewing glyphs by eye and comparing them with reference
// images. Neither call throws.

// Writes the pixmap as an RGBA PNG. False when the pixmap is malformed (its size does
// not match its pixels) or the file cannot be written.
bool writePng(const std::filesystem::path& file, const Pixmap& pixmap);

// Reads any PNG into straight-alpha ARGB. Nothing when the file is missing, not a
// PNG, damaged, or larger than 4096 pixels on a side.
std::optional<Pixmap> readPng(const std::filesystem::path& file);

}  // namespace nuvlet
