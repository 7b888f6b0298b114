#include "tests/harness/Screenshot.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "nuvlet/ui/PngFile.h"
#include "tests/harness/ChildProcess.h"

namespace nuvlet::test {
namespace {

double luminance(std::uint32_t rgb) {
  auto channel = [](std::uint32_t c) {
    const double v = c / 255.0;
    return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel((rgb >> 16) & 0xff) + 0.7152 * channel((rgb >> 8) & 0xff) +
         0.0722 * channel(rgb & 0xff);
}

int channelDistance(std::uint32_t a, std::uint32_t b) {
  int most = 0;
  for (int shift : {16, 8, 0}) {
    most = std::max(most, std::abs(static_cast<int>((a >> shift) & 0xff) -
                                   static_cast<int>((b >> shift) & 0xff)));
  }
  return most;
}

Box clipped(Box box, const Screenshot& shot) {
  return {std::max(box.x0, 0), std::max(box.y0, 0), std::min(box.x1, shot.width - 1),
          std::min(box.y1, shot.height - 1)};
}

}  // namespace

std::optional<Screenshot> screenshotOfX(const std::string& display) {
  xcb_connection_t* x = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(x)) {
    xcb_disconnect(x);
    return std::nullopt;
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
  std::optional<Screenshot> shot;
  auto* image =
      xcb_get_image_reply(x,
                          xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0,
                                        screen->width_in_pixels, screen->height_in_pixels, ~0u),
                          nullptr);
  const int w = screen->width_in_pixels, h = screen->height_in_pixels;
  if (image && xcb_get_image_data_length(image) >= w * h * 4) {
    const std::uint8_t* data = xcb_get_image_data(image);
    shot = Screenshot{w, h, {}};
    shot->rgb.reserve(static_cast<std::size_t>(w * h));
    for (int i = 0; i < w * h; ++i) {
      shot->rgb.push_back(std::uint32_t{data[i * 4 + 2]} << 16 |
                          std::uint32_t{data[i * 4 + 1]} << 8 | data[i * 4]);
    }
  }
  std::free(image);
  xcb_disconnect(x);
  return shot;
}

std::optional<Screenshot> screenshotOfWlroots(const std::map<std::string, std::string>& env,
                                              const std::filesystem::path& scratch) {
  if (ChildProcess::run({"grim", "-t", "ppm", scratch.string()}, env, 30).status != 0) {
    return std::nullopt;
  }
  std::ifstream in(scratch, std::ios::binary);
  std::string magic;
  int width = 0, height = 0, depth = 0;
  if (!(in >> magic >> width >> height >> depth) || magic != "P6" || depth != 255 || width <= 0 ||
      height <= 0 || width > 16384 || height > 16384) {
    return std::nullopt;
  }
  in.get();  // the one white space after the header
  std::string pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, '\0');
  if (!in.read(pixels.data(), static_cast<std::streamsize>(pixels.size()))) return std::nullopt;
  Screenshot shot{width, height, {}};
  shot.rgb.reserve(pixels.size() / 3);
  for (std::size_t i = 0; i < pixels.size(); i += 3) {
    shot.rgb.push_back(std::uint32_t{static_cast<std::uint8_t>(pixels[i])} << 16 |
                       std::uint32_t{static_cast<std::uint8_t>(pixels[i + 1])} << 8 |
                       static_cast<std::uint8_t>(pixels[i + 2]));
  }
  return shot;
}

Box changedBetween(const Screenshot& a, const Screenshot& b, Box region, int tolerance) {
  Box found;
  if (a.width != b.width || a.height != b.height || a.empty()) return found;
  region = clipped(region, a);
  found = {1 << 20, 1 << 20, -1, -1};
  for (int y = region.y0; y <= region.y1; ++y) {
    for (int x = region.x0; x <= region.x1; ++x) {
      if (channelDistance(a.at(x, y), b.at(x, y)) <= tolerance) continue;
      found.x0 = std::min(found.x0, x), found.x1 = std::max(found.x1, x);
      found.y0 = std::min(found.y0, y), found.y1 = std::max(found.y1, y);
    }
  }
  return found.x1 < 0 ? Box{} : found;
}

double contrast(std::uint32_t a, std::uint32_t b) {
  double la = luminance(a), lb = luminance(b);
  if (la < lb) std::swap(la, lb);
  return (la + 0.05) / (lb + 0.05);
}

GlyphReading readGlyph(const Screenshot& shot, Box box) {
  GlyphReading reading;
  if (box.empty() || shot.empty()) return reading;
  const Box ring = clipped({box.x0 - 4, box.y0 - 4, box.x1 + 4, box.y1 + 4}, shot);
  std::map<std::uint32_t, int> counts;
  for (int y = ring.y0; y <= ring.y1; ++y) {
    for (int x = ring.x0; x <= ring.x1; ++x) {
      if (x >= box.x0 - 2 && x <= box.x1 + 2 && y >= box.y0 - 2 && y <= box.y1 + 2) continue;
      ++counts[shot.at(x, y)];
    }
  }
  int best = 0;
  for (auto [colour, n] : counts) {
    if (n > best) best = n, reading.background = colour;
  }
  box = clipped(box, shot);
  for (int y = box.y0; y <= box.y1; ++y) {
    for (int x = box.x0; x <= box.x1; ++x) {
      const double ratio = contrast(shot.at(x, y), reading.background);
      if (ratio > reading.contrast) reading.contrast = ratio, reading.glyph = shot.at(x, y);
    }
  }
  return reading;
}

Drawn drawnOn(const Screenshot& shot, Box panel, Box within) {
  Drawn d;
  panel = clipped(panel, shot);
  std::map<std::uint32_t, int> counts;
  for (int y = panel.y0; y <= panel.y1; ++y) {
    for (int x = panel.x0; x <= panel.x1; ++x) ++counts[shot.at(x, y)];
  }
  int best = 0;
  for (auto [colour, n] : counts) {
    if (n > best) best = n, d.reading.background = colour;
  }
  for (int y = std::max(within.y0, panel.y0 + 2); y <= std::min(within.y1, panel.y1 - 2); ++y) {
    for (int x = std::max(within.x0, panel.x0 + 2); x <= std::min(within.x1, panel.x1 - 2); ++x) {
      const double ratio = contrast(shot.at(x, y), d.reading.background);
      if (ratio < 1.5) continue;
      d.box = {std::min(d.box.x0, x), std::min(d.box.y0, y), std::max(d.box.x1, x),
               std::max(d.box.y1, y)};
      if (ratio > d.reading.contrast) d.reading.contrast = ratio, d.reading.glyph = shot.at(x, y);
    }
  }
  return d;
}

bool writeCrop(const Screenshot& shot, Box box, const std::filesystem::path& file) {
  box = clipped(box, shot);
  if (box.empty()) return false;
  Pixmap png{box.x1 - box.x0 + 1, box.y1 - box.y0 + 1, {}};
  for (int y = box.y0; y <= box.y1; ++y) {
    for (int x = box.x0; x <= box.x1; ++x) png.argb.push_back(0xFF000000u | shot.at(x, y));
  }
  return writePng(file, png);
}

bool keepShot(const std::optional<Screenshot>& shot, const std::string& name, Box box) {
  const char* dir = std::getenv("NUVLET_PANEL_SHOTS");
  if (!dir) return true;
  if (!shot) return false;
  if (box.empty()) box = {0, 0, shot->width - 1, shot->height - 1};
  return writeCrop(*shot, box, std::filesystem::path(dir) / (name + ".png"));
}

bool keepShot(const std::function<std::optional<Screenshot>()>& shoot, const std::string& name,
              Box box) {
  return !std::getenv("NUVLET_PANEL_SHOTS") || keepShot(shoot(), name, box);
}

}  // namespace nuvlet::test
