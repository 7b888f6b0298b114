#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/ListenerList.h"

namespace nuvlet {

// A display as the platform numbers it: on X11 the RandR output id, on Wayland a hash
// of the connector name and the EDID (the same after a restart).
using DisplayID = std::uint32_t;

// Global desktop coordinates in pixels: origin at the top left of the whole desktop,
// y growing downwards.
struct ScreenPoint {
  double x = 0;
  double y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

struct ScreenRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double top() const { return y; }
  double bottom() const { return y + height; }
  // Half-open, so that two screens side by side never both contain a point.
  bool contains(ScreenPoint p) const {
    return p.x >= x && p.x < x + width && p.y >= y && p.y < y + height;
  }
  bool operator==(const ScreenRect&) const = default;
};

// What the desktop's panels reserve along the top and bottom edges of a screen.
struct PanelInsets {
  double top = 0;
  double bottom = 0;
  bool operator==(const PanelInsets&) const = default;
};

// One screen of the desktop: a rectangle showing one display's picture.
struct Screen {
  // Nothing when the screen has no display of its own (a monitor region the user
  // defined without an output); users of the screen then fall back to the main display.
  std::optional<DisplayID> id;
  std::string name;
  ScreenRect frame;
  bool builtIn = false;
  // The connector type the driver reports ("Panel", "HDMI", ...), empty when it says none.
  std::string connectorType;
  // The display's EDID (128 bytes per block), empty when unknown.
  std::vector<std::uint8_t> edid;
  // Nothing when the desktop says nothing about its panels on this screen.
  std::optional<PanelInsets> panels;
  // What the compositor says about the monitor ("Dell Inc. U2720Q ..."); may be empty.
  std::string description{};
  // Device pixels per frame unit (Wayland output scale; 1 on X11).
  double scale = 1;
  bool operator==(const Screen&) const = default;
};

// The displays attached to the machine, which one is main, and where the pointer is.
//
// Thread: main thread only. Queries answer from what the adapter already knows
// (kept fresh by display-change and pointer events) and never block; with no display
// server they answer nothing, false and an empty list. Listeners are called on the
// main thread, never inside the call that added them.
class DisplayTopology {
 public:
  virtual ~DisplayTopology() = default;

  // The main display: the primary output, else the output at 0,0.
  virtual std::optional<DisplayID> mainDisplay() const = 0;

  // Whether the display is a built-in panel (connector type Panel, or an eDP, LVDS
  // or DSI output). False for an unknown id.
  virtual bool isBuiltIn(DisplayID id) const = 0;

  // The displays that are connected and showing a picture.
  virtual std::vector<DisplayID> onlineDisplays() const = 0;

  // The screens in the platform's order: the main display's screen first. The
  // reference stays valid until the next display change.
  virtual const std::vector<Screen>& screens() const {
    static const std::vector<Screen> none;
    return none;
  }

  // Whether the desktop lets us follow the pointer across screens at all. A Wayland
  // session gives a tray item no global pointer: the user then chooses the display.
  virtual bool tracksPointer() const { return true; }

  // The pointer's last known position; nothing when it is unknown (no display server,
  // or the pointer is on another X screen).
  virtual std::optional<ScreenPoint> pointerLocation() const { return std::nullopt; }

  // Calls fn after every pointer movement the platform reports, wherever the pointer
  // is and without grabbing it; pointerLocation() already holds the new position.
  // Nothing when the platform cannot report movement (callers then poll).
  virtual std::optional<ListenerId> addPointerMovedListener(std::function<void()> fn) {
    (void)fn;
    return std::nullopt;
  }

  // Calls fn after displays were connected, disconnected, moved or changed; the
  // queries already answer with the new state.
  virtual ListenerId addDisplaysChangedListener(std::function<void()> fn) {
    (void)fn;
    return nextListenerId();
  }

  // Stops calls to a listener added above; an unknown id is ignored.
  virtual void removeListener(ListenerId id) { (void)id; }
};

}  // namespace nuvlet
