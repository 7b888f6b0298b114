#pragma once

#include <memory>

#include "nuvlet/platform/DisplayTopology.h"
#include "platform/linux/display/XConnection.h"

namespace nuvlet::linux_platform {

// Displays from RandR (1.5 monitors where the server has them, else the outputs with a
// CRTC), each screen's panel strip from the desktop's per-monitor work areas, and the
// pointer, tracked through XInput 2 raw motion so nothing is grabbed.
//
// A monitor region without an output of its own gets the id 0x80000000 | its name
// atom: X resource ids never set the top bits, so it cannot collide with an output.
// Nothing when the connection is null; a broken connection leaves no displays.
std::unique_ptr<DisplayTopology> makeX11DisplayTopology(std::shared_ptr<XConnection> x);

// Whether an output with this name and connector type is a built-in panel.
bool isBuiltInOutput(std::string_view name, std::string_view connectorType);

}  // namespace nuvlet::linux_platform
