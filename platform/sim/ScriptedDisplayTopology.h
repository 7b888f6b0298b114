#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/ListenerList.h"

namespace nuvlet::sim {

// Displays, screens and a pointer the test describes. Listeners are told only when
// the test calls movePointer() or changed().
class ScriptedDisplayTopology final : public DisplayTopology {
 public:
  std::optional<DisplayID> mainDisplay() const override { return main; }
  bool isBuiltIn(DisplayID id) const override {
    return std::find(builtIn.begin(), builtIn.end(), id) != builtIn.end();
  }
  std::vector<DisplayID> onlineDisplays() const override { return online; }
  const std::vector<Screen>& screens() const override { return screenList; }
  std::optional<ScreenPoint> pointerLocation() const override { return pointer; }
  bool tracksPointer() const override { return hasPointer; }

  std::optional<ListenerId> addPointerMovedListener(std::function<void()> fn) override {
    if (!reportsMotion) return std::nullopt;
    return moved_.add(std::move(fn));
  }
  ListenerId addDisplaysChangedListener(std::function<void()> fn) override {
    return changed_.add(std::move(fn));
  }
  void removeListener(ListenerId id) override {
    moved_.remove(id);
    changed_.remove(id);
  }

  // Moves the pointer and tells the motion listeners.
  void movePointer(ScreenPoint p) {
    pointer = p;
    moved_.notify();
  }
  // Tells the display listeners that the test changed the displays.
  void changed() { changed_.notify(); }

  bool hasMotionListeners() const { return !moved_.empty(); }

  std::optional<DisplayID> main = 1;
  std::vector<DisplayID> builtIn{1};
  std::vector<DisplayID> online{1};
  std::vector<Screen> screenList;
  std::optional<ScreenPoint> pointer;
  bool reportsMotion = true;
  // False for a desktop without a global pointer (Wayland).
  bool hasPointer = true;

 private:
  ListenerList<> moved_;
  ListenerList<> changed_;
};

}  // namespace nuvlet::sim
