#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvlet {

// One 8-bit device-RGB pixel.
struct Rgb8 {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb8&, const Rgb8&) = default;
};

// Relative luminance 0.2126 R + 0.7152 G + 0.0722 B of 8-bit channels, scaled by
// 10000 * 255 so that it is an exact integer: thresholds compare without rounding.
constexpr std::uint32_t scaledLuma(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
  return 2126 * r + 7152 * g + 722 * b;
}
inline constexpr std::uint32_t kScaledLumaOne = 2550000;

// A borrowed view of 8-bit pixels in memory order B, G, R, X (X is alpha or padding
// and is ignored). Rows run top to bottom and may be padded: row y starts at
// data + y * stride.
struct FrameView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;  // bytes from one row to the next

  // A view is usable when it has pixels and each row holds at least 4 bytes a pixel.
  bool valid() const {
    return data != nullptr && width > 0 && height > 0 && stride >= std::ptrdiff_t{4} * width;
  }
  const std::uint8_t* row(int y) const { return data + y * stride; }
  // Rows [first, first + count) as a view of their own.
  FrameView rows(int first, int count) const { return {row(first), width, count, stride}; }
};

// A frame that owns its pixels (loaded from a file, or made by a test or simulation).
class Frame {
 public:
  Frame() = default;
  // A frame filled with one colour; `stride` 0 means tightly packed.
  Frame(int width, int height, std::ptrdiff_t stride = 0)
      : width_(width > 0 && height > 0 ? width : 0),
        height_(width > 0 && height > 0 ? height : 0),
        stride_(stride >= std::ptrdiff_t{4} * width_ ? stride : std::ptrdiff_t{4} * width_),
        pixels_(static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_)) {}

  int width() const { return width_; }
  int height() const { return height_; }
  std::ptrdiff_t stride() const { return stride_; }
  bool empty() const { return width_ == 0; }

  FrameView view() const {
    return {pixels_.empty() ? nullptr : pixels_.data(), width_, height_, stride_};
  }
  std::uint8_t* row(int y) { return pixels_.data() + y * stride_; }

  void setPixel(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    std::uint8_t* p = row(y) + 4 * x;
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 0xff;
  }
  void fill(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) setPixel(x, y, r, g, b);
    }
  }
  // Fills the padding past each row's last pixel, so a test can prove it is never read.
  void fillPadding(std::uint8_t value) {
    for (int y = 0; y < height_; ++y) {
      for (std::ptrdiff_t i = std::ptrdiff_t{4} * width_; i < stride_; ++i) row(y)[i] = value;
    }
  }

 private:
  int width_ = 0;
  int height_ = 0;
  std::ptrdiff_t stride_ = 0;
  std::vector<std::uint8_t> pixels_;
};

}  // namespace nuvlet
