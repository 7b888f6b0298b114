#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/PngFile.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

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

// Three decimals: every level drawn here is below 1.
std::string levelName(double level) { return std::to_string(level).substr(0, 5); }

// Each reference image's name, and the glyph it shows.
std::vector<std::pair<std::string, IconImage>> goldenCases() {
  std::vector<std::pair<std::string, IconImage>> cases;
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
  for (const auto& [name, image] : goldenCases()) {
    const Pixmap rendered = tint(image.rasterize(kGoldenSize), 0x000000);
    const auto file = dir / (name + ".png");
    if (updating) {
      ASSERT_TRUE(writePng(file, rendered)) << file;
      continue;
    }
    const auto golden = readPng(file);
    ASSERT_TRUE(golden) << "missing " << file << "; see the comment above to regenerate";
    ASSERT_EQ(golden->width, kGoldenSize) << name;
    ASSERT_EQ(golden->height, kGoldenSize) << name;
    int differing = 0;
    for (std::size_t i = 0; i < rendered.argb.size(); ++i) {
      const int a = static_cast<int>(rendered.argb[i] >> 24);
      const int b = static_cast<int>(golden->argb[i] >> 24);
      differing += std::abs(a - b) > kPixelTolerance;
    }
    EXPECT_LE(differing, kMaxDifferingShare * kGoldenSize * kGoldenSize) << name;
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
