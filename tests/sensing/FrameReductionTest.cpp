#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "nuvlet/sensing/FrameReducer.h"
#include "nuvlet/sensing/HistogramReducer.h"
#include "nuvlet/sensing/LuminanceReducer.h"

namespace nuvlet {
namespace {

// The definitions, computed the slow, obvious way: every pixel visited per cell, cell
// membership by floor(x * size / width), sums in 64-bit integers.
std::vector<Rgb8> referenceBitmap(const FrameView& f, int size) {
  std::vector<Rgb8> out;
  for (int cy = 0; cy < size; ++cy) {
    for (int cx = 0; cx < size; ++cx) {
      std::uint64_t r = 0, g = 0, b = 0, n = 0;
      for (int y = 0; y < f.height; ++y) {
        const bool inRow = f.height >= size ? std::int64_t{y} * size / f.height == cy
                                            : y == std::int64_t{cy} * f.height / size;
        if (!inRow) continue;
        for (int x = 0; x < f.width; ++x) {
          const bool inColumn = f.width >= size ? std::int64_t{x} * size / f.width == cx
                                                : x == std::int64_t{cx} * f.width / size;
          if (!inColumn) continue;
          const std::uint8_t* p = f.row(y) + 4 * x;
          b += p[0];
          g += p[1];
          r += p[2];
          ++n;
        }
      }
      auto round = [n](std::uint64_t s) {
        return static_cast<std::uint8_t>((2 * s + n) / (2 * n));
      };
      out.push_back({round(r), round(g), round(b)});
    }
  }
  return out;
}

double referenceMean(const FrameView& f) {
  std::uint64_t sum = 0;
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) {
      const std::uint8_t* p = f.row(y) + 4 * x;
      sum += 2126u * p[2] + 7152u * p[1] + 722u * p[0];
    }
  }
  return static_cast<double>(static_cast<long double>(sum) / (2550000.0L * f.width * f.height));
}

ContentSignature referenceSignature(const std::vector<Rgb8>& bitmap) {
  long double dark = 0, bright = 0, y = 0, r = 0, g = 0, b = 0;
  for (const Rgb8& p : bitmap) {
    const std::uint32_t luma = 2126u * p.r + 7152u * p.g + 722u * p.b;
    dark += luma < 510000;
    bright += luma > 2040000;
    y += luma / 2550000.0L;
    r += p.r / 255.0L;
    g += p.g / 255.0L;
    b += p.b / 255.0L;
  }
  const long double n = static_cast<long double>(bitmap.size());
  const long double hi = std::max({r, g, b}) / n, lo = std::min({r, g, b}) / n;
  return {static_cast<double>(dark / n), static_cast<double>(bright / n),
          static_cast<double>(y / n), static_cast<double>(hi - lo),
          static_cast<double>((r - b) / n)};
}

// Screen-like content with some noise, extremes included.
Frame makeContent(int width, int height, std::ptrdiff_t stride, unsigned seed) {
  Frame f(width, height, stride);
  f.fillPadding(0xab);
  std::mt19937 random(seed);
  for (int y = 0; y < height; ++y) {
    std::uint32_t flat = random();
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = random() % 5 == 0 ? random() : flat;
      if (random() % 53 == 0) flat = random() % 3 == 0 ? 0xffffffffu : random();
      f.setPixel(x, y, v & 0xff, (v >> 8) & 0xff, (v >> 16) & 0xff);
    }
  }
  return f;
}

void expectSignatureNear(const ContentSignature& a, const ContentSignature& b) {
  EXPECT_NEAR(a.pctDark, b.pctDark, 1e-12);
  EXPECT_NEAR(a.pctBright, b.pctBright, 1e-12);
  EXPECT_NEAR(a.mean, b.mean, 1e-12);
  EXPECT_NEAR(a.chroma, b.chroma, 1e-12);
  EXPECT_NEAR(a.warmCool, b.warmCool, 1e-12);
}

void expectMatchesReference(const FrameView& view, const FrameReduction& got) {
  EXPECT_NEAR(got.luminance, referenceMean(view), 1e-12);
  expectSignatureNear(got.signature, referenceSignature(referenceBitmap(view, 64)));
  const auto cells = referenceBitmap(view, 4);
  ASSERT_EQ(got.grid.size(), 16u);
  for (std::size_t i = 0; i < 16; ++i) {
    const Rgb8& p = cells[i];
    EXPECT_NEAR(got.grid[i], (2126.0 * p.r + 7152.0 * p.g + 722.0 * p.b) / 2550000.0, 1e-12) << i;
  }
}

struct Shape {
  int width, height;
  std::ptrdiff_t padding;  // bytes past each row
};

// Sizes around every boundary of the reduction: smaller than the 64 cells on either
// side, cells exactly 8 pixels wide and one less, cells as wide as the fast kernels
// take and one more, odd strides, common screens, and a single row or column.
const Shape kShapes[] = {
    {1, 1, 0},      {2, 3, 4},     {5, 70, 0},      {70, 5, 12},     {63, 64, 0},
    {64, 63, 0},    {64, 64, 0},   {67, 65, 4},     {65, 67, 0},     {511, 67, 0},
    {512, 64, 8},   {513, 129, 0}, {1366, 768, 64}, {1920, 1080, 0}, {2560, 97, 4},
    {3000, 200, 0}, {63999, 3, 0}, {64000, 2, 4},   {1, 1000, 0},    {1000, 1, 0},
};

TEST(FrameReducer, MatchesIntegerReferenceOnAwkwardSizesAndStrides) {
  for (bool baseline : {false, true}) {
    AreaAverager::useBaselineKernels(baseline);
    unsigned seed = baseline ? 100 : 1;
    for (const Shape& s : kShapes) {
      if (baseline && s.width > 4000) continue;
      SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " +" +
                   std::to_string(s.padding) + (baseline ? " baseline" : ""));
      const Frame f = makeContent(s.width, s.height, 4 * s.width + s.padding, seed++);
      const FrameReduction got = LuminanceReducer::reduce(f.view());
      expectMatchesReference(f.view(), got);
      EXPECT_NEAR(LuminanceReducer::averageLuminance(f.view()), referenceMean(f.view()), 1e-12);
      EXPECT_EQ(LuminanceReducer::luminanceGrid(f.view(), 4), got.grid);
    }
  }
  AreaAverager::useBaselineKernels(false);
}

TEST(FrameReducer, BandsOfAnyHeightGiveTheSameResultAsOneFrame) {
  const Frame f = makeContent(1366, 300, 1366 * 4 + 12, 99);
  const FrameReduction whole = LuminanceReducer::reduce(f.view());
  for (int band : {1, 3, 4, 17, 64, 299}) {
    SCOPED_TRACE(band);
    FrameReducer reducer;
    reducer.begin(f.width(), f.height());
    for (int y = 0; y < f.height(); y += band) {
      reducer.rows(f.view().rows(y, std::min(band, f.height() - y)));
    }
    auto got = reducer.finish();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->luminance, whole.luminance);
    EXPECT_EQ(got->signature, whole.signature);
    EXPECT_EQ(got->grid, whole.grid);
  }
}

TEST(FrameReducer, SaturatedFramesDoNotOverflowTheSums) {
  // White at sizes where each path holds the most per sum: tall cells for the column
  // sums (more rows per cell than 16 bits take), wide cells for the per-cell lanes.
  for (bool baseline : {false, true}) {
    AreaAverager::useBaselineKernels(baseline);
    for (Shape s :
         {Shape{100, 64 * 300, 0}, Shape{63999, 65, 0}, Shape{1, 40000, 0}, Shape{3840, 2160, 0}}) {
      SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
      Frame f(s.width, s.height);
      f.fill(255, 255, 255);
      const FrameReduction got = LuminanceReducer::reduce(f.view());
      EXPECT_EQ(got.luminance, 1.0);
      EXPECT_EQ(got.signature, (ContentSignature{0, 1, 1, 0, 0}));
      EXPECT_EQ(got.grid, std::vector<double>(16, 1.0));
    }
  }
  AreaAverager::useBaselineKernels(false);
}

TEST(FrameReducer, UniformColoursGiveTheirExactValues) {
  struct Case {
    const char* name;
    std::uint8_t r, g, b;
    double luminance;
    ContentSignature signature;
  };
  const Case cases[] = {
      {"white", 255, 255, 255, 1.0, {0, 1, 1, 0, 0}},
      {"black", 0, 0, 0, 0.0, {1, 0, 0, 0, 0}},
      {"red", 255, 0, 0, 0.2126, {0, 0, 0.2126, 1, 1}},
      {"blue", 0, 0, 255, 0.0722, {1, 0, 0.0722, 1, -1}},
      // Exactly 0.2 and 0.8: neither dark nor bright.
      {"grey 51", 51, 51, 51, 0.2, {0, 0, 0.2, 0, 0}},
      {"grey 204", 204, 204, 204, 0.8, {0, 0, 0.8, 0, 0}},
      {"grey 50", 50, 50, 50, 50 / 255.0, {1, 0, 50 / 255.0, 0, 0}},
      {"grey 205", 205, 205, 205, 205 / 255.0, {0, 1, 205 / 255.0, 0, 0}},
  };
  for (const Case& c : cases) {
    for (Shape s : {Shape{1, 1, 0}, Shape{67, 65, 0}, Shape{1920, 1080, 0}}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(s.width));
      Frame f(s.width, s.height);
      f.fill(c.r, c.g, c.b);
      const FrameReduction got = LuminanceReducer::reduce(f.view());
      EXPECT_NEAR(got.luminance, c.luminance, 1e-15);
      ContentSignature want = c.signature;
      want.mean = got.signature.mean;
      EXPECT_EQ(got.signature, want);
      EXPECT_NEAR(got.signature.mean, c.signature.mean, 1e-15);
      for (double cell : got.grid) EXPECT_NEAR(cell, c.luminance, 1e-15);
    }
  }
}

TEST(FrameReducer, MissingOrBrokenFramesGiveTheFallbacks) {
  Frame real(10, 10);
  const FrameView broken[] = {
      FrameView{},                              // nothing
      FrameView{real.view().data, 0, 0, 40},    // 0 x 0
      FrameView{real.view().data, 10, 10, 39},  // rows shorter than the pixels
      FrameView{real.view().data, -3, 10, 40},  // negative width
  };
  for (const FrameView& v : broken) {
    const FrameReduction got = LuminanceReducer::reduce(v);
    EXPECT_EQ(got.luminance, 0.5);
    EXPECT_EQ(got.signature, (ContentSignature{1, 0, 0, 0, 0}));
    EXPECT_EQ(got.grid, std::vector<double>(16, 0.0));
    EXPECT_EQ(LuminanceReducer::averageLuminance(v), 0.5);
    EXPECT_EQ(HistogramReducer::signature(v), HistogramReducer::kFallback);
    EXPECT_EQ(LuminanceReducer::luminanceGrid(v, 4), std::vector<double>(16, 0.0));
  }
  EXPECT_TRUE(LuminanceReducer::luminanceGrid(real.view(), 0).empty());
  EXPECT_EQ(HistogramReducer::signature(real.view(), 0), HistogramReducer::kFallback);
}

TEST(FrameReducer, IncompleteOrMismatchedFramesGiveNothing) {
  const Frame f = makeContent(100, 80, 0, 3);
  const Frame narrow = makeContent(99, 10, 0, 3);
  const struct {
    const char* what;
    int width;
    std::vector<FrameView> bands;
  } cases[] = {
      {"a row missing", 100, {f.view().rows(0, 79)}},
      {"a row too many", 100, {f.view(), f.view().rows(0, 1)}},
      {"a band of another width", 100, {narrow.view(), f.view()}},
      {"no frame begun", 0, {f.view()}},
  };
  FrameReducer reducer;  // one reducer throughout: each failure must not spoil the next frame
  for (const auto& c : cases) {
    reducer.begin(c.width, 80);
    for (const FrameView& band : c.bands) reducer.rows(band);
    EXPECT_FALSE(reducer.finish()) << c.what;
  }
  reducer.begin(100, 80);
  reducer.rows(f.view());
  auto got = reducer.finish();
  ASSERT_TRUE(got);
  expectMatchesReference(f.view(), *got);
}

TEST(HistogramReducer, SignatureAtOtherSizesFollowsTheSameDefinition) {
  const Frame f = makeContent(300, 200, 0, 11);
  for (int size : {1, 4, 16, 64, 100, 301}) {
    SCOPED_TRACE(size);
    expectSignatureNear(HistogramReducer::signature(f.view(), size),
                        referenceSignature(referenceBitmap(f.view(), size)));
  }
}

}  // namespace
}  // namespace nuvlet
