#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nuvlet/platform/ScreenCapture.h"

namespace nuvlet::linux_platform {

// How the 8-bit RGB pixels of a shared buffer lie in memory, byte by byte.
enum class PixelOrder {
  Bgrx,  // B, G, R, X: what the reducers read (XRGB8888 little-endian, BGRx, BGRA)
  Rgbx,  // R and B swapped (XBGR8888, RGBx, RGBA)
  Xrgb,  // every byte reversed (xRGB, ARGB)
  Xbgr,  // one byte late (xBGR, ABGR)
};

// A frame in memory the compositor shares with us (a wl_shm or PipeWire buffer), valid
// while it is being handed over.
struct MappedFrame {
  const std::uint8_t* pixels = nullptr;
  int width = 0, height = 0;
  std::ptrdiff_t stride = 0;
  PixelOrder order = PixelOrder::Bgrx;
  bool bottomUp = false;  // rows stored last first
};

// Hands `frame` to `sink`, top to bottom. B, G, R, X rows go straight from the shared
// memory in one band; any other order, or rows stored bottom-up, a few rows at a time
// through `scratch` (so no copy of the whole frame is ever made).
void handOver(const MappedFrame& frame, FrameSink& sink, std::vector<std::uint8_t>& scratch);

}  // namespace nuvlet::linux_platform
