#include "nuvlet/ui/ModelPlot.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "nuvlet/ui/PlotCanvas.h"

namespace nuvlet {
namespace {

constexpr int kWidth = 720, kHeight = 460;
constexpr double kLeft = 60, kRight = 20, kTop = 30, kBottom = 50;

double xOf(double luminance) { return kLeft + luminance * (kWidth - kLeft - kRight); }
double yOf(double level) { return kHeight - kBottom - level * (kHeight - kTop - kBottom); }

void label(cairo_t* cr, double x, double y, const char* text, double alignX) {
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text, &ext);
  cairo_move_to(cr, x - ext.width * alignX, y);
  cairo_show_text(cr, text);
}

}  // namespace

bool plotModel(const BrightnessModel& model, const std::filesystem::path& png) {
  PlotCanvas canvas(kWidth, kHeight);
  cairo_t* cr = canvas.cr();

  // Grid, band edges and axis labels.
  char text[32];
  for (int i = 0; i <= 8; ++i) {
    const double x = std::round(xOf(i / 8.0)) + 0.5;
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_move_to(cr, x, yOf(0));
    cairo_line_to(cr, x, yOf(1));
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    std::snprintf(text, sizeof text, "%.3g", i / 8.0);
    label(cr, x, yOf(0) + 16, text, 0.5);
  }
  for (int i = 0; i <= 10; ++i) {
    const double y = std::round(yOf(i / 10.0)) + 0.5;
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_move_to(cr, xOf(0), y);
    cairo_line_to(cr, xOf(1), y);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    std::snprintf(text, sizeof text, "%.1f", i / 10.0);
    label(cr, xOf(0) - 6, y + 4, text, 1);
  }
  label(cr, xOf(0.5), kHeight - 12, "screen luminance", 0.5);
  label(cr, xOf(0), kTop - 12, "backlight", 0.5);

  // Buckets: a dot per bucket; its area follows the count.
  for (const auto& [bucket, stat] : model.table) {
    if (!std::isfinite(stat.preferredB)) continue;
    const double x = xOf((static_cast<double>(bucket.lumBin) + 0.5) / 8.0);
    const double y = yOf(std::clamp(stat.preferredB, 0.0, 1.0));
    const double r =
        std::min(2.0 + std::sqrt(static_cast<double>(std::max<std::int64_t>(stat.count, 0))), 14.0);
    cairo_set_source_rgba(cr, 0.9, 0.45, 0.1, 0.35);
    cairo_arc(cr, x, y, r, 0, 2 * M_PI);
    cairo_fill(cr);
  }

  // The prior as the model reads it, between and beyond the band centres.
  cairo_set_source_rgb(cr, 0.1, 0.3, 0.8);
  cairo_set_line_width(cr, 2.5);
  for (int i = 0; i <= 200; ++i) {
    const double lum = i / 200.0;
    const double level = std::clamp(model.prior.backlight(lum), 0.0, 1.0);
    if (i == 0) {
      cairo_move_to(cr, xOf(lum), yOf(level));
    } else {
      cairo_line_to(cr, xOf(lum), yOf(level));
    }
  }
  cairo_stroke(cr);

  return canvas.savePng(png);
}

}  // namespace nuvlet
