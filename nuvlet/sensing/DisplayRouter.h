#pragma once

#include <functional>
#include <optional>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/DisplayTopology.h"

namespace nuvlet {

// Decides which display the user is working on, so that brightness commands reach
// the screen under the user's hand. Follows the pointer across screens but ignores
// the panel strip of each screen: reaching for a tray icon must not switch the target.
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

  // Whether p lies in the screen's panel strip.
  static bool inPanelStrip(const Screen& screen, ScreenPoint p);

 private:
  DisplayID displayID(const Screen& screen) const;
  DisplayID mainDisplay() const;

  DisplayTopology& topology_;
  const Clock& clock_;
  DisplayID activeDisplay_;
  // Monotonic seconds; nothing stands for the distant past.
  std::optional<double> lastNonMenuBarUpdate_;
  std::optional<ListenerId> monitor_;
};

}  // namespace nuvlet
