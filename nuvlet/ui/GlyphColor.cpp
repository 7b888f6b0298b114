#include "nuvlet/ui/GlyphColor.h"

#include <string>

namespace nuvlet {

GlyphTone glyphTone(const Defaults& defaults, const ColorScheme& scheme) {
  const std::string choice = defaults.stringOr("iconColor", "auto");
  if (choice == "light") return GlyphTone::Light;
  if (choice == "dark") return GlyphTone::Dark;
  return scheme.preference() == ColorScheme::Preference::Light ? GlyphTone::Dark : GlyphTone::Light;
}

std::uint32_t glyphRgb(GlyphTone tone) { return tone == GlyphTone::Light ? 0xFFFFFF : 0x1C1C1C; }

}  // namespace nuvlet
