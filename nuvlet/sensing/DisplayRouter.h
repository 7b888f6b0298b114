#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/DisplayTopology.h"

namespace nuvlet {

// The display the user picked for the scroll on a desktop without a global pointer,
// as it can be found again after a restart or a replug: by its EDID (maker, product
// and serial), told apart from an identical twin by the connector.
struct DisplayChoice {
  // Hex of the EDID's identifying bytes; empty for a display without an EDID, which
  // is then known by its connector alone.
  std::string edid;
  std::string connector;

  static DisplayChoice of(const Screen& screen);
  // Nothing for anything that is not an object with two strings.
  static std::optional<DisplayChoice> fromJson(const nlohmann::json& j);
  nlohmann::json toJson() const;
  // The screen among `screens` this choice stands for: the same EDID on the same
  // connector, else the same EDID anywhere; nothing when it is gone.
  const Screen* find(const std::vector<Screen>& screens) const;
  bool operator==(const DisplayChoice&) const = default;
};

// Decides which display the user is working on, so that brightness commands reach
// the screen under the user's hand. Follows the pointer across screens but ignores
// the panel strip of each screen: reaching for a tray icon must not switch the target.
//
// Where the desktop gives no global pointer (Wayland), one display is the target; of
// several, the one the user chose (scrollChoice) while it is connected, else the
// built-in panel, else the main display. A change of displays that moves this target
// is told through onActiveDisplayChange.
//
// Main thread only. The topology and the clock must outlive the router.
class DisplayRouter {
 public:
  // How long the display last pointed at is trusted without a fresh movement.
  static constexpr double staleness = 5.0;
  // The strip assumed at the top of a screen when the desktop says nothing.
  static constexpr double defaultStripHeight = 24.0;

  DisplayRouter(DisplayTopology& topology, const Clock& clock);
  ~DisplayRouter();
  DisplayRouter(const DisplayRouter&) = delete;
  DisplayRouter& operator=(const DisplayRouter&) = delete;

  // For each pointer movement; the topology's listener calls it.
  void cursorMoved();

  // The display brightness commands should address now.
  DisplayID currentTarget() const;

  DisplayID activeDisplay() const { return activeDisplay_; }
  bool hasMonitor() const { return monitor_.has_value(); }

  // Told the new display when the active display changes.
  std::function<void(DisplayID)> onActiveDisplayChange;

  // The user's pick for a desktop without a pointer; nothing for the default.
  void setScrollChoice(std::optional<DisplayChoice> choice);
  const std::optional<DisplayChoice>& scrollChoice() const { return scrollChoice_; }

  // Whether p lies in the screen's panel strip.
  static bool inPanelStrip(const Screen& screen, ScreenPoint p);

 private:
  DisplayID displayID(const Screen& screen) const;
  DisplayID mainDisplay() const;
  DisplayID chosenTarget() const;
  void followTarget();

  DisplayTopology& topology_;
  const Clock& clock_;
  DisplayID activeDisplay_;
  // Monotonic seconds; nothing stands for the distant past.
  std::optional<double> lastNonMenuBarUpdate_;
  std::optional<ListenerId> monitor_;
  std::optional<DisplayChoice> scrollChoice_;
  std::optional<ListenerId> displaysChanged_;
};

}  // namespace nuvlet
