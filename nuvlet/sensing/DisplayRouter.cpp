#include "nuvlet/sensing/DisplayRouter.h"

#include <algorithm>

namespace nuvlet {
namespace {

const Screen* screenAt(const std::vector<Screen>& screens, ScreenPoint p) {
  auto it = std::find_if(screens.begin(), screens.end(),
                         [&](const Screen& s) { return s.frame.contains(p); });
  return it == screens.end() ? nullptr : &*it;
}

std::string edidKey(const std::vector<std::uint8_t>& edid) {
  // Bytes 8-17: maker, product code, serial number, week and year of manufacture.
  if (edid.size() < 18) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (std::size_t i = 8; i < 18; ++i) {
    key += kHex[edid[i] >> 4];
    key += kHex[edid[i] & 15];
  }
  return key;
}

}  // namespace

DisplayChoice DisplayChoice::of(const Screen& screen) {
  return {edidKey(screen.edid), screen.name};
}

std::optional<DisplayChoice> DisplayChoice::fromJson(const nlohmann::json& j) {
  if (!j.is_object()) return std::nullopt;
  auto edid = j.find("edid");
  auto connector = j.find("connector");
  if (edid == j.end() || connector == j.end() || !edid->is_string() || !connector->is_string()) {
    return std::nullopt;
  }
  return DisplayChoice{edid->get<std::string>(), connector->get<std::string>()};
}

nlohmann::json DisplayChoice::toJson() const { return {{"edid", edid}, {"connector", connector}}; }

const Screen* DisplayChoice::find(const std::vector<Screen>& screens) const {
  const Screen* sameEdid = nullptr;
  for (const Screen& s : screens) {
    if (edidKey(s.edid) != edid) continue;
    if (s.name == connector) return &s;
    // A display without an EDID is only ever known by its connector.
    if (!edid.empty() && sameEdid == nullptr) sameEdid = &s;
  }
  return sameEdid;
}

DisplayRouter::DisplayRouter(DisplayTopology& topology, const Clock& clock)
    : topology_(topology), clock_(clock), activeDisplay_(mainDisplay()) {
  // The listeners go away in the destructor, so they may hold `this`.
  monitor_ = topology_.addPointerMovedListener([this] { cursorMoved(); });
  if (!topology_.tracksPointer()) {
    activeDisplay_ = chosenTarget();
    displaysChanged_ = topology_.addDisplaysChangedListener([this] { followTarget(); });
  }
}

DisplayRouter::~DisplayRouter() {
  if (monitor_) topology_.removeListener(*monitor_);
  if (displaysChanged_) topology_.removeListener(*displaysChanged_);
}

void DisplayRouter::setScrollChoice(std::optional<DisplayChoice> choice) {
  scrollChoice_ = std::move(choice);
  if (!topology_.tracksPointer()) followTarget();
}

void DisplayRouter::followTarget() {
  const DisplayID target = chosenTarget();
  if (target == activeDisplay_) return;
  activeDisplay_ = target;
  if (onActiveDisplayChange) onActiveDisplayChange(target);
}

DisplayID DisplayRouter::chosenTarget() const {
  const auto& screens = topology_.screens();
  if (screens.size() == 1) return displayID(screens.front());
  if (scrollChoice_) {
    if (const Screen* chosen = scrollChoice_->find(screens)) return displayID(*chosen);
  }
  for (const Screen& s : screens) {
    if (s.builtIn) return displayID(s);
  }
  return mainDisplay();
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
  if (!topology_.tracksPointer()) return chosenTarget();
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
