#pragma once
// Our brightness item on a real panel, and what every test of it there checks, as a
// person would.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/ScrollableStatusView.h"
#include "tests/harness/PanelUser.h"

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

// The glyph at `glyph` stands out from the panel by 3:1 or more. Its colours are printed
// (the README's table of hosts shows them) and `crop` of the screen kept for people.
inline GlyphReading expectGlyphStandsOut(const Screenshot& shot, Box glyph, const std::string& name,
                                         Box crop) {
  const GlyphReading reading = readGlyph(shot, glyph);
  std::printf("[ figure ] %s: glyph #%06x on #%06x, contrast %.2f:1\n", name.c_str(), reading.glyph,
              reading.background, reading.contrast);
  EXPECT_GE(reading.contrast, 3.0);
  keepShot(shot, name, crop);
  return reading;
}

// One notch up and one down over the glyph move the level by exactly one step (0.05) each
// way, whatever the host sends for a notch, and a middle click reaches the item.
inline void expectTheWheelAndAMiddleClick(PanelUser& user, BrightnessItem& item) {
  const auto& input = user.input();
  ASSERT_TRUE(input.pointerTo(user.glyph.centreX(), user.glyph.centreY()));
  const double before = item.view.level();
  ASSERT_TRUE(input.button(4));
  EXPECT_TRUE(user.turn([&] { return item.view.level() > before + 0.01; })) << item.view.level();
  EXPECT_NEAR(item.view.level(), before + 0.05, 1e-9);
  ASSERT_TRUE(input.button(5));
  EXPECT_TRUE(user.turn([&] { return item.view.level() < before + 0.04; })) << item.view.level();
  EXPECT_NEAR(item.view.level(), before, 1e-9);
  const int clicks = item.middleClicks;
  ASSERT_TRUE(input.button(2));
  EXPECT_TRUE(user.turn([&] { return item.middleClicks > clicks; })) << "middle click";
}

}  // namespace nuvlet::test
