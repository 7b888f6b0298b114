#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <set>
#include <string>
#include <utility>

#include "nuvlet/ui/SymbolicIcon.h"

namespace nuvlet {
namespace {

using IconRenderer::brightnessImage;
using IconRenderer::volumeImage;
using enum DisplayKind;
using enum IconStyle;

TEST(SymbolicIcons, ALevelIsNamedByTheNearestFivePercent) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<IconImage, std::string> cases[] = {
      {brightnessImage(0.52, BuiltIn, Curtain), "nuvlet-brightness-builtin-curtain-050-symbolic"},
      {brightnessImage(0.53, External, Pie), "nuvlet-brightness-external-pie-055-symbolic"},
      {brightnessImage(1.7, BuiltIn, Pie), "nuvlet-brightness-builtin-pie-100-symbolic"},
      {brightnessImage(-0.2, BuiltIn, Pie), "nuvlet-brightness-builtin-pie-000-symbolic"},
      {brightnessImage(nan, BuiltIn, Pie), "nuvlet-brightness-builtin-pie-000-symbolic"},
      {volumeImage(0.3, false, Pie), "nuvlet-volume-pie-030-symbolic"},
      {volumeImage(0.3, true, Pie), "nuvlet-volume-muted-symbolic"},
      {volumeImage(0.004, false, Curtain), "nuvlet-volume-muted-symbolic"},
  };
  for (const auto& [image, name] : cases) EXPECT_EQ(SymbolicIcon::name(image), name);
}

// The host is given a name from the generated set whatever the item shows.
TEST(SymbolicIcons, EveryGlyphTheItemsCanShowHasItsIconInTheSet) {
  std::set<std::string> set;
  for (const auto& image : SymbolicIcon::all()) set.insert(SymbolicIcon::name(image));
  EXPECT_EQ(set.size(), SymbolicIcon::all().size());  // no two icons share a name
  const auto expectInSet = [&](const IconImage& image) {
    EXPECT_TRUE(set.contains(SymbolicIcon::name(image))) << SymbolicIcon::name(image);
  };
  for (int i = 0; i <= 1000; ++i) {
    const double level = i / 1000.0;
    for (IconStyle style : {Pie, Curtain}) {
      for (DisplayKind kind : {BuiltIn, External}) expectInSet(brightnessImage(level, kind, style));
      for (bool muted : {false, true}) expectInSet(volumeImage(level, muted, style));
    }
  }
}

// Read back, the traced runs cover exactly the pixels the glyph covers at least half.
TEST(SymbolicIcons, TheSvgTracesTheGlyphsCoverage) {
  for (const IconImage& image : {brightnessImage(0.35, External, Pie),
                                 volumeImage(0.8, false, Curtain), volumeImage(0, true, Curtain)}) {
    const std::string svg = SymbolicIcon::svg(image);
    ASSERT_NE(svg.find("viewBox=\"0 0 48 48\""), std::string::npos);
    const Coverage coverage = image.rasterize(48);
    std::vector<bool> traced(48 * 48, false);
    const std::regex run("M(\\d+) (\\d+)h(\\d+)v1h-(\\d+)z");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), run); it != std::sregex_iterator();
         ++it) {
      const int x = std::stoi((*it)[1]), y = std::stoi((*it)[2]), w = std::stoi((*it)[3]);
      ASSERT_EQ(w, std::stoi((*it)[4]));
      for (int i = 0; i < w; ++i) traced[static_cast<std::size_t>(y * 48 + x + i)] = true;
    }
    int covered = 0;
    for (int y = 0; y < 48; ++y) {
      for (int x = 0; x < 48; ++x) {
        const bool inside = coverage.at(x, y) >= 128;
        covered += inside;
        EXPECT_EQ(traced[static_cast<std::size_t>(y * 48 + x)], inside) << x << "," << y;
      }
    }
    EXPECT_GT(covered, 100);
  }
}

}  // namespace
}  // namespace nuvlet
