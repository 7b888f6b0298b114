#include "nuvlet/sensing/FrameFile.h"

#include <cairo.h>

#include <cctype>
#include <cstring>
#include <memory>

#include "nuvlet/platform/Files.h"

namespace nuvlet {
namespace {

constexpr int kMaxSide = 32767;
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

struct Reader {
  std::string_view bytes;
  std::size_t at = 0;
};

cairo_status_t readPng(void* closure, unsigned char* data, unsigned int length) {
  auto* reader = static_cast<Reader*>(closure);
  if (reader->bytes.size() - reader->at < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(data, reader->bytes.data() + reader->at, length);
  reader->at += length;
  return CAIRO_STATUS_SUCCESS;
}

std::optional<Frame> decodePng(std::string_view bytes) {
  Reader reader{bytes};
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      cairo_image_surface_create_from_png_stream(readPng, &reader), cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  const cairo_format_t format = cairo_image_surface_get_format(surface.get());
  // Both hold 32-bit native-endian 0xAARRGGBB: B, G, R, A in memory on the machines we
  // build for. ARGB32 is premultiplied, which is the colour drawn over black.
  if (format != CAIRO_FORMAT_ARGB32 && format != CAIRO_FORMAT_RGB24) return std::nullopt;
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  cairo_surface_flush(surface.get());
  const int width = cairo_image_surface_get_width(surface.get());
  const int height = cairo_image_surface_get_height(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  if (width <= 0 || height <= 0 || data == nullptr) return std::nullopt;
  Frame frame(width, height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(frame.row(y), data + static_cast<std::size_t>(y) * stride,
                4 * static_cast<std::size_t>(width));
  }
  return frame;
}

// A header number: whitespace and '#' comments before it, then decimal digits.
std::optional<long> ppmNumber(std::string_view bytes, std::size_t& at) {
  for (;;) {
    while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    if (at < bytes.size() && bytes[at] == '#') {
      while (at < bytes.size() && bytes[at] != '\n') ++at;
      continue;
    }
    break;
  }
  long value = 0;
  std::size_t digits = 0;
  while (at < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[at]))) {
    value = value * 10 + (bytes[at++] - '0');
    if (++digits > 6) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

std::optional<Frame> decodePpm(std::string_view bytes) {
  std::size_t at = 2;
  auto width = ppmNumber(bytes, at);
  auto height = width ? ppmNumber(bytes, at) : std::nullopt;
  auto maxval = height ? ppmNumber(bytes, at) : std::nullopt;
  if (!maxval || *width < 1 || *height < 1 || *width > kMaxSide || *height > kMaxSide ||
      *maxval < 1 || *maxval > 65535) {
    return std::nullopt;
  }
  // Exactly one whitespace byte separates the header from the samples.
  if (at >= bytes.size() || !std::isspace(static_cast<unsigned char>(bytes[at]))) {
    return std::nullopt;
  }
  ++at;
  const std::size_t sampleBytes = *maxval > 255 ? 2 : 1;
  const std::size_t need =
      static_cast<std::size_t>(*width) * static_cast<std::size_t>(*height) * 3 * sampleBytes;
  if (bytes.size() - at < need) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  const auto max = static_cast<unsigned long>(*maxval);
  auto sample = [&]() -> std::uint8_t {
    unsigned long v = *p++;
    if (sampleBytes == 2) v = (v << 8) | *p++;
    if (v > max) v = max;
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
  };
  Frame frame(static_cast<int>(*width), static_cast<int>(*height));
  for (int y = 0; y < frame.height(); ++y) {
    for (int x = 0; x < frame.width(); ++x) {
      const std::uint8_t r = sample();
      const std::uint8_t g = sample();
      const std::uint8_t b = sample();
      frame.setPixel(x, y, r, g, b);
    }
  }
  return frame;
}

}  // namespace

std::optional<Frame> decodeFrame(std::string_view bytes) {
  static constexpr char kPngMagic[] = "\x89PNG\r\n\x1a\n";
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPngMagic, 8) == 0) return decodePng(bytes);
  if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '6') return decodePpm(bytes);
  return std::nullopt;
}

std::optional<Frame> loadFrameFile(const std::filesystem::path& path) {
  auto bytes = files::readFile(path, kMaxFileBytes);
  if (!bytes) return std::nullopt;
  return decodeFrame(*bytes);
}

}  // namespace nuvlet
