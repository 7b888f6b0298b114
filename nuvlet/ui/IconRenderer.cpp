#include "nuvlet/ui/IconRenderer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace nuvlet {
namespace {

constexpr double kFullDiskLevel = 0.999;
constexpr double kMinimumSweep = 30.0;
constexpr double kMutedVolume = 0.005;
constexpr int kMaxPixels = 1024;

double radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// The canvas in points, y upwards, as every coordinate below is written.
struct Canvas {
  double minX = 0, minY = 0, w = IconRenderer::size, h = IconRenderer::size;
  double midX() const { return minX + w / 2; }
  double midY() const { return minY + h / 2; }
};

// Rectangles are traced in one direction so that touching or overlapping parts of a
// silhouette fill as one shape under the non-zero rule.
void roundedRect(cairo_t* cr, double centerX, double bottom, double width, double height,
                 double radius) {
  const double left = centerX - width / 2;
  const double right = centerX + width / 2;
  const double top = bottom + height;
  radius = std::min({radius, width / 2, height / 2});
  cairo_new_sub_path(cr);
  cairo_arc(cr, right - radius, bottom + radius, radius, radians(270), radians(360));
  cairo_arc(cr, right - radius, top - radius, radius, 0, radians(90));
  cairo_arc(cr, left + radius, top - radius, radius, radians(90), radians(180));
  cairo_arc(cr, left + radius, bottom + radius, radius, radians(180), radians(270));
  cairo_close_path(cr);
}

void plainRect(cairo_t* cr, double centerX, double bottom, double width, double height) {
  roundedRect(cr, centerX, bottom, width, height, 0);
}

void fullDisk(cairo_t* cr, const Canvas& c) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, c.midX(), c.midY(), std::min(c.w, c.h) / 2 - 1, 0, 2 * std::numbers::pi);
  cairo_close_path(cr);
}

double sweepFor(double level) {
  // A level that is not a number shows the smallest wedge rather than nothing.
  if (std::isnan(level)) return kMinimumSweep;
  return std::clamp(level * 360.0, kMinimumSweep, 360.0);
}

// cairo_arc runs towards increasing angles, which is counter-clockwise on our y-up
// canvas, and brings an end angle below the start up by whole turns.
void wedge(cairo_t* cr, const Canvas& c, double fromDegrees, double toDegrees) {
  cairo_move_to(cr, c.midX(), c.midY());
  cairo_arc(cr, c.midX(), c.midY(), std::min(c.w, c.h) / 2 - 1, radians(fromDegrees),
            radians(toDegrees));
  cairo_close_path(cr);
}

void drawPie(cairo_t* cr, double level, const Canvas& c) {
  if (level >= kFullDiskLevel) {
    fullDisk(cr, c);
  } else {
    wedge(cr, c, 90, 90 + sweepFor(level));
  }
  cairo_fill(cr);
}

void drawCurtain(cairo_t* cr, double level, const Canvas& c) {
  if (level >= kFullDiskLevel) {
    fullDisk(cr, c);
  } else {
    const double half = (360 - sweepFor(level)) / 2;
    wedge(cr, c, 90 + half, 90 - half);
  }
  cairo_fill(cr);
}

void drawLevel(cairo_t* cr, IconStyle style, double level, const Canvas& c) {
  if (style == IconStyle::Pie) {
    drawPie(cr, level, c);
  } else {
    drawCurtain(cr, level, c);
  }
}

// Erases a thin band around the current path so the glyph stands clear of the level
// indicator beneath it, then fills the path.
void drawSolidGlyph(cairo_t* cr) {
  cairo_set_line_width(cr, 1.5);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_operator(cr, CAIRO_OPERATOR_DEST_OUT);
  cairo_stroke_preserve(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_fill(cr);
}

void laptop(cairo_t* cr, const Canvas& c) {
  const double screenBottom = c.midY() - 0.17 * c.h + 0.06 * c.h;
  roundedRect(cr, c.midX(), screenBottom, 0.5 * c.w, 0.34 * c.h, 1.2);
  const double baseHeight = 0.055 * c.h;
  roundedRect(cr, c.midX(), screenBottom - 0.12 * c.h, 0.66 * c.w, baseHeight, baseHeight / 2);
}

void monitor(cairo_t* cr, const Canvas& c) {
  const double screenBottom = c.midY() - 0.21 * c.h + 0.08 * c.h;
  roundedRect(cr, c.midX(), screenBottom, 0.56 * c.w, 0.42 * c.h, 1.2);
  const double neckBottom = screenBottom - 0.08 * c.h;
  plainRect(cr, c.midX(), neckBottom, 0.1 * c.w, 0.08 * c.h);
  const double footHeight = 0.05 * c.h;
  roundedRect(cr, c.midX(), neckBottom - 0.03 * c.h, 0.3 * c.w, footHeight, footHeight / 2);
}

void speaker(cairo_t* cr, const Canvas& c) {
  const double left = c.midX() - 0.24 * c.w;
  cairo_new_sub_path(cr);
  cairo_move_to(cr, left, c.midY() + 0.13 * c.h);
  cairo_line_to(cr, left + 0.16 * c.w, c.midY() + 0.13 * c.h);
  cairo_line_to(cr, c.midX() + 0.2 * c.w, c.midY() + 0.28 * c.h);
  cairo_line_to(cr, c.midX() + 0.2 * c.w, c.midY() - 0.28 * c.h);
  cairo_line_to(cr, left + 0.16 * c.w, c.midY() - 0.13 * c.h);
  cairo_line_to(cr, left, c.midY() - 0.13 * c.h);
  cairo_close_path(cr);
}

void slash(cairo_t* cr, const Canvas& c) {
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  for (auto [width, op] : {std::pair{3.0, CAIRO_OPERATOR_DEST_OUT}, {1.5, CAIRO_OPERATOR_OVER}}) {
    cairo_move_to(cr, c.minX + 0.2 * c.w, c.minY + 0.76 * c.h);
    cairo_line_to(cr, c.minX + 0.8 * c.w, c.minY + 0.24 * c.h);
    cairo_set_line_width(cr, width);
    cairo_set_operator(cr, op);
    cairo_stroke(cr);
  }
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
}

void draw(cairo_t* cr, const IconImage& image) {
  const Canvas c;
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  if (image.subject == IconImage::Subject::Brightness) {
    drawLevel(cr, image.style, image.level, c);
    if (image.displayKind == DisplayKind::BuiltIn) {
      laptop(cr, c);
    } else {
      monitor(cr, c);
    }
    drawSolidGlyph(cr);
    return;
  }
  if (!image.muted) {
    drawLevel(cr, image.style, image.level, c);
    speaker(cr, c);
    drawSolidGlyph(cr);
    return;
  }
  speaker(cr, c);
  drawSolidGlyph(cr);
  slash(cr, c);
}

}  // namespace

Coverage IconImage::rasterize(int pixels) const {
  Coverage out;
  if (pixels < 1 || pixels > kMaxPixels) return out;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, pixels, pixels);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return out;
  }
  cairo_t* cr = cairo_create(surface);
  // Points to pixels, with y turned upwards.
  const double scale = pixels / IconRenderer::size;
  cairo_translate(cr, 0, pixels);
  cairo_scale(cr, scale, -scale);
  draw(cr, *this);
  const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  if (ok) {
    out.size = pixels;
    out.alpha.resize(static_cast<std::size_t>(pixels) * static_cast<std::size_t>(pixels));
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < pixels; ++y) {
      std::memcpy(out.alpha.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(pixels),
                  data + static_cast<std::ptrdiff_t>(y) * stride, static_cast<std::size_t>(pixels));
    }
  }
  cairo_surface_destroy(surface);
  return out;
}

Pixmap tint(const Coverage& coverage, std::uint32_t rgb) {
  Pixmap pixmap{coverage.size, coverage.size, {}};
  pixmap.argb.reserve(coverage.alpha.size());
  for (std::uint8_t a : coverage.alpha) {
    pixmap.argb.push_back(a == 0 ? 0u : (std::uint32_t{a} << 24) | (rgb & 0xFFFFFFu));
  }
  return pixmap;
}

namespace IconRenderer {

IconImage brightnessImage(double level, DisplayKind displayKind, IconStyle style) {
  return IconImage{IconImage::Subject::Brightness, level, style, displayKind, false};
}

IconImage volumeImage(double level, bool muted, IconStyle style) {
  return IconImage{IconImage::Subject::Volume, level, style, DisplayKind::BuiltIn,
                   muted || level <= kMutedVolume};
}

}  // namespace IconRenderer
}  // namespace nuvlet
