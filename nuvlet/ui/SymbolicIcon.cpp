#include "nuvlet/ui/SymbolicIcon.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace nuvlet::SymbolicIcon {
namespace {

// Fine enough that a host scaling it to 16-64 px sees smooth edges, coarse enough that
// the whole set stays a few hundred kilobytes.
constexpr int kRaster = 48;
// Coverage from which a traced pixel counts as inside.
constexpr int kInside = 128;
// What a host that recolours nothing draws: readable on light and dark panels alike.
constexpr const char* kNeutralGrey = "#bebebe";

int levelPercent(double level) {
  if (!std::isfinite(level)) level = 0;
  const double steps = std::round(std::clamp(level, 0.0, 1.0) * (100.0 / kLevelStepPercent));
  return static_cast<int>(steps) * kLevelStepPercent;
}

const char* styleName(IconStyle style) { return style == IconStyle::Pie ? "pie" : "curtain"; }

}  // namespace

std::string name(const IconImage& image) {
  char level[16];
  int percent = levelPercent(image.level);
  if (image.subject == IconImage::Subject::Volume) {
    if (image.muted) return "nuvlet-volume-muted-symbolic";
    // A volume just above silence is drawn unmuted; the set's quietest such icon is 5%.
    std::snprintf(level, sizeof level, "%03d", std::max(percent, kLevelStepPercent));
    return std::string("nuvlet-volume-") + styleName(image.style) + "-" + level + "-symbolic";
  }
  std::snprintf(level, sizeof level, "%03d", percent);
  const char* kind = image.displayKind == DisplayKind::BuiltIn ? "builtin" : "external";
  return std::string("nuvlet-brightness-") + kind + "-" + styleName(image.style) + "-" + level +
         "-symbolic";
}

std::vector<IconImage> all() {
  std::vector<IconImage> icons;
  for (IconStyle style : {IconStyle::Pie, IconStyle::Curtain}) {
    for (int p = 0; p <= 100; p += kLevelStepPercent) {
      const double level = p / 100.0;
      for (DisplayKind kind : {DisplayKind::BuiltIn, DisplayKind::External}) {
        icons.push_back(IconRenderer::brightnessImage(level, kind, style));
      }
      // A volume of 0 is drawn muted; the muted icon follows once, below.
      if (p > 0) icons.push_back(IconRenderer::volumeImage(level, false, style));
    }
  }
  icons.push_back(IconRenderer::volumeImage(0, true, IconStyle::Curtain));
  return icons;
}

std::string svg(const IconImage& image) {
  const Coverage coverage = image.rasterize(kRaster);
  std::string path;
  for (int y = 0; y < coverage.size; ++y) {
    for (int x = 0; x < coverage.size;) {
      if (coverage.at(x, y) < kInside) {
        ++x;
        continue;
      }
      int end = x;
      while (end < coverage.size && coverage.at(end, y) >= kInside) ++end;
      path += "M" + std::to_string(x) + " " + std::to_string(y) + "h" + std::to_string(end - x) +
              "v1h-" + std::to_string(end - x) + "z";
      x = end;
    }
  }
  const std::string side = std::to_string(kRaster);
  // Two recolouring rules meet in one file. GTK (and the shells built on its icon code)
  // renders a -symbolic icon under its own stylesheet that fills every path in the
  // panel's colour, overriding what the file says. Plasma instead rewrites the
  // stylesheet with this id and fills ColorScheme-Text shapes with currentColor; it
  // leaves a plain fill as it is. Any other host sees the neutral grey.
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\" viewBox=\"0 0 " +
         side + " " + side +
         "\">\n<style type=\"text/css\" id=\"current-color-scheme\">.ColorScheme-Text { color:" +
         kNeutralGrey +
         "; }</style>\n<path class=\"ColorScheme-Text\" style=\"fill:currentColor\" d=\"" + path +
         "\"/>\n</svg>\n";
}

std::string indexTheme() {
  return "[Icon Theme]\nName=Hicolor\nComment=Nuvlet's tray icons\nDirectories=scalable/status\n\n"
         "[scalable/status]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\nContext=Status\n";
}

}  // namespace nuvlet::SymbolicIcon
