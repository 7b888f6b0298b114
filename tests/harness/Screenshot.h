#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nuvlet::test {

// A picture of a screen as a person sees it: opaque 0xRRGGBB pixels, row-major.
struct Screenshot {
  int width = 0, height = 0;
  std::vector<std::uint32_t> rgb;
  std::uint32_t at(int x, int y) const { return rgb[static_cast<std::size_t>(y * width + x)]; }
  bool empty() const { return rgb.empty(); }
};

// The root window of an X display (":N"); nothing when it cannot be read.
std::optional<Screenshot> screenshotOfX(const std::string& display);

// The outputs of a wlroots compositor, through grim (screencopy), run with `env` (its
// WAYLAND_DISPLAY); `scratch` is a file grim may write. Nothing when it cannot be read.
std::optional<Screenshot> screenshotOfWlroots(const std::map<std::string, std::string>& env,
                                              const std::filesystem::path& scratch);

struct Box {
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;  // inclusive
  bool empty() const { return x1 < x0; }
  int centreX() const { return (x0 + x1) / 2; }
  int centreY() const { return (y0 + y1) / 2; }
};

// The smallest box holding every pixel of `region` in which a and b differ by more than
// `tolerance` in some channel; empty when none do (or the pictures differ in size).
Box changedBetween(const Screenshot& a, const Screenshot& b, Box region, int tolerance = 8);

// WCAG contrast ratio of two colours (1 to 21).
double contrast(std::uint32_t a, std::uint32_t b);

// How a glyph inside `box` reads against what surrounds it: the background is the
// commonest colour of a ring a few pixels outside the box, the glyph the pixel inside
// that differs from it most.
struct GlyphReading {
  std::uint32_t background = 0, glyph = 0;
  double contrast = 1;
};
GlyphReading readGlyph(const Screenshot& shot, Box box);

// What is drawn on a panel: its background is the commonest colour of `panel`; `box` holds
// every pixel of `within` (inside the panel less its 2-pixel border lines) that stands out
// from it by a contrast of 1.5 or more (not antialiasing or a gradient), and `reading` the
// strongest of them against that background.
struct Drawn {
  Box box{1 << 20, 1 << 20, -1, -1};
  GlyphReading reading;
};
Drawn drawnOn(const Screenshot& shot, Box panel, Box within);

// Writes the part of `shot` inside `box` (clipped) as a PNG; false when it cannot.
bool writeCrop(const Screenshot& shot, Box box, const std::filesystem::path& file);

// For a person to look at, when NUVLET_PANEL_SHOTS names a folder: `box` of `shot` (the
// whole of it when empty) as <name>.png there. False only when that was asked and failed.
bool keepShot(const std::optional<Screenshot>& shot, const std::string& name, Box box = {});
// The same with a screenshot `shoot` takes only then.
bool keepShot(const std::function<std::optional<Screenshot>()>& shoot, const std::string& name,
              Box box = {});

}  // namespace nuvlet::test
