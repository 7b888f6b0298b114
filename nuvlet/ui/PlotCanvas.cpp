#include "nuvlet/ui/PlotCanvas.h"

namespace nuvlet {

PlotCanvas::PlotCanvas(int width, int height)
    : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height),
               cairo_surface_destroy),
      context_(cairo_create(surface_.get()), cairo_destroy) {
  cairo_t* c = cr();
  cairo_set_source_rgb(c, 1, 1, 1);
  cairo_paint(c);
  cairo_set_font_size(c, 11);
  cairo_set_line_width(c, 1);
}

bool PlotCanvas::savePng(const std::filesystem::path& png) const {
  cairo_surface_flush(surface_.get());
  std::filesystem::path partial = png;
  partial += ".partial";
  std::error_code ec;
  if (cairo_surface_write_to_png(surface_.get(), partial.c_str()) != CAIRO_STATUS_SUCCESS) {
    std::filesystem::remove(partial, ec);
    return false;
  }
  std::filesystem::rename(partial, png, ec);
  if (ec) std::filesystem::remove(partial, ec);
  return !ec;
}

}  // namespace nuvlet
