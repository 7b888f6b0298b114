#pragma once

#include <string>
#include <vector>

#include "nuvlet/ui/IconRenderer.h"

namespace nuvlet {

// The tray glyphs as a themed set of symbolic icons, for hosts that draw such icons in
// the panel's own text colour. The level is quantised to steps a person can tell apart,
// so the set stays small: it is generated at build time and installed with the program.
namespace SymbolicIcon {

inline constexpr int kLevelStepPercent = 5;
// The icon theme's folder below the program's data directory, and the icons' folder in it.
inline constexpr const char* kThemeFolder = "icons";
inline constexpr const char* kIconFolder = "hicolor/scalable/status";

// "nuvlet-brightness-builtin-curtain-050-symbolic", "nuvlet-volume-pie-035-symbolic",
// "nuvlet-volume-muted-symbolic": the name of the set's icon nearest to the image.
std::string name(const IconImage& image);

// Every icon of the set, each at a level the name stands for.
std::vector<IconImage> all();

// The icon as SVG: the glyph's coverage at a fine raster, traced into filled runs, so
// that a host recolouring symbolic icons sees plain filled shapes, marked for both the
// GTK and the Plasma way of recolouring.
std::string svg(const IconImage& image);

// The index.theme the host needs to take the folder for a theme.
std::string indexTheme();

}  // namespace SymbolicIcon

}  // namespace nuvlet
