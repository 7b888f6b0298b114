#pragma once
// What every test of our brightness item on a real panel checks, as a person would.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/harness/PanelUser.h"
#include "tests/support/BrightnessItem.h"

namespace nuvlet::test {

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
