#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "nuvlet/sensing/FrameReducer.h"
#include "nuvlet/sensing/HistogramReducer.h"
#include "nuvlet/sensing/KernelChooser.h"
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

std::vector<double> fields(const ContentSignature& s) {
  return {s.pctDark, s.pctBright, s.mean, s.chroma, s.warmCool};
}

struct Shape {
  int width, height;
  std::ptrdiff_t padding;  // bytes past each row
};

// Every kernel this processor runs and the one every processor runs, each forced, and
// the untimed guess: all must give the reference to the last bit.
std::vector<std::optional<AreaAverager::Kernel>> everyKernel() {
  std::vector<std::optional<AreaAverager::Kernel>> out = {std::nullopt, AreaAverager::Kernel{}};
  for (const auto& k : AreaAverager::kernels()) out.push_back(k);
  return out;
}

// "1920x1080 avx2 pairs", for a failure's trace.
std::string nameOf(const FrameView& f, const std::optional<AreaAverager::Kernel>& k) {
  return std::to_string(f.width) + "x" + std::to_string(f.height) + " " +
         (k ? k->name() : std::string("guess"));
}

FrameReduction reduceWith(const std::optional<AreaAverager::Kernel>& kernel, const FrameView& f) {
  FrameReducer reducer;
  reducer.forceKernel(kernel);
  reducer.begin(f.width, f.height);
  reducer.rows(f);
  auto got = reducer.finish();
  EXPECT_TRUE(got.has_value());
  return got.value_or(FrameReduction{});
}

// The same reduction to the last bit.
void expectSame(const FrameReduction& got, const FrameReduction& expected) {
  EXPECT_EQ(got.luminance, expected.luminance);
  EXPECT_EQ(got.signature, expected.signature);
  EXPECT_EQ(got.grid, expected.grid);
}

void expectEveryKernelGives(const FrameView& f, const FrameReduction& expected) {
  for (const auto& kernel : everyKernel()) {
    SCOPED_TRACE(nameOf(f, kernel));
    expectSame(reduceWith(kernel, f), expected);
  }
}

// Sizes around every boundary of the reduction: smaller than the 64 cells on either
// side, cells exactly 8 pixels wide and one less, cells as wide as the fast kernels
// take and one more, odd strides, common screens, a single row or column, and cells
// taller than the column and pair sums hold (several flushes a cell row).
const Shape kShapes[] = {
    {1, 1, 0},       {2, 3, 4},     {5, 70, 0},      {70, 5, 12},     {63, 64, 0},
    {64, 63, 0},     {64, 64, 0},   {67, 65, 4},     {65, 67, 0},     {511, 67, 0},
    {512, 64, 8},    {513, 129, 0}, {1366, 768, 64}, {1920, 1080, 0}, {2560, 97, 4},
    {3000, 200, 0},  {63999, 3, 0}, {64000, 2, 4},   {1, 1000, 0},    {1000, 1, 0},
    {1280, 300, 12}, {7, 90, 0},    {8192, 70, 0},   {128, 16673, 8},
};

TEST(FrameReducer, EveryKernelMatchesIntegerReferenceOnAwkwardSizesAndStrides) {
  for (bool baseline : {false, true}) {
    AreaAverager::useBaselineKernels(baseline);
    unsigned seed = baseline ? 100 : 1;
    for (const Shape& s : kShapes) {
      const Frame f = makeContent(s.width, s.height, 4 * s.width + s.padding, seed++);
      const double mean = referenceMean(f.view());
      const auto signature = referenceSignature(referenceBitmap(f.view(), 64));
      std::vector<double> grid;
      for (const Rgb8& p : referenceBitmap(f.view(), 4))
        grid.push_back((2126.0 * p.r + 7152.0 * p.g + 722.0 * p.b) / 2550000.0);
      for (const auto& kernel : everyKernel()) {
        SCOPED_TRACE(nameOf(f.view(), kernel));
        const FrameReduction got = reduceWith(kernel, f.view());
        EXPECT_NEAR(got.luminance, mean, 1e-12);
        EXPECT_THAT(fields(got.signature),
                    testing::Pointwise(testing::DoubleNear(1e-12), fields(signature)));
        EXPECT_THAT(got.grid, testing::Pointwise(testing::DoubleNear(1e-12), grid));
        if (!kernel) expectSame(LuminanceReducer::reduce(f.view()), got);
      }
    }
  }
  AreaAverager::useBaselineKernels(false);
}

TEST(FrameReducer, EveryKernelGivesTheSameBitsOnRowsOfAnyAlignment) {
  // Rows that start 1 to 31 bytes past a 32-byte boundary, and a stride that moves the
  // start of each row; the kernels' loads are unaligned and their tails copied.
  for (int width : {64, 65, 1920, 2560}) {
    std::vector<std::uint8_t> storage(4 * (static_cast<std::size_t>(width) + 9) * 70 + 64);
    const Frame content = makeContent(width, 70, 0, static_cast<unsigned>(width));
    for (int offset : {1, 3, 17, 31}) {
      const std::ptrdiff_t stride = 4 * width + 4 * (offset % 9) + offset % 4;
      auto* base = reinterpret_cast<std::uint8_t*>(
          (reinterpret_cast<std::uintptr_t>(storage.data()) + 31) / 32 * 32 + offset);
      for (int y = 0; y < 70; ++y) {
        std::memcpy(base + y * stride, content.view().row(y), 4 * static_cast<std::size_t>(width));
      }
      const FrameView view{base, width, 70, stride};
      SCOPED_TRACE("at +" + std::to_string(offset));
      expectEveryKernelGives(view, reduceWith(AreaAverager::Kernel{}, content.view()));
    }
  }
}

TEST(FrameReducer, SaturatedFramesDoNotOverflowTheSums) {
  // White at sizes where each kernel holds the most per sum: tall cells for the column
  // and pair sums (more rows per cell than 16 bits take), wide cells for the per-cell
  // lanes.
  for (Shape s : {Shape{100, 64 * 300, 0}, Shape{1024, 64 * 200, 0}, Shape{63999, 65, 0},
                  Shape{1, 40000, 0}, Shape{3840, 2160, 0}, Shape{128, 64 * 300, 0}}) {
    Frame f(s.width, s.height);
    f.fill(255, 255, 255);
    expectEveryKernelGives(f.view(), {1.0, {0, 1, 1, 0, 0}, std::vector<double>(16, 1.0)});
  }
}

TEST(FrameReducer, AReusedReducerFedInBandsGivesEachWholeFramesReduction) {
  // A capture hands rows over in strips, and the kernels take rows two at a time and ask
  // for rows ahead within a strip; the cell sums are not cleared between frames, the
  // first rows of each cell row replace what a frame before left there. So frames of
  // other sizes and content, in bands of uneven heights through one reducer, must each
  // come out as the whole frame from a new reducer: short frames (one row feeding
  // several cell rows), tall cells (several flushes a cell row) and common sizes.
  const Shape sequence[] = {{1920, 1080, 0}, {70, 5, 12}, {128, 64 * 260 + 33, 8},
                            {1366, 768, 64}, {64, 63, 0}, {1280, 300, 12},
                            {1920, 1080, 0}, {2, 3, 4},   {513, 129, 0}};
  const int heights[] = {1, 2, 3, 7, 64, 273};
  std::vector<Frame> frames;
  for (const Shape& s : sequence) {
    frames.push_back(makeContent(s.width, s.height, 4 * s.width + s.padding,
                                 static_cast<unsigned>(40 + frames.size())));
  }
  for (const auto& kernel : everyKernel()) {
    FrameReducer reducer;
    reducer.forceKernel(kernel);
    for (const Frame& f : frames) {
      SCOPED_TRACE(nameOf(f.view(), kernel));
      reducer.begin(f.width(), f.height());
      for (int y = 0, i = 0; y < f.height(); ++i) {
        const int rows = std::min(heights[i % std::size(heights)], f.height() - y);
        reducer.rows(f.view().rows(y, rows));
        y += rows;
      }
      const auto got = reducer.finish();
      ASSERT_TRUE(got.has_value());
      expectSame(*got, reduceWith(kernel, f.view()));
    }
  }
}

TEST(FrameReducer, SignatureWithoutTheBitmapRoundsEveryCellAsTheBitmapDoes) {
  // Each cell's channel sums are set on the rounding's edges for its own pixel count:
  // blue an exact half (the quotient of the rounding an integer), green one below it,
  // red a whole level; the level runs through 0 to 255 over the cells, so that the
  // luminance thresholds are crossed too. Cells of 1, 2, 98 (whose reciprocal in double
  // precision is a little short), 480 and 510, 252 to 264, and 2040 to 2100 pixels.
  for (Shape s : {Shape{64, 64, 0}, Shape{128, 64, 0}, Shape{896, 448, 0}, Shape{1920, 1080, 0},
                  Shape{1366, 768, 8}, Shape{3840, 2160, 0}}) {
    Frame f(s.width, s.height, 4 * s.width + s.padding);
    const int size = 64;
    auto cellOf = [size](int x, int length) { return std::int64_t{x} * size / length; };
    std::vector<std::uint64_t> count(size * size), given(size * size);
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) ++count[cellOf(y, s.height) * size + cellOf(x, s.width)];
    }
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) {
        const auto cell = static_cast<std::size_t>(cellOf(y, s.height) * size + cellOf(x, s.width));
        const std::uint64_t n = count[cell], level = cell % 256, i = given[cell]++;
        // Of n pixels, the first (sum % n) get one more than sum / n.
        auto share = [&](std::uint64_t sum) {
          return static_cast<std::uint8_t>(sum / n + (i < sum % n ? 1 : 0));
        };
        const std::uint64_t half = n * level - n / 2;
        f.setPixel(x, y, share(n * level), share(level == 0 ? 0 : half - 1),
                   share(level == 0 ? 0 : half));
      }
    }
    for (bool baseline : {false, true}) {
      SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) +
                   (baseline ? " baseline" : ""));
      AreaAverager::useBaselineKernels(baseline);
      AreaAverager averager(size);
      averager.begin(s.width, s.height);
      averager.addRows(f.view());
      ASSERT_TRUE(averager.complete());
      for (std::size_t c = 0; c < count.size(); ++c) {
        const std::uint64_t n = count[c], level = c % 256, half = n * level - n / 2;
        ASSERT_EQ(averager.cells()[c].r, n * level) << c;
        ASSERT_EQ(averager.cells()[c].b, level == 0 ? 0 : half) << c;
      }
      EXPECT_EQ(HistogramReducer::statistics(averager),
                HistogramReducer::statistics(averager.bitmap()));
    }
    AreaAverager::useBaselineKernels(false);
  }
}

TEST(FrameReducer, TimesItsKernelsOnTheFramesItIsGivenAndKeepsTheResultExact) {
  // A reducer left to itself tries every candidate on its first frames, keeps one for
  // a while and then tries them again; whichever it is on, the reduction is the same.
  const Frame f = makeContent(1920, 1080, 0, 3);
  const FrameReduction expected = reduceWith(AreaAverager::Kernel{}, f.view());
  FrameReducer reducer(KernelChooser::Options{.warmupRounds = 1, .rounds = 2, .holdFrames = 3});
  const auto candidates = AreaAverager(64).kernelsFor(1920);
  const std::size_t trial = 3 * candidates.size();
  std::vector<AreaAverager::Kernel> used;
  for (std::size_t i = 0; i < trial + 3 + trial; ++i) {
    reducer.begin(1920, 1080);
    used.push_back(reducer.kernel());
    reducer.rows(f.view().rows(0, 500));
    reducer.rows(f.view().rows(500, 580));
    const auto got = reducer.finish();
    ASSERT_TRUE(got.has_value());
    expectSame(*got, expected);
    if (i + 1 == trial) {
      ASSERT_TRUE(reducer.chooser().hasChosen());
      EXPECT_FALSE(reducer.chooser().trying());
    }
  }
  for (const auto& k : candidates) {
    EXPECT_EQ(std::count(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(trial), k), 3)
        << k.name();
  }
  EXPECT_EQ(reducer.chooser().trials(), 2);
}

}  // namespace
}  // namespace nuvlet
