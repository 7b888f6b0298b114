#pragma once

#include <memory>

#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/ScrollableStatusView.h"

namespace nuvlet::test {

// Our brightness item as the program builds it for a real tray host (the curtain glyph
// at half, a notch one step of 5%, a menu of two entries), counting what the host asks.
struct BrightnessItem {
  BrightnessItem(std::unique_ptr<StatusItem> item, const Defaults& defaults,
                 const ColorScheme& scheme)
      : view(std::move(item), defaults, scheme) {
    view.render = [](double level) {
      return IconRenderer::brightnessImage(level, DisplayKind::BuiltIn, IconStyle::Curtain);
    };
    view.onScroll = [this](double delta) { view.setLevel(view.level() - delta / 200); };
    view.onRightClick = [this] { ++middleClicks; };
    view.menu = [this](bool) {
      ++menusBuilt;
      MenuItem first, second;
      first.label = "Adjust Automatically";
      first.activate = [this] { ++firstPicked; };
      second.label = "Quit Nuvlet";
      second.activate = [this] { ++secondPicked; };
      return Menu{first, second};
    };
    view.setAccessibilityLabel("Brightness");
    view.setLevel(0.5);
  }

  ScrollableStatusView view;
  int middleClicks = 0, menusBuilt = 0, firstPicked = 0, secondPicked = 0;
};

}  // namespace nuvlet::test
