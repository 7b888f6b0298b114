#include "nuvlet/sensing/AreaAverager.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "nuvlet/sensing/ExactDivider.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nuvlet {
namespace {

// Every byte of the frame passes through one of three row walks (AreaAverager::Kernel),
// each with and without software prefetch, on SSE2 or AVX2.
//
// Pairs: with every cell edge even (1920, 2560, 3840 ... wide), rows are added into
// 16-bit sums of neighbouring pixel pairs, which are summed into cells when a cell row
// is complete. No step does anything at a cell edge. PairRows adds two rows a pass,
// which halves the traffic to the sums but reads two streams of memory at once: faster
// from cache, slower from memory on some processors.
//
// Across (AVX2): with cells 8 to 1000 pixels wide, each row is summed cell by cell in
// registers, eight pixels per step, and the one step that straddles a cell boundary is
// split with a mask. Only 64 small per-cell sums are written per row.
//
// Columns: each row is added into 16-bit column sums, which are summed into cells when
// a cell row is complete. It takes any frame.
//
// Prefetch: asking for a row about 4 KiB ahead while one is summed kept the memory busy
// on one processor (a cold frame fell from 1.4 to 1.0 times a plain read) and slowed
// another by half, whose own prefetching had kept up. Hence both, and a measurement.
// Columns has none: it made that walk a third slower on the one processor tried, and
// Columns is the walk for widths the others do not take.

using Kernel = AreaAverager::Kernel;
using Isa = Kernel::Isa;
using Walk = Kernel::Walk;

// ceil(a * b / c) for non-negative values that fit the frame sizes we take.
int ceilMulDiv(std::int64_t a, std::int64_t b, std::int64_t c) {
  return static_cast<int>((a * b + c - 1) / c);
}

void addColumnsPortable(std::uint16_t* acc, const std::uint8_t* row, std::size_t from,
                        std::size_t n) {
  for (std::size_t i = from; i < n; ++i) acc[i] = static_cast<std::uint16_t>(acc[i] + row[i]);
}

// The sums of pixel pairs from [from, width), one pixel at a time; `width` even.
void addPairsPortable(std::uint16_t* acc, const std::uint8_t* row, int from, int width) {
  for (int x = from; x < width; x += 2) {
    const std::uint8_t* p = row + 4 * static_cast<std::size_t>(x);
    std::uint16_t* out = acc + 2 * static_cast<std::size_t>(x);
    for (int ch = 0; ch < 4; ++ch)
      out[ch] = static_cast<std::uint16_t>(out[ch] + p[ch] + p[4 + ch]);
  }
}

void sumRunPortable(const std::uint16_t* acc, int x0, int x1, AreaAverager::Sums& out) {
  for (int x = x0; x < x1; ++x) {
    const std::uint16_t* p = acc + 4 * static_cast<std::size_t>(x);
    out.b += p[0];
    out.g += p[1];
    out.r += p[2];
  }
}

#if defined(__x86_64__)
inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void prefetch(const std::uint8_t* p) {
  _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
}

void addColumnsSse2(std::uint16_t* acc, const std::uint8_t* row, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    auto* out = reinterpret_cast<__m128i*>(acc + i);
    const __m128i v = load128(row + i);
    _mm_storeu_si128(out, _mm_add_epi16(_mm_unpacklo_epi8(v, zero), _mm_loadu_si128(out)));
    _mm_storeu_si128(out + 1, _mm_add_epi16(_mm_unpackhi_epi8(v, zero), _mm_loadu_si128(out + 1)));
  }
  addColumnsPortable(acc, row, i, n);
}

__attribute__((target("avx2"))) void addColumnsAvx2(std::uint16_t* acc, const std::uint8_t* row,
                                                    std::size_t n) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    auto* out = reinterpret_cast<__m256i*>(acc + i);
    const __m256i a = _mm256_cvtepu8_epi16(load128(row + i));
    const __m256i b = _mm256_cvtepu8_epi16(load128(row + i + 16));
    _mm256_storeu_si256(out, _mm256_add_epi16(a, _mm256_loadu_si256(out)));
    _mm256_storeu_si256(out + 1, _mm256_add_epi16(b, _mm256_loadu_si256(out + 1)));
  }
  addColumnsPortable(acc, row, i, n);
}

// Four BGRX pixels to 16-bit sums of neighbouring pixels' channels: B01 G01 R01 X01
// B23 G23 R23 X23, the layout the AVX2 pair sums have in each 128-bit half.
inline __m128i pairSumsSse2(__m128i v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
  return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
}

// One row, or two (`second` not null), into the pair sums at acc[4p, 4p + 4); width even.
template <bool kTwo, bool kPrefetch>
void addPairsSse2(std::uint16_t* acc, const std::uint8_t* row, const std::uint8_t* second,
                  const std::uint8_t* ahead, const std::uint8_t* ahead2, int width) {
  auto sums = [row, second](int x) {
    const __m128i v = pairSumsSse2(load128(row + 4 * x));
    if (!kTwo) return v;
    return _mm_add_epi16(v, pairSumsSse2(load128(second + 4 * x)));
  };
  const int whole = width & ~3;
  int x = 0;
  for (; x + 16 <= whole; x += 16) {
    if (kPrefetch) {
      prefetch(ahead + 4 * x);
      if (kTwo) prefetch(ahead2 + 4 * x);
    }
    auto* out = reinterpret_cast<__m128i*>(acc + 2 * static_cast<std::size_t>(x));
    for (int k = 0; k < 4; ++k) {
      _mm_storeu_si128(out + k, _mm_add_epi16(_mm_loadu_si128(out + k), sums(x + 4 * k)));
    }
  }
  for (; x < whole; x += 4) {
    auto* out = reinterpret_cast<__m128i*>(acc + 2 * static_cast<std::size_t>(x));
    _mm_storeu_si128(out, _mm_add_epi16(_mm_loadu_si128(out), sums(x)));
  }
  addPairsPortable(acc, row, whole, width);
  if (kTwo) addPairsPortable(acc, second, whole, width);
}

// B, G, R sums of the column groups [x0, x1) of `acc`, two groups per step, in 32-bit
// lanes: runs stay below kMaxRun.
void sumRunSse2(const std::uint16_t* acc, int x0, int x1, AreaAverager::Sums& out) {
  const __m128i zero = _mm_setzero_si128();
  __m128i s = zero;
  int x = x0;
  for (; x + 2 <= x1; x += 2) {
    const __m128i v = load128(acc + 4 * static_cast<std::size_t>(x));
    s = _mm_add_epi32(s, _mm_add_epi32(_mm_unpacklo_epi16(v, zero), _mm_unpackhi_epi16(v, zero)));
  }
  alignas(16) std::uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), s);
  out.b += lanes[0];
  out.g += lanes[1];
  out.r += lanes[2];
  sumRunPortable(acc, x, x1, out);
}

// Eight BGRX pixels to 16-bit sums of neighbouring pixels' channels: per 128-bit half
// B01 G01 R01 X01 B23 G23 R23 X23.
__attribute__((target("avx2"))) inline __m256i pairSums(__m256i v) {
  const __m256i byChannel = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                             0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  return _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, byChannel), _mm256_set1_epi8(1));
}

// Adds the 16-bit register sums of one cell to its eight 32-bit lanes (B G R X twice).
__attribute__((target("avx2"))) inline void spill(__m256i sums, std::uint32_t* lanes) {
  auto* out = reinterpret_cast<__m256i*>(lanes);
  const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(sums));
  const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(sums, 1));
  _mm256_storeu_si256(out, _mm256_add_epi32(_mm256_loadu_si256(out), _mm256_add_epi32(lo, hi)));
}

// One row into the per-cell lanes; cell c spans pixels [edges[c], edges[c + 1]), each
// cell 8 to 1000 pixels wide. `ahead` is a later row of the same band.
template <bool kPrefetch>
__attribute__((target("avx2"))) void addRowAcrossAvx2(const std::uint8_t* row,
                                                      const std::uint8_t* ahead, int width,
                                                      const int* edges, int cells,
                                                      std::uint32_t* lanes) {
  // Loaded at offset 32 - 4k: the first k pixels selected.
  alignas(32) static const std::uint8_t kMask[64] = {
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  const int whole = width & ~7;
  int c = 0;
  int cellEnd = edges[1];
  __m256i sums = _mm256_setzero_si256();
  for (int x = 0; x < whole; x += 8) {
    if (kPrefetch) prefetch(ahead + 4 * x);
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * x));
    if (x + 8 <= cellEnd) {
      sums = _mm256_add_epi16(sums, pairSums(v));
      continue;
    }
    const __m256i mine =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMask + 32 - 4 * (cellEnd - x)));
    sums = _mm256_add_epi16(sums, pairSums(_mm256_and_si256(v, mine)));
    spill(sums, lanes + 8 * c);
    cellEnd = edges[++c + 1];
    sums = pairSums(_mm256_andnot_si256(mine, v));
  }
  if (whole < width) {
    // The last cell is at least 8 pixels wide, so it holds the whole tail.
    if (c + 1 < cells) {
      spill(sums, lanes + 8 * c);
      ++c;
      sums = _mm256_setzero_si256();
    }
    alignas(32) std::uint8_t tail[32] = {};
    std::memcpy(tail, row + 4 * whole, 4 * static_cast<std::size_t>(width - whole));
    sums = _mm256_add_epi16(sums, pairSums(_mm256_load_si256(reinterpret_cast<__m256i*>(tail))));
  }
  spill(sums, lanes + 8 * c);
}

template <bool kTwo>
__attribute__((target("avx2"))) inline __m256i pairSumsOf(const std::uint8_t* row,
                                                          const std::uint8_t* second, int x) {
  const __m256i v = pairSums(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * x)));
  if (!kTwo) return v;
  return _mm256_add_epi16(
      v, pairSums(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + 4 * x))));
}

// One row, or two (`second` not null), into 16-bit sums of pixel pairs: B G R X of
// pixels 2p and 2p + 1 at acc[4p, 4p + 4). Width even; `acc` has 16 entries of room
// past 2 * width for the last step. `ahead` and `ahead2` are later rows of the band.
template <bool kTwo, bool kPrefetch>
__attribute__((target("avx2"))) void addPairsAvx2(std::uint16_t* acc, const std::uint8_t* row,
                                                  const std::uint8_t* second,
                                                  const std::uint8_t* ahead,
                                                  const std::uint8_t* ahead2, int width) {
  auto sums = [ row, second ](int x) __attribute__((target("avx2"))) {
    return pairSumsOf<kTwo>(row, second, x);
  };
  const int whole = width & ~7;
  int x = 0;
  for (; x + 16 <= whole; x += 16) {
    if (kPrefetch) {
      prefetch(ahead + 4 * x);
      if (kTwo) prefetch(ahead2 + 4 * x);
    }
    auto* out = reinterpret_cast<__m256i*>(acc + 2 * static_cast<std::size_t>(x));
    const __m256i a = sums(x), b = sums(x + 8);
    _mm256_storeu_si256(out, _mm256_add_epi16(_mm256_loadu_si256(out), a));
    _mm256_storeu_si256(out + 1, _mm256_add_epi16(_mm256_loadu_si256(out + 1), b));
  }
  for (; x < whole; x += 8) {
    auto* out = reinterpret_cast<__m256i*>(acc + 2 * static_cast<std::size_t>(x));
    _mm256_storeu_si256(out, _mm256_add_epi16(_mm256_loadu_si256(out), sums(x)));
  }
  if (whole < width) {
    const std::size_t bytes = 4 * static_cast<std::size_t>(width - whole);
    alignas(32) std::uint8_t tail[32] = {};
    std::memcpy(tail, row + 4 * whole, bytes);
    __m256i t = pairSums(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
    if (kTwo) {
      std::memcpy(tail, second + 4 * whole, bytes);
      t = _mm256_add_epi16(t, pairSums(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail))));
    }
    auto* out = reinterpret_cast<__m256i*>(acc + 2 * static_cast<std::size_t>(whole));
    _mm256_storeu_si256(out, _mm256_add_epi16(_mm256_loadu_si256(out), t));
  }
}

// As sumRunSse2, in twice the lanes.
__attribute__((target("avx2"))) void sumRunAvx2(const std::uint16_t* acc, int x0, int x1,
                                                AreaAverager::Sums& out) {
  __m256i s = _mm256_setzero_si256();
  int x = x0;
  for (; x + 2 <= x1; x += 2) {
    s = _mm256_add_epi32(s, _mm256_cvtepu16_epi32(load128(acc + 4 * static_cast<std::size_t>(x))));
  }
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s);
  out.b += std::uint64_t{lanes[0]} + lanes[4];
  out.g += std::uint64_t{lanes[1]} + lanes[5];
  out.r += std::uint64_t{lanes[2]} + lanes[6];
  sumRunPortable(acc, x, x1, out);
}

bool hasAvx2 = __builtin_cpu_supports("avx2");
constexpr Isa kBaselineIsa = Isa::Sse2;
#else
constexpr bool hasAvx2 = false;
constexpr Isa kBaselineIsa = Isa::Portable;
#endif

// Rows one cell row may collect before its sums could overflow, per walk.
constexpr int kRowsPerFlushColumns = 257;   // 16-bit column sums of bytes
constexpr int kRowsPerFlushPairs = 128;     // 16-bit sums of two bytes
constexpr int kRowsPerFlushAcross = 32768;  // 32-bit lanes gaining < 2 * 65536 a row
constexpr int kMaxRun = 2 * 65536;          // 32-bit lanes summing 16-bit column sums

void addColumns(Isa isa, std::uint16_t* acc, const std::uint8_t* row, std::size_t n) {
#if defined(__x86_64__)
  if (isa == Isa::Avx2) return addColumnsAvx2(acc, row, n);
  if (isa == Isa::Sse2) return addColumnsSse2(acc, row, n);
#endif
  (void)isa;
  addColumnsPortable(acc, row, 0, n);
}

#if defined(__x86_64__)
template <bool kTwo>
void addPairs(Kernel k, std::uint16_t* acc, const std::uint8_t* row, const std::uint8_t* second,
              const std::uint8_t* ahead, const std::uint8_t* ahead2, int width) {
  if (k.isa == Isa::Avx2) {
    return k.prefetch ? addPairsAvx2<kTwo, true>(acc, row, second, ahead, ahead2, width)
                      : addPairsAvx2<kTwo, false>(acc, row, second, ahead, ahead2, width);
  }
  return k.prefetch ? addPairsSse2<kTwo, true>(acc, row, second, ahead, ahead2, width)
                    : addPairsSse2<kTwo, false>(acc, row, second, ahead, ahead2, width);
}
#endif

void sumRun(Isa isa, const std::uint16_t* acc, int x0, int x1, AreaAverager::Sums& out) {
#if defined(__x86_64__)
  if (x1 - x0 < kMaxRun) {
    if (isa == Isa::Avx2) return sumRunAvx2(acc, x0, x1, out);
    if (isa == Isa::Sse2) return sumRunSse2(acc, x0, x1, out);
  }
#endif
  (void)isa;
  sumRunPortable(acc, x0, x1, out);
}

void add(AreaAverager::Sums& to, const AreaAverager::Sums& from) {
  to.b += from.b;
  to.g += from.g;
  to.r += from.r;
  to.pixels += from.pixels;
}

}  // namespace

std::string AreaAverager::Kernel::name() const {
  std::string out = isa == Isa::Avx2 ? "avx2" : isa == Isa::Sse2 ? "sse2" : "portable";
  out += walk == Walk::Pairs      ? " pairs"
         : walk == Walk::PairRows ? " pair rows"
         : walk == Walk::Across   ? " across"
                                  : " columns";
  if (prefetch) out += " + prefetch";
  return out;
}

void AreaAverager::useBaselineKernels(bool baseline) {
#if defined(__x86_64__)
  hasAvx2 = !baseline && __builtin_cpu_supports("avx2");
#else
  (void)baseline;
#endif
}

bool AreaAverager::avx2() { return hasAvx2; }

std::vector<AreaAverager::Kernel> AreaAverager::kernels() {
  std::vector<Kernel> out;
  for (Isa isa : {Isa::Avx2, kBaselineIsa}) {
    if (isa == Isa::Avx2 && !hasAvx2) continue;
    for (Walk walk : {Walk::Pairs, Walk::PairRows, Walk::Across, Walk::Columns}) {
      if (isa == Isa::Portable && walk != Walk::Columns) continue;
      if (walk == Walk::Across && isa != Isa::Avx2) continue;
      out.push_back({isa, walk, false});
      if (walk != Walk::Columns) out.push_back({isa, walk, true});
    }
  }
  return out;
}

bool AreaAverager::fits(Kernel kernel, int width) const {
  // The portable kernel runs anywhere (tests run it on every processor); the others
  // need their instructions, and only AVX2 has the walk across.
  const bool runs = kernel.isa == Isa::Portable   ? kernel.walk == Walk::Columns && !kernel.prefetch
                    : kernel.isa == Isa::Avx2     ? hasAvx2
                    : kernel.walk == Walk::Across ? false
                                                  : kBaselineIsa == Isa::Sse2;
  if (width <= 0 || !runs || (kernel.walk == Walk::Columns && kernel.prefetch)) return false;
  switch (kernel.walk) {
    case Walk::Columns:
      return true;
    case Walk::Pairs:
    case Walk::PairRows:
      // No pixel pair may straddle two cells.
      if (width < 2 * size_) return false;
      for (int c = 0; c <= size_; ++c) {
        if (ceilMulDiv(c, width, size_) % 2 != 0) return false;
      }
      return true;
    case Walk::Across:
      // Cell widths differ by at most one pixel: floor and ceil of width / size.
      return width / size_ >= 8 && width / size_ < 1000;
  }
  return false;
}

std::vector<AreaAverager::Kernel> AreaAverager::kernelsFor(int width) const {
  std::vector<Kernel> out;
  for (const Kernel& k : kernels()) {
    if (fits(k, width)) out.push_back(k);
  }
  // The guess before any timing: the fewest instructions a byte, without prefetch.
  std::stable_partition(out.begin(), out.end(), [](const Kernel& k) { return !k.prefetch; });
  return out;
}

AreaAverager::AreaAverager(int size) : size_(std::clamp(size, 1, kMaxSize)) {
  assert(size >= 1 && size <= kMaxSize);
}

bool AreaAverager::begin(int width, int height) {
  const auto candidates = kernelsFor(width);
  return begin(width, height, candidates.empty() ? Kernel{} : candidates.front());
}

bool AreaAverager::begin(int width, int height, Kernel kernel) {
  ok_ = width > 0 && height > 0;
  width_ = ok_ ? width : 0;
  height_ = ok_ ? height : 0;
  nextRow_ = 0;
  accRows_ = 0;
  cellRow_ = 0;
  total_ = {};
  if (!ok_) return false;
  if (!fits(kernel, width_)) {
    const auto candidates = kernelsFor(width_);
    kernel = candidates.empty() ? Kernel{} : candidates.front();
  }
  kernel_ = kernel;

  // A stream sends frames of one size; 129 divisions a frame are worth keeping.
  if (width_ != edgesWidth_) {
    edgesWidth_ = width_;
    columnStart_.assign(static_cast<std::size_t>(size_) + 1, 0);
    if (width_ >= size_) {
      for (int c = 0; c <= size_; ++c) columnStart_[c] = ceilMulDiv(c, width_, size_);
    }
  }
  if (height_ != edgesHeight_) {
    edgesHeight_ = height_;
    rowEnd_.assign(static_cast<std::size_t>(size_), 0);
    if (height_ >= size_) {
      for (int c = 0; c < size_; ++c) rowEnd_[c] = ceilMulDiv(c + 1, height_, size_);
    }
  }
  const Walk walk = kernel_.walk;
  const bool pairs = walk == Walk::Pairs || walk == Walk::PairRows;
  rowsPerFlush_ = pairs                  ? kRowsPerFlushPairs
                  : walk == Walk::Across ? kRowsPerFlushAcross
                                         : kRowsPerFlushColumns;
  if (walk == Walk::Across) {
    lanes_.assign(8 * static_cast<std::size_t>(size_), 0);
    acc_.clear();
  } else {
    acc_.assign(
        pairs ? 2 * static_cast<std::size_t>(width_) + 16 : 4 * static_cast<std::size_t>(width_),
        0);
    lanes_.clear();
  }
  rowCells_.assign(static_cast<std::size_t>(size_), Sums{});
  // Not cleared: each cell row's first flush writes its sums (the array is 128 KiB at
  // 64 cells, and clearing it, often from memory, cost a frame more than all its flushes).
  cells_.resize(static_cast<std::size_t>(size_) * static_cast<std::size_t>(size_));
  freshCellRow_ = true;
  return true;
}

void AreaAverager::addRows(const FrameView& band) {
  if (!ok_) return;
  if (!band.valid() || band.width != width_ || band.height > height_ - nextRow_) {
    ok_ = false;
    return;
  }
  // About 4 KiB ahead, and never past the band: the memory after it may be the next
  // strip, still being written by the X server. At the band's end a row asks for
  // itself, which costs nothing.
  const int rowsAhead = static_cast<int>(std::max<std::ptrdiff_t>(1, 4096 / band.stride));
  auto aheadOf = [&](int i) { return band.row(i + rowsAhead < band.height ? i + rowsAhead : i); };
  for (int i = 0; i < band.height; ++i) {
    int added = 1;
    switch (kernel_.walk) {
#if defined(__x86_64__)
      case Walk::Pairs:
      case Walk::PairRows:
        // Two rows at a time where both fall into the same flush.
        if (kernel_.walk == Walk::PairRows && i + 1 < band.height && height_ >= size_ &&
            nextRow_ + 1 < rowEnd_[cellRow_] && accRows_ + 2 <= rowsPerFlush_) {
          addPairs<true>(kernel_, acc_.data(), band.row(i), band.row(i + 1), aheadOf(i),
                         aheadOf(i + 1), width_);
          added = 2;
          ++i;
        } else {
          addPairs<false>(kernel_, acc_.data(), band.row(i), nullptr, aheadOf(i), nullptr, width_);
        }
        break;
      case Walk::Across:
        if (kernel_.prefetch) {
          addRowAcrossAvx2<true>(band.row(i), aheadOf(i), width_, columnStart_.data(), size_,
                                 lanes_.data());
        } else {
          addRowAcrossAvx2<false>(band.row(i), aheadOf(i), width_, columnStart_.data(), size_,
                                  lanes_.data());
        }
        break;
#endif
      default:
        addColumns(kernel_.isa, acc_.data(), band.row(i), acc_.size());
        break;
    }
    accRows_ += added;
    nextRow_ += added;
    if (height_ < size_) {
      flush();  // a short frame's row feeds one or more cell rows of its own
    } else if (nextRow_ == rowEnd_[cellRow_]) {
      flush();
      ++cellRow_;
      freshCellRow_ = true;
    } else if (accRows_ == rowsPerFlush_) {
      flush();
    }
  }
}

std::vector<Rgb8> AreaAverager::bitmap() const {
  std::vector<Rgb8> out(cells_.size());
  // 12288 roundings a frame: a division each would cost a fifth of reading a 1080p
  // frame. Cells have at most four distinct pixel counts, so each run of cells of one
  // count shares a divider that multiplies instead. A cell's numerator is at most
  // 511 times its pixel count, within the divider's reach for any cell of fewer than
  // four million pixels; larger ones divide.
  constexpr std::uint64_t kMostPixels = (ExactDivider::kDividendLimit - 1) / 511;
  std::uint64_t pixels = 0;
  ExactDivider divide(1);
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    const Sums& cell = cells_[i];
    if (cell.pixels == 0 || cell.pixels > kMostPixels) {
      out[i] = cell.pixels == 0 ? Rgb8{}
                                : Rgb8{rounded(cell.r, cell.pixels), rounded(cell.g, cell.pixels),
                                       rounded(cell.b, cell.pixels)};
      continue;
    }
    if (cell.pixels != pixels) {
      pixels = cell.pixels;
      divide = ExactDivider(2 * pixels);
    }
    auto round = [&](std::uint64_t sum) {
      return static_cast<std::uint8_t>(divide(2 * sum + pixels));
    };
    out[i] = {round(cell.r), round(cell.g), round(cell.b)};
  }
  return out;
}

void AreaAverager::flush() {
  Sums rowTotal;
  const bool across = kernel_.walk == Walk::Across;
  if (across) {
    for (int c = 0; c < size_; ++c) {
      const std::uint32_t* l = lanes_.data() + 8 * static_cast<std::size_t>(c);
      const auto count = static_cast<std::uint64_t>(columnStart_[c + 1] - columnStart_[c]);
      rowCells_[c] = Sums{std::uint64_t{l[0]} + l[4], std::uint64_t{l[1]} + l[5],
                          std::uint64_t{l[2]} + l[6], count * accRows_};
      add(rowTotal, rowCells_[c]);
    }
    std::fill(lanes_.begin(), lanes_.end(), 0u);
  } else if (width_ >= size_) {
    // Pixels a column of acc_ holds.
    const int perColumn = kernel_.walk == Walk::Pairs || kernel_.walk == Walk::PairRows ? 2 : 1;
    for (int c = 0; c < size_; ++c) {
      Sums& cell = rowCells_[c];
      cell = {};
      sumRun(kernel_.isa, acc_.data(), columnStart_[c] / perColumn, columnStart_[c + 1] / perColumn,
             cell);
      cell.pixels = static_cast<std::uint64_t>(columnStart_[c + 1] - columnStart_[c]) * accRows_;
      add(rowTotal, cell);
    }
  } else {
    for (int c = 0; c < size_; ++c) {
      const std::size_t x = static_cast<std::size_t>(std::int64_t{c} * width_ / size_);
      const std::uint16_t* p = acc_.data() + 4 * x;
      rowCells_[c] = Sums{p[0], p[1], p[2], static_cast<std::uint64_t>(accRows_)};
    }
    sumRun(kernel_.isa, acc_.data(), 0, width_, rowTotal);
    rowTotal.pixels = static_cast<std::uint64_t>(width_) * accRows_;
  }
  if (!across) std::fill(acc_.begin(), acc_.end(), std::uint16_t{0});

  int firstCellRow = cellRow_;
  int endCellRow = cellRow_ + 1;
  bool fresh = freshCellRow_;
  if (height_ < size_) {
    const int y = nextRow_ - 1;
    firstCellRow = ceilMulDiv(y, size_, height_);
    endCellRow = std::min(size_, ceilMulDiv(y + 1, size_, height_));
    fresh = true;  // a frame shorter than the cells gives each cell row one of its rows
  }
  for (int cy = firstCellRow; cy < endCellRow; ++cy) {
    Sums* row = cells_.data() + static_cast<std::size_t>(cy) * static_cast<std::size_t>(size_);
    if (fresh) {
      std::copy(rowCells_.begin(), rowCells_.end(), row);
    } else {
      for (int c = 0; c < size_; ++c) add(row[c], rowCells_[c]);
    }
  }
  freshCellRow_ = false;
  add(total_, rowTotal);
  accRows_ = 0;
}

}  // namespace nuvlet
