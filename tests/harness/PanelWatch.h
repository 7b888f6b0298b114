#pragma once

#include <functional>
#include <optional>

#include "tests/harness/Screenshot.h"

namespace nuvlet::test {

// Watches a real panel through screenshots, as a person would look at it: waits for it
// to settle, finds where an item's glyph is drawn, sees a menu open and close.
class PanelWatch {
 public:
  using Shoot = std::function<std::optional<Screenshot>()>;
  // Waits until done() holds, turning whatever must turn meanwhile; false after seconds.
  using Turn = std::function<bool(const std::function<bool()>& done, double seconds)>;

  PanelWatch(Shoot shoot, Turn turn, Box panel, Box screen)
      : shoot_(std::move(shoot)), turn_(std::move(turn)), panel_(panel), screen_(screen) {}

  // The screen once the panel stopped changing: two screenshots in a row alike.
  std::optional<Screenshot> settled(double seconds = 30);
  // Until the panel differs from `shot`, then until it settles.
  std::optional<Screenshot> changedFrom(const Screenshot& shot, double seconds);

  // Where a glyph is drawn: what changes in the panel when `setLevel` takes it from half
  // to full and back. A host may draw a new item late, first at either level: until half
  // and back look alike it goes round again. `full` receives the screen at full.
  std::optional<Box> findGlyph(const std::function<void(double)>& setLevel,
                               std::optional<Screenshot>& full);

  // After something was asked to open a menu: the part of the screen that changed from
  // `closed` once it is at least menu-sized; nothing if no menu shows.
  std::optional<Box> menuOver(const Screenshot& closed, double seconds = 30);
  // Whether the menu that covered `menu` goes: what still differs from `closed` is not
  // as tall as half of it. The pointer rests on the item, so a tooltip or the hovered
  // icon may come or go with the menu; neither is a menu.
  bool menuGone(const Screenshot& closed, Box menu, double seconds = 30);

 private:
  Shoot shoot_;
  Turn turn_;
  Box panel_, screen_;
};

}  // namespace nuvlet::test
