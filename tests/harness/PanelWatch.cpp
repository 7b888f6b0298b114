#include "tests/harness/PanelWatch.h"

namespace nuvlet::test {

std::optional<Screenshot> PanelWatch::settled(double seconds) {
  std::optional<Screenshot> last, now;
  turn_(
      [&] {
        last = std::move(now);
        now = shoot_();
        return last && now && changedBetween(*last, *now, panel_).empty();
      },
      seconds);
  return now;
}

std::optional<Screenshot> PanelWatch::changedFrom(const Screenshot& shot, double seconds) {
  if (!turn_(
          [&] {
            auto now = shoot_();
            return now && !changedBetween(shot, *now, panel_).empty();
          },
          seconds)) {
    return std::nullopt;
  }
  return settled();
}

std::optional<Box> PanelWatch::findGlyph(const std::function<void(double)>& setLevel,
                                         std::optional<Screenshot>& full) {
  for (int round = 0; round < 6; ++round) {
    auto half = settled();
    if (!half) return std::nullopt;
    setLevel(1.0);
    full = changedFrom(*half, 10);
    setLevel(0.5);
    if (!full) continue;
    auto back = changedFrom(*full, 10);
    if (!back) continue;
    const Box glyph = changedBetween(*back, *full, panel_);
    if (!glyph.empty() && changedBetween(*half, *back, panel_).empty()) return glyph;
  }
  return std::nullopt;
}

std::optional<Box> PanelWatch::menuOver(const Screenshot& closed, double seconds) {
  Box menu;
  const bool shown = turn_(
      [&] {
        auto now = shoot_();
        if (now) menu = changedBetween(closed, *now, screen_);
        return !menu.empty() && menu.x1 - menu.x0 > 60 && menu.y1 - menu.y0 > 30;
      },
      seconds);
  if (!shown) return std::nullopt;
  return menu;
}

bool PanelWatch::menuGone(const Screenshot& closed, Box menu, double seconds) {
  return turn_(
      [&] {
        auto now = shoot_();
        const Box left = now ? changedBetween(closed, *now, screen_) : menu;
        return left.empty() || 2 * (left.y1 - left.y0) < menu.y1 - menu.y0;
      },
      seconds);
}

}  // namespace nuvlet::test
