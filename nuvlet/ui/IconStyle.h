#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "nuvlet/platform/Defaults.h"

namespace nuvlet {

// The level indicator both glyphs use: a pie wedge growing counter-clockwise from
// twelve o'clock, or a curtain opening symmetrically about six o'clock.
enum class IconStyle { Pie, Curtain };

// In the order the Icon Style submenu lists them.
inline constexpr std::array<IconStyle, 2> allIconStyles{IconStyle::Pie, IconStyle::Curtain};

// "pie", "curtain": the value stored under "iconStyle".
std::string_view rawValue(IconStyle style);
// "Pie", "Curtain".
std::string_view displayName(IconStyle style);
// Exactly "pie" or "curtain"; anything else is nothing.
std::optional<IconStyle> iconStyleFromRawValue(std::string_view raw);

// The user's choice under "iconStyle": Pie only for exactly "pie", Curtain otherwise
// (absent, another string, another type).
IconStyle currentIconStyle(const Defaults& defaults);
void setCurrentIconStyle(Defaults& defaults, IconStyle style);

}  // namespace nuvlet
