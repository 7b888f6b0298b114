#pragma once

#include <wayland-client.h>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace nuvlet::linux_platform {

// A bound wl_output and its xdg-output, released when their holder goes: with
// wl_output.release where the compositor offers it, so it can drop its side too.
struct WaylandOutputHandles {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;

  WaylandOutputHandles() = default;
  WaylandOutputHandles(const WaylandOutputHandles&) = delete;
  WaylandOutputHandles& operator=(const WaylandOutputHandles&) = delete;
  ~WaylandOutputHandles() {
    if (xdg != nullptr) zxdg_output_v1_destroy(xdg);
    if (output == nullptr) return;
    if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(output);
    } else {
      wl_output_destroy(output);
    }
  }
};

}  // namespace nuvlet::linux_platform
