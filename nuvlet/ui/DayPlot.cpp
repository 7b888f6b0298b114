#include "nuvlet/ui/DayPlot.h"

#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "nuvlet/ui/PlotCanvas.h"

namespace nuvlet {
namespace {

constexpr int kWidth = 960, kHeight = 420;
constexpr double kLeft = 50, kRight = 20, kTop = 30, kBottom = 60;
constexpr double kFirstHour = 6, kLastHour = 24;

double xOf(double hour) {
  return kLeft + (hour - kFirstHour) / (kLastHour - kFirstHour) * (kWidth - kLeft - kRight);
}
double yOf(double value) { return kHeight - kBottom - value * (kHeight - kTop - kBottom); }

void series(cairo_t* cr, const DayTrace& t, const std::vector<double>& values, double r, double g,
            double b, double width) {
  const std::size_t n = std::min(t.hour.size(), values.size());
  if (n == 0) return;
  cairo_set_source_rgb(cr, r, g, b);
  cairo_set_line_width(cr, width);
  cairo_move_to(cr, xOf(t.hour[0]), yOf(values[0]));
  for (std::size_t i = 1; i < n; ++i) {
    // A gap of more than a few minutes is sleep: no line across it.
    if (t.hour[i] - t.hour[i - 1] > 0.1) {
      cairo_move_to(cr, xOf(t.hour[i]), yOf(values[i]));
    } else {
      cairo_line_to(cr, xOf(t.hour[i]), yOf(values[i]));
    }
  }
  cairo_stroke(cr);
}

}  // namespace

bool plotDay(const DayTrace& trace, const std::filesystem::path& png) {
  PlotCanvas canvas(kWidth, kHeight);
  cairo_t* cr = canvas.cr();

  char text[64];
  for (int h = static_cast<int>(kFirstHour); h <= static_cast<int>(kLastHour); h += 2) {
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_move_to(cr, xOf(h), yOf(0));
    cairo_line_to(cr, xOf(h), yOf(1));
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    std::snprintf(text, sizeof text, "%02d:00", h);
    cairo_move_to(cr, xOf(h) - 14, yOf(0) + 16);
    cairo_show_text(cr, text);
  }
  for (int v = 0; v <= 4; ++v) {
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    std::snprintf(text, sizeof text, "%.2f", v / 4.0);
    cairo_move_to(cr, 12, yOf(v / 4.0) + 4);
    cairo_show_text(cr, text);
  }
  std::snprintf(text, sizeof text, "Day %d", trace.day);
  cairo_move_to(cr, kLeft, 18);
  cairo_show_text(cr, text);

  // Corrections as short red ticks along the top.
  cairo_set_source_rgb(cr, 0.85, 0.1, 0.1);
  cairo_set_line_width(cr, 1.5);
  for (double h : trace.correctionHours) {
    cairo_move_to(cr, xOf(h), yOf(1));
    cairo_line_to(cr, xOf(h), yOf(0.93));
  }
  cairo_stroke(cr);

  series(cr, trace, trace.content, 0.65, 0.65, 0.65, 1);
  series(cr, trace, trace.backlight, 0.95, 0.6, 0.1, 1.5);
  series(cr, trace, trace.wanted, 0.2, 0.7, 0.3, 1.5);
  series(cr, trace, trace.emitted, 0.1, 0.3, 0.85, 1.5);

  const struct {
    const char* name;
    double r, g, b;
  } legend[] = {{"content luminance", 0.65, 0.65, 0.65},
                {"backlight", 0.95, 0.6, 0.1},
                {"emitted light", 0.1, 0.3, 0.85},
                {"wanted", 0.2, 0.7, 0.3},
                {"corrections", 0.85, 0.1, 0.1}};
  double x = kLeft;
  for (const auto& l : legend) {
    cairo_set_source_rgb(cr, l.r, l.g, l.b);
    cairo_rectangle(cr, x, kHeight - 22, 12, 8);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    cairo_move_to(cr, x + 16, kHeight - 14);
    cairo_show_text(cr, l.name);
    x += 150;
  }

  return canvas.savePng(png);
}

}  // namespace nuvlet
