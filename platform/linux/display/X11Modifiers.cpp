#include "platform/linux/display/X11Modifiers.h"

#include <cstdlib>

namespace nuvlet::linux_platform {

std::function<bool()> x11AlternateHeld(std::shared_ptr<XConnection> x) {
  return [weak = std::weak_ptr<XConnection>(x)] {
    auto connection = weak.lock();
    if (!connection || connection->broken()) return false;
    xcb_connection_t* c = connection->get();
    xcb_query_pointer_reply_t* reply =
        xcb_query_pointer_reply(c, xcb_query_pointer(c, connection->root()), nullptr);
    if (reply == nullptr) return false;
    const bool held = (reply->mask & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_1)) != 0;
    std::free(reply);
    return held;
  };
}

}  // namespace nuvlet::linux_platform
