#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/PngFile.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

// Glyphs are sampled at 10 pixels per point, so a point coordinate lands well
// inside one pixel.
constexpr int kSampleSize = 180;

struct Sampled {
  Coverage coverage;
  explicit Sampled(const IconImage& image) : coverage(image.rasterize(kSampleSize)) {}
  // Coverage at a point of the 18 x 18 canvas, y upwards.
  int at(double x, double y) const {
    const double scale = kSampleSize / IconRenderer::size;
    return coverage.at(static_cast<int>(x * scale),
                       static_cast<int>((IconRenderer::size - y) * scale));
  }
  // On the circle of radius 7.6 around the centre: inside the level indicator's disk
  // (radius 8) and clear of the speaker and its knock-out band.
  int onRim(double degrees) const {
    const double a = degrees * std::numbers::pi / 180;
    return at(9 + 7.6 * std::cos(a), 9 + 7.6 * std::sin(a));
  }
};

// Angles (degrees, counter-clockwise from three o'clock) the indicator covers.
struct Arc {
  double from;
  double to;  // counter-clockwise from `from`; to - from is the sweep
};

// Whether `degrees` lies inside the arc, outside it, or too close to an edge to say.
enum class Side { Inside, Outside, Edge };
Side sideOf(const Arc& arc, double degrees) {
  if (arc.to - arc.from >= 360) return Side::Inside;
  const double offset = std::fmod(std::fmod(degrees - arc.from, 360) + 360, 360);
  const double sweep = arc.to - arc.from;
  constexpr double margin = 4;
  if (offset < margin || std::abs(offset - sweep) < margin || offset > 360 - margin) {
    return Side::Edge;
  }
  return offset < sweep ? Side::Inside : Side::Outside;
}

TEST(IconRenderer, LevelIndicatorCoversTheArcOfItsStyle) {
  struct Case {
    IconStyle style;
    double level;
    Arc arc;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      // The smallest wedge is 30 degrees, beside twelve o'clock or around six.
      {IconStyle::Pie, 0.006, {90, 120}},
      {IconStyle::Curtain, 0.006, {255, 285}},
      {IconStyle::Pie, 0.25, {90, 180}},
      {IconStyle::Curtain, 0.25, {225, 315}},
      {IconStyle::Pie, 0.5, {90, 270}},       // the left half
      {IconStyle::Curtain, 0.5, {180, 360}},  // the lower half
      {IconStyle::Pie, 0.75, {90, 360}},
      {IconStyle::Curtain, 0.75, {135, 405}},
      {IconStyle::Pie, 0.998, {90, 90 + 359.28}},
      {IconStyle::Pie, 0.999, {0, 360}},
      {IconStyle::Curtain, 0.999, {0, 360}},
      {IconStyle::Curtain, 1.0, {0, 360}},
      {IconStyle::Pie, 7.0, {0, 360}},
      {IconStyle::Curtain, nan, {255, 285}},
  };
  for (const Case& c : cases) {
    const Sampled glyph(IconRenderer::volumeImage(c.level, false, c.style));
    ASSERT_EQ(glyph.coverage.size, kSampleSize);
    for (double degrees = 0; degrees < 360; degrees += 5) {
      const Side side = sideOf(c.arc, degrees);
      if (side == Side::Edge) continue;
      EXPECT_EQ(glyph.onRim(degrees), side == Side::Inside ? 255 : 0)
          << rawValue(c.style) << " level " << c.level << " at " << degrees << " degrees";
    }
  }
}

TEST(IconRenderer, VolumeAtMostHalfAPercentDrawsTheMutedGlyph) {
  struct Point {
    double x, y;
  };
  const Point slashEnd{13.86, 4.79};
  const Point besideSlash{9.72, 9.83};  // on the speaker, 1.1 points off the slash
  const Point nineOClock{1.4, 9};
  struct Case {
    double level;
    bool muted;
    bool expectMuted;
  };
  for (const Case c : {Case{0.005, false, true}, Case{0.0, false, true}, Case{0.7, true, true},
                       Case{0.5, false, false}, Case{0.6, false, false}}) {
    const IconImage image = IconRenderer::volumeImage(c.level, c.muted, IconStyle::Pie);
    EXPECT_EQ(image.muted, c.expectMuted) << c.level;
    const Sampled glyph(image);
    EXPECT_EQ(glyph.at(slashEnd.x, slashEnd.y), c.expectMuted ? 255 : 0) << c.level;
    EXPECT_EQ(glyph.at(besideSlash.x, besideSlash.y), c.expectMuted ? 0 : 255) << c.level;
    // No level indicator under the muted speaker.
    EXPECT_EQ(glyph.at(nineOClock.x, nineOClock.y), c.expectMuted ? 0 : 255) << c.level;
  }
}

TEST(IconStyle, OnlyExactlyPieSelectsThePie) {
  MemoryDefaults defaults;
  EXPECT_EQ(currentIconStyle(defaults), IconStyle::Curtain);
  for (const nlohmann::json& stored :
       {nlohmann::json("Pie"), nlohmann::json(""), nlohmann::json(1), nlohmann::json("curtain")}) {
    defaults.setValue("iconStyle", stored);
    EXPECT_EQ(currentIconStyle(defaults), IconStyle::Curtain) << stored;
  }
  setCurrentIconStyle(defaults, IconStyle::Pie);
  EXPECT_EQ(defaults.stringOr("iconStyle", ""), "pie");
  EXPECT_EQ(currentIconStyle(defaults), IconStyle::Pie);
  EXPECT_EQ(iconStyleFromRawValue("curtain"), IconStyle::Curtain);
  EXPECT_FALSE(iconStyleFromRawValue("Pie"));
}

TEST(IconRenderer, AbsurdInputsHaveDefinedGlyphs) {
  const auto coverage = [](double level, int size) {
    return IconRenderer::brightnessImage(level, DisplayKind::BuiltIn, IconStyle::Pie)
        .rasterize(size)
        .alpha;
  };
  EXPECT_EQ(coverage(-3, 48), coverage(0, 48));
  EXPECT_EQ(coverage(7, 48), coverage(1, 48));
  for (int size : {0, -5, 1025, std::numeric_limits<int>::max()}) {
    EXPECT_TRUE(coverage(0.5, size).empty()) << size;
  }
}

// ---------------------------------------------------------------------------------
// Reference images. The glyphs in tests/ui/golden/ were reviewed by eye. After an
// intended change to the drawing, regenerate them with
//   NUVLET_UPDATE_GOLDEN=1 ctest --test-dir build -R Golden
// and review the new files (any PNG viewer; icon-render draws single glyphs larger).

constexpr int kGoldenSize = 48;

struct GoldenCase {
  std::string name;
  IconImage image;
};

std::string levelName(double level) {
  char text[16];
  std::snprintf(text, sizeof text, "%.3f", level);
  return text;
}

std::vector<GoldenCase> goldenCases() {
  std::vector<GoldenCase> cases;
  for (IconStyle style : allIconStyles) {
    for (DisplayKind kind : {DisplayKind::BuiltIn, DisplayKind::External}) {
      for (double level : {0.0, 0.5, 0.999}) {
        cases.push_back({"brightness-" + std::string(rawValue(style)) +
                             (kind == DisplayKind::BuiltIn ? "-builtin-" : "-external-") +
                             levelName(level),
                         IconRenderer::brightnessImage(level, kind, style)});
      }
    }
    for (double level : {0.006, 0.3}) {
      cases.push_back({"volume-" + std::string(rawValue(style)) + "-" + levelName(level),
                       IconRenderer::volumeImage(level, false, style)});
    }
  }
  cases.push_back({"volume-muted", IconRenderer::volumeImage(0.7, true, IconStyle::Pie)});
  cases.push_back({"volume-0.005", IconRenderer::volumeImage(0.005, false, IconStyle::Pie)});
  return cases;
}

// Anti-aliasing may shift by a few steps between Cairo versions; a wrong shape
// changes far more pixels than this allows.
constexpr int kPixelTolerance = 32;
constexpr double kMaxDifferingShare = 0.005;

TEST(IconRendererGolden, GlyphsMatchTheReviewedImages) {
  const std::filesystem::path dir = std::filesystem::path(NUVLET_SOURCE_DIR) / "tests/ui/golden";
  const char* update = std::getenv("NUVLET_UPDATE_GOLDEN");
  const bool updating = update != nullptr && std::string(update) == "1";
  for (const GoldenCase& c : goldenCases()) {
    const Pixmap rendered = tint(c.image.rasterize(kGoldenSize), 0x000000);
    const auto file = dir / (c.name + ".png");
    if (updating) {
      ASSERT_TRUE(writePng(file, rendered)) << file;
      continue;
    }
    const auto golden = readPng(file);
    ASSERT_TRUE(golden) << "missing " << file << "; see the comment above to regenerate";
    ASSERT_EQ(golden->width, kGoldenSize) << c.name;
    ASSERT_EQ(golden->height, kGoldenSize) << c.name;
    int differing = 0;
    for (std::size_t i = 0; i < rendered.argb.size(); ++i) {
      const int a = static_cast<int>(rendered.argb[i] >> 24);
      const int b = static_cast<int>(golden->argb[i] >> 24);
      differing += std::abs(a - b) > kPixelTolerance;
    }
    EXPECT_LE(differing, kMaxDifferingShare * kGoldenSize * kGoldenSize) << c.name;
  }
  if (updating) GTEST_SKIP() << "wrote the reference images to " << dir;
}

TEST(PngFile, RoundTripsStraightAlphaAndRefusesBadInput) {
  test::TempDir dir;
  const Pixmap good =
      tint(IconRenderer::volumeImage(0.4, false, IconStyle::Pie).rasterize(16), 0xFFFFFF);
  ASSERT_TRUE(writePng(dir / "good.png", good));
  EXPECT_EQ(readPng(dir / "good.png")->argb, good.argb);
  const std::string bytes = test::readText(dir / "good.png");

  EXPECT_FALSE(readPng(dir / "missing.png"));
  EXPECT_FALSE(readPng(dir.write("text.png", "not a png at all")));
  EXPECT_FALSE(readPng(dir.write("empty.png", "")));
  EXPECT_FALSE(readPng(dir.write("truncated.png", bytes.substr(0, bytes.size() / 2))));
  EXPECT_FALSE(readPng(dir.path()));

  EXPECT_FALSE(writePng(dir / "short.png", Pixmap{4, 4, std::vector<std::uint32_t>(15)}));
  EXPECT_FALSE(writePng(dir / "empty.png", Pixmap{}));
  EXPECT_FALSE(writePng(dir / "no/such/dir/x.png", good));
}

}  // namespace
}  // namespace nuvlet
