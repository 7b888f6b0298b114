#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace nuvlet {

// A display as the platform numbers it; on X11 the RandR output id.
using DisplayID = std::uint32_t;

// The displays attached to the machine and which one is main.
//
// Thread: main thread only. Queries answer from what the adapter already knows
// (kept fresh by display-change events) and never block; with no display server
// they answer nothing, false and an empty list.
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
};

}  // namespace nuvlet
