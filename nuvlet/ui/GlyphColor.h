#pragma once

#include <cstdint>

#include "nuvlet/platform/ColorScheme.h"
#include "nuvlet/platform/Defaults.h"

namespace nuvlet {

// Tray icons are drawn in one colour that must stand out against the panel: a light
// glyph on a dark panel and a dark glyph on a light one.
enum class GlyphTone { Light, Dark };

// The setting "iconColor" decides: "light" or "dark" force a tone; "auto" (and an
// absent or unknown value) follows the desktop's scheme, where a dark scheme asks for
// a light glyph, a light scheme for a dark glyph, and no preference for a light glyph
// (most panels are dark).
GlyphTone glyphTone(const Defaults& defaults, const ColorScheme& scheme);

// The tone as 0xRRGGBB.
std::uint32_t glyphRgb(GlyphTone tone);

}  // namespace nuvlet
