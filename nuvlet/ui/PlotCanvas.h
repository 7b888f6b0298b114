#pragma once

#include <cairo.h>

#include <filesystem>
#include <memory>

namespace nuvlet {

// A white picture to draw a chart on with Cairo (11-point text, 1-pixel lines), saved
// as a PNG so that a failed write leaves no half picture behind.
class PlotCanvas {
 public:
  PlotCanvas(int width, int height);

  cairo_t* cr() const { return context_.get(); }

  // Written aside and renamed into place; false (and nothing at `png`) on failure.
  bool savePng(const std::filesystem::path& png) const;

 private:
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface_;
  std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context_;
};

}  // namespace nuvlet
