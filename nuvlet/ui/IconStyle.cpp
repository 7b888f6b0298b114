#include "nuvlet/ui/IconStyle.h"

#include <string>

namespace nuvlet {
namespace {
constexpr std::string_view kStyleKey = "iconStyle";
}

std::string_view rawValue(IconStyle style) { return style == IconStyle::Pie ? "pie" : "curtain"; }

std::string_view displayName(IconStyle style) {
  return style == IconStyle::Pie ? "Pie" : "Curtain";
}

std::optional<IconStyle> iconStyleFromRawValue(std::string_view raw) {
  for (IconStyle style : allIconStyles) {
    if (rawValue(style) == raw) return style;
  }
  return std::nullopt;
}

IconStyle currentIconStyle(const Defaults& defaults) {
  return defaults.stringOr(kStyleKey, "") == "pie" ? IconStyle::Pie : IconStyle::Curtain;
}

void setCurrentIconStyle(Defaults& defaults, IconStyle style) {
  defaults.setValue(kStyleKey, std::string(rawValue(style)));
}

}  // namespace nuvlet
