#pragma once

#include <cstdint>
#include <vector>

#include "nuvlet/platform/StatusBar.h"
#include "nuvlet/ui/DisplayKind.h"
#include "nuvlet/ui/IconStyle.h"

namespace nuvlet {

// A glyph rasterised at one pixel size: row-major coverage, top row first, 0 for
// transparent to 255 for solid. Only coverage counts; the colour is applied by tint().
struct Coverage {
  int size = 0;
  std::vector<std::uint8_t> alpha;

  std::uint8_t at(int x, int y) const {
    return alpha[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) +
                 static_cast<std::size_t>(x)];
  }
};

// One of the two tray glyphs, described rather than drawn, so that it can be
// rasterised sharply at whatever size a tray host asks for.
struct IconImage {
  enum class Subject { Brightness, Volume };

  Subject subject = Subject::Brightness;
  double level = 1.0;
  IconStyle style = IconStyle::Curtain;
  DisplayKind displayKind = DisplayKind::BuiltIn;  // brightness only
  bool muted = false;                              // volume only: the struck-through speaker

  // Draws the 18 x 18 point glyph into a square of `pixels` (1 to 1024; any other
  // size gives an empty coverage).
  Coverage rasterize(int pixels) const;

  bool operator==(const IconImage&) const = default;
};

// The coverage in one colour (0xRRGGBB), straight alpha.
Pixmap tint(const Coverage& coverage, std::uint32_t rgb);

namespace IconRenderer {

// The glyphs are designed on an 18 x 18 point canvas, y growing upwards.
inline constexpr double size = 18.0;

// A level indicator of the style with a laptop or monitor silhouette on top. Levels
// of 0.999 and more show the full disk; lower ones, including 0 and anything that is
// not a number, at least a 30-degree wedge.
IconImage brightnessImage(double level, DisplayKind displayKind, IconStyle style);

// A level indicator with a speaker on top, or the struck-through speaker alone when
// muted or when the level is at most 0.005.
IconImage volumeImage(double level, bool muted, IconStyle style);

}  // namespace IconRenderer

}  // namespace nuvlet
