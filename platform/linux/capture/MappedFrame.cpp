#include "platform/linux/capture/MappedFrame.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace nuvlet::linux_platform {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the channel shuffles below read pixels as little-endian words");

// One pixel word, or a vector of them, into B, G, R, X.
template <PixelOrder order, typename Word>
Word toBgrx(Word v) {
  if constexpr (order == PixelOrder::Rgbx) {
    return (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
  } else if constexpr (order == PixelOrder::Xrgb) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
  } else if constexpr (order == PixelOrder::Xbgr) {
    return v >> 8;
  } else {
    return v;
  }
}

// Four pixels at a time: the compiler's vector extension gives the same shifts and masks
// in SIMD registers on any target (the plain loop is left scalar at -O2).
using Words = std::uint32_t __attribute__((vector_size(16)));

// One row of `width` pixels into B, G, R, X. memcpy keeps unaligned rows legal.
template <PixelOrder order>
void convertRow(const std::uint8_t* from, std::uint8_t* to, int width) {
  int x = 0;
  for (; x + 4 <= width; x += 4) {
    Words v;
    std::memcpy(&v, from + 4 * x, sizeof v);
    v = toBgrx<order>(v);
    std::memcpy(to + 4 * x, &v, sizeof v);
  }
  for (; x < width; ++x) {
    std::uint32_t v;
    std::memcpy(&v, from + 4 * x, 4);
    v = toBgrx<order>(v);
    std::memcpy(to + 4 * x, &v, 4);
  }
}

void convertRow(PixelOrder order, const std::uint8_t* from, std::uint8_t* to, int width) {
  switch (order) {
    case PixelOrder::Rgbx:
      return convertRow<PixelOrder::Rgbx>(from, to, width);
    case PixelOrder::Xrgb:
      return convertRow<PixelOrder::Xrgb>(from, to, width);
    case PixelOrder::Xbgr:
      return convertRow<PixelOrder::Xbgr>(from, to, width);
    case PixelOrder::Bgrx:
      std::memcpy(to, from, 4 * static_cast<std::size_t>(width));
      return;
  }
}

}  // namespace

void handOver(const MappedFrame& frame, FrameSink& sink, std::vector<std::uint8_t>& scratch) {
  const int width = frame.width, height = frame.height;
  sink.begin(width, height);
  if (frame.order == PixelOrder::Bgrx && !frame.bottomUp) {
    sink.rows(FrameView{frame.pixels, width, height, frame.stride});
    return;
  }
  constexpr int kBand = 16;
  const std::size_t rowBytes = 4 * static_cast<std::size_t>(width);
  scratch.resize(rowBytes * kBand);
  for (int y = 0; y < height; y += kBand) {
    const int rows = std::min(kBand, height - y);
    for (int i = 0; i < rows; ++i) {
      const int source = frame.bottomUp ? height - 1 - (y + i) : y + i;
      convertRow(frame.order, frame.pixels + source * frame.stride, scratch.data() + i * rowBytes,
                 width);
    }
    sink.rows(FrameView{scratch.data(), width, rows, static_cast<std::ptrdiff_t>(rowBytes)});
  }
}

}  // namespace nuvlet::linux_platform
