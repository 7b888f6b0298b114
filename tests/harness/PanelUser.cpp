#include "tests/harness/PanelUser.h"

#include "tests/harness/TrayHost.h"

namespace nuvlet::test {

PanelWatch::Turn PanelUser::turning(sim::VirtualRunLoop& loop) {
  return [&loop](const std::function<bool()>& done, double seconds) {
    return pumpUntil(loop, done, seconds, 0.05);
  };
}

bool PanelUser::findGlyph(const std::function<void(double)>& setLevel) {
  const bool away = input_.pointerTo(screen_.centreX(), screen_.centreY());
  auto found = away ? watch_.findGlyph(setLevel, full) : std::nullopt;
  if (!found) {
    keep("-no-glyph");
    return false;
  }
  glyph = *found;
  return true;
}

bool PanelUser::drawnOnPanel(double contrast, Drawn& drawn, double seconds) {
  return turn(
      [&] {
        const auto shot = shoot_();
        if (shot) drawn = drawnOn(*shot, panel_, panel_);
        return shot && !drawn.box.empty() && drawn.reading.contrast >= contrast;
      },
      seconds);
}

std::optional<Box> PanelUser::openMenu(int button, const int& menusBuilt) {
  beforeMenu_ = watch_.settled();
  const int built = menusBuilt;
  if (!beforeMenu_ || !input_.button(button) || !turn([&] { return menusBuilt > built; })) {
    return std::nullopt;
  }
  menu_ = watch_.menuOver(*beforeMenu_);
  if (!menu_) keep("-no-menu");
  return menu_;
}

bool PanelUser::closeMenu() {
  for (int attempt = 0; beforeMenu_ && menu_ && attempt < 3; ++attempt) {
    if (input_.key("Escape") && watch_.menuGone(*beforeMenu_, *menu_, 10)) return true;
  }
  keep("-menu-stays");
  return false;
}

}  // namespace nuvlet::test
