#pragma once

#include <functional>
#include <memory>

#include "platform/linux/display/XConnection.h"

namespace nuvlet::linux_platform {

// Whether Alt or Shift is held now, from the X pointer's modifier mask: the tray asks
// while it builds a menu. One round trip to the server; false without a server or on a
// broken connection.
std::function<bool()> x11AlternateHeld(std::shared_ptr<XConnection> x);

}  // namespace nuvlet::linux_platform
