#include "nuvlet/ui/PngFile.h"

#include <cairo.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace nuvlet {
namespace {

constexpr int kMaxSide = 4096;

std::uint32_t premultiply(std::uint32_t argb) {
  const std::uint32_t a = argb >> 24;
  auto channel = [&](int shift) { return (((argb >> shift) & 0xFF) * a + 127) / 255 << shift; };
  return (a << 24) | channel(16) | channel(8) | channel(0);
}

std::uint32_t unpremultiply(std::uint32_t argb) {
  const std::uint32_t a = argb >> 24;
  if (a == 0) return 0;
  auto channel = [&](int shift) {
    return std::min<std::uint32_t>(255, (((argb >> shift) & 0xFF) * 255 + a / 2) / a) << shift;
  };
  return (a << 24) | channel(16) | channel(8) | channel(0);
}

}  // namespace

bool writePng(const std::filesystem::path& file, const Pixmap& pixmap) {
  if (pixmap.width < 1 || pixmap.height < 1 || pixmap.width > kMaxSide ||
      pixmap.height > kMaxSide ||
      pixmap.argb.size() != static_cast<std::size_t>(pixmap.width) * pixmap.height) {
    return false;
  }
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixmap.width, pixmap.height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return false;
  }
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < pixmap.height; ++y) {
    // Cairo keeps premultiplied words in native byte order.
    auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < pixmap.width; ++x) {
      row[x] = premultiply(pixmap.argb[static_cast<std::size_t>(y) * pixmap.width + x]);
    }
  }
  cairo_surface_mark_dirty(surface);
  const bool ok = cairo_surface_write_to_png(surface, file.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

std::optional<Pixmap> readPng(const std::filesystem::path& file) {
  cairo_surface_t* loaded = cairo_image_surface_create_from_png(file.c_str());
  if (cairo_surface_status(loaded) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(loaded);
    return std::nullopt;
  }
  const int width = cairo_image_surface_get_width(loaded);
  const int height = cairo_image_surface_get_height(loaded);
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    cairo_surface_destroy(loaded);
    return std::nullopt;
  }
  // Grey, palette and alpha-only PNGs load in other formats; one paint evens them out.
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_surface(cr, loaded, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_destroy(loaded);
  std::optional<Pixmap> result;
  if (ok) {
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    Pixmap pixmap{width, height, {}};
    pixmap.argb.reserve(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      const auto* row =
          reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
      for (int x = 0; x < width; ++x) pixmap.argb.push_back(unpremultiply(row[x]));
    }
    result = std::move(pixmap);
  }
  cairo_surface_destroy(surface);
  return result;
}

}  // namespace nuvlet
