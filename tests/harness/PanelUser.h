#pragma once
// A person at a real panel that shows an item of ours: input through the desktop's own
// means, the screen seen through screenshots (PanelWatch).
#include <functional>
#include <optional>
#include <string>

#include "tests/harness/PanelWatch.h"

namespace nuvlet::sim {
class VirtualRunLoop;
}

namespace nuvlet::test {

class PanelUser {
 public:
  // Buttons numbered as X numbers them: 1 left, 2 middle, 3 right, 4 and 5 a wheel notch
  // up and down.
  struct Input {
    std::function<bool(int x, int y)> pointerTo;
    std::function<bool(int button)> button;
    std::function<bool(const std::string& name)> key;  // "Escape"; may be empty
  };

  // `name` names the screenshots kept when something is not seen.
  PanelUser(PanelWatch::Shoot shoot, PanelWatch::Turn turn, Box panel, Box screen, Input input,
            std::string name)
      : shoot_(shoot),
        turn_(turn),
        watch_(shoot, turn, panel, screen),
        input_(std::move(input)),
        name_(std::move(name)),
        panel_(panel),
        screen_(screen) {}

  // Turns the bus and the test's virtual loop (where the item's timers run) while waiting.
  static PanelWatch::Turn turning(sim::VirtualRunLoop& loop);

  // Waits until done() holds, turning what must turn meanwhile; false after `seconds`.
  bool turn(const std::function<bool()>& done, double seconds = 30) const {
    return turn_(done, seconds);
  }
  const Input& input() const { return input_; }
  const std::string& name() const { return name_; }
  // The screen as it is now, `box` of it, kept for people as <name><suffix>.
  bool keep(const std::string& suffix, Box box = {}) const {
    return keepShot(shoot_, name_ + suffix, box);
  }

  // Where the item's glyph is drawn (PanelWatch::findGlyph), looked for with the pointer
  // away from the panel: a host draws a hovered item on a lighter patch. Sets `glyph`, and
  // `full` to the screen with the glyph at full level.
  bool findGlyph(const std::function<void(double)>& setLevel);
  // Until something drawn on the panel (drawnOn) stands out from it by `contrast`; false
  // after `seconds`, with `drawn` the last reading.
  bool drawnOnPanel(double contrast, Drawn& drawn, double seconds = 10);
  // `button` pressed where the pointer rests (over the glyph: moving it there again could
  // bring up the item's tooltip behind the menu) once the panel has settled; the part of
  // the screen the menu covers, once the host has asked the item for it (`menusBuilt`
  // grew).
  std::optional<Box> openMenu(int button, const int& menusBuilt);
  // Escape until the menu openMenu() saw is gone (PanelWatch::menuGone). A Wayland popup may
  // be drawn before it takes the keyboard, and an Escape sent in between goes nowhere: a
  // person would press it again.
  bool closeMenu();

  Box glyph;
  std::optional<Screenshot> full;

 private:
  PanelWatch::Shoot shoot_;
  PanelWatch::Turn turn_;
  PanelWatch watch_;
  Input input_;
  std::string name_;
  Box panel_, screen_;
  std::optional<Screenshot> beforeMenu_;
  std::optional<Box> menu_;
};

}  // namespace nuvlet::test
