#include "nuvlet/sensing/DisplayRouter.h"

#include <algorithm>

namespace nuvlet {
namespace {

const Screen* screenAt(const std::vector<Screen>& screens, ScreenPoint p) {
  auto it = std::find_if(screens.begin(), screens.end(),
                         [&](const Screen& s) { return s.frame.contains(p); });
  return it == screens.end() ? nullptr : &*it;
}

}  // namespace

DisplayRouter::DisplayRouter(DisplayTopology& topology, const Clock& clock)
    : topology_(topology), clock_(clock), activeDisplay_(mainDisplay()) {
  // The listener goes away in the destructor, so it may hold `this`.
  monitor_ = topology_.addPointerMovedListener([this] { cursorMoved(); });
}

DisplayRouter::~DisplayRouter() {
  if (monitor_) topology_.removeListener(*monitor_);
}

DisplayID DisplayRouter::mainDisplay() const { return topology_.mainDisplay().value_or(0); }

DisplayID DisplayRouter::displayID(const Screen& screen) const {
  return screen.id ? *screen.id : mainDisplay();
}

bool DisplayRouter::inPanelStrip(const Screen& screen, ScreenPoint p) {
  const ScreenRect& f = screen.frame;
  if (!screen.panels) return p.y < f.top() + defaultStripHeight;
  return p.y < f.top() + screen.panels->top || p.y >= f.bottom() - screen.panels->bottom;
}

void DisplayRouter::cursorMoved() {
  auto p = topology_.pointerLocation();
  if (!p) return;
  const Screen* screen = screenAt(topology_.screens(), *p);
  if (screen == nullptr || inPanelStrip(*screen, *p)) return;
  DisplayID id = displayID(*screen);
  if (id != activeDisplay_) {
    activeDisplay_ = id;
    if (onActiveDisplayChange) onActiveDisplayChange(id);
  }
  lastNonMenuBarUpdate_ = clock_.monotonic();
}

DisplayID DisplayRouter::currentTarget() const {
  if (lastNonMenuBarUpdate_ && clock_.monotonic() - *lastNonMenuBarUpdate_ < staleness) {
    auto online = topology_.onlineDisplays();
    if (std::find(online.begin(), online.end(), activeDisplay_) != online.end()) {
      return activeDisplay_;
    }
  }
  if (auto p = topology_.pointerLocation()) {
    if (const Screen* screen = screenAt(topology_.screens(), *p)) return displayID(*screen);
  }
  return mainDisplay();
}

}  // namespace nuvlet
