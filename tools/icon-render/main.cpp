// icon-render: writes one tray glyph to a PNG, for looking at a level, style, display
// kind or mute state at a given size and colour.
//
//   icon-render --level 0.5 --style pie --display external --size 48 -o glyph.png
//   icon-render --volume --level 0.3 --muted --color dark --background ffffff -o v.png
//   icon-render --symbolic-set build/icons     (the themed symbolic set, at build time)

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "nuvlet/ui/GlyphColor.h"
#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/PngFile.h"
#include "nuvlet/ui/SymbolicIcon.h"

namespace {

std::optional<std::uint32_t> parseRgb(const std::string& text) {
  if (text == "light") return nuvlet::glyphRgb(nuvlet::GlyphTone::Light);
  if (text == "dark") return nuvlet::glyphRgb(nuvlet::GlyphTone::Dark);
  std::string hex = text.starts_with("#") ? text.substr(1) : text;
  if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
}

// Straight-alpha "over" onto an opaque background.
std::uint32_t over(std::uint32_t argb, std::uint32_t background) {
  const std::uint32_t a = argb >> 24;
  std::uint32_t out = 0xFF000000u;
  for (int shift : {16, 8, 0}) {
    const std::uint32_t fg = (argb >> shift) & 0xFF;
    const std::uint32_t bg = (background >> shift) & 0xFF;
    out |= ((fg * a + bg * (255 - a) + 127) / 255) << shift;
  }
  return out;
}

// Writes into a temporary name first, so a build interrupted half-way leaves no
// truncated icon behind under the final name.
bool writeText(const std::filesystem::path& file, const std::string& text) {
  const std::filesystem::path partial = file.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) return false;
  }
  std::error_code error;
  std::filesystem::rename(partial, file, error);
  return !error;
}

int writeSymbolicSet(const std::filesystem::path& themeDir) {
  const std::filesystem::path icons = themeDir / nuvlet::SymbolicIcon::kIconFolder;
  std::error_code error;
  std::filesystem::create_directories(icons, error);
  bool ok =
      !error && writeText(themeDir / "hicolor" / "index.theme", nuvlet::SymbolicIcon::indexTheme());
  for (const auto& image : nuvlet::SymbolicIcon::all()) {
    ok = ok && writeText(icons / (nuvlet::SymbolicIcon::name(image) + ".svg"),
                         nuvlet::SymbolicIcon::svg(image));
  }
  if (!ok) {
    std::fprintf(stderr, "icon-render: cannot write the icons under %s\n", themeDir.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes one Nuvlet tray glyph to a PNG.", "icon-render"};
  double level = 1.0;
  std::string style = "curtain";
  std::string display = "builtIn";
  bool volume = false;
  bool muted = false;
  int size = 22;
  std::string color = "light";
  std::string background;
  std::string output;
  app.add_option("-l,--level", level, "Level from 0 to 1")->capture_default_str();
  app.add_option("-s,--style", style, "pie or curtain")
      ->check(CLI::IsMember({"pie", "curtain"}))
      ->capture_default_str();
  app.add_option("-d,--display", display, "Brightness glyph silhouette: builtIn or external")
      ->check(CLI::IsMember({"builtIn", "external"}))
      ->capture_default_str();
  app.add_flag("--volume", volume, "Draw the volume glyph instead of the brightness glyph");
  app.add_flag("--muted", muted, "Volume glyph: muted");
  app.add_option("--size", size, "Pixels per side")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  app.add_option("-c,--color", color, "Glyph colour: light, dark or RRGGBB")->capture_default_str();
  app.add_option("-b,--background", background, "Opaque background RRGGBB (default transparent)");
  std::string symbolicSet;
  auto* outputOption = app.add_option("-o,--output", output, "PNG file to write");
  app.add_option("--symbolic-set", symbolicSet,
                 "Write the whole symbolic icon set as an icon theme folder here instead")
      ->excludes(outputOption);
  CLI11_PARSE(app, argc, argv);
  if (!symbolicSet.empty()) return writeSymbolicSet(symbolicSet);
  if (output.empty()) {
    std::fprintf(stderr, "icon-render: --output or --symbolic-set is required\n");
    return 2;
  }

  const auto rgb = parseRgb(color);
  const auto backgroundRgb =
      background.empty() ? std::optional<std::uint32_t>() : parseRgb(background);
  if (!rgb || (!background.empty() && !backgroundRgb)) {
    std::fprintf(stderr, "icon-render: colours are light, dark or six hex digits\n");
    return 2;
  }
  const auto iconStyle = nuvlet::iconStyleFromRawValue(style).value_or(nuvlet::IconStyle::Curtain);
  const nuvlet::IconImage image = volume
                                      ? nuvlet::IconRenderer::volumeImage(level, muted, iconStyle)
                                      : nuvlet::IconRenderer::brightnessImage(
                                            level,
                                            display == "external" ? nuvlet::DisplayKind::External
                                                                  : nuvlet::DisplayKind::BuiltIn,
                                            iconStyle);
  nuvlet::Pixmap pixmap = nuvlet::tint(image.rasterize(size), *rgb);
  if (backgroundRgb) {
    for (auto& pixel : pixmap.argb) pixel = over(pixel, *backgroundRgb);
  }
  if (!nuvlet::writePng(output, pixmap)) {
    std::fprintf(stderr, "icon-render: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
